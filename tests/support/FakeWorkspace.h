#pragma once
// A workspace that opens nothing and records every URL it was asked to open.

#include "common/Workspace.h"

#include <mutex>
#include <string>
#include <vector>

namespace tavrin::testing {

class FakeWorkspace final : public Workspace {
  public:
    bool openURL(const std::string& url) override {
        std::lock_guard lock(mutex_);
        opened_.push_back(url);
        return answer_;
    }
    std::vector<std::string> opened() const {
        std::lock_guard lock(mutex_);
        return opened_;
    }
    // What openURL answers from now on (true by default).
    void setAnswer(bool answer) {
        std::lock_guard lock(mutex_);
        answer_ = answer;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> opened_;
    bool answer_ = true;
};

} // namespace tavrin::testing
