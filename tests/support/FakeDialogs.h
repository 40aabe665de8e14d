#pragma once
// Dialogs that show nothing: they record each alert and folder choice, with
// the thread that asked, and answer the choice as the test says.

#include "common/Dialogs.h"

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tavrin::testing {

class FakeDialogs final : public Dialogs {
  public:
    void runAlert(const Alert& alert) override {
        shown([&] { alerts_.push_back(alert); });
    }
    std::optional<std::string> chooseFolder(const FolderChoice& choice) override {
        shown([&] { choices_.push_back(choice); });
        std::lock_guard lock(mutex_);
        return folderAnswer_;
    }
    void dismissAll() override {}

    // Runs on the main thread while an alert or a folder choice is showing,
    // e.g. to end the program meanwhile.
    std::function<void()> whileShowing;

    // What chooseFolder answers from now on (no folder: cancelled, the default).
    void answerFolder(std::optional<std::string> folder) {
        std::lock_guard lock(mutex_);
        folderAnswer_ = std::move(folder);
    }
    std::vector<Alert> alerts() const { return locked(alerts_); }
    std::vector<FolderChoice> choices() const { return locked(choices_); }
    // The thread of every alert and choice, in order.
    std::vector<std::thread::id> threads() const { return locked(threads_); }

  private:
    void shown(const std::function<void()>& record) {
        if (whileShowing)
            whileShowing();
        std::lock_guard lock(mutex_);
        record();
        threads_.push_back(std::this_thread::get_id());
    }
    template <class T> T locked(const T& value) const {
        std::lock_guard lock(mutex_);
        return value;
    }
    mutable std::mutex mutex_;
    std::vector<Alert> alerts_;
    std::vector<FolderChoice> choices_;
    std::vector<std::thread::id> threads_;
    std::optional<std::string> folderAnswer_;
};

} // namespace tavrin::testing
