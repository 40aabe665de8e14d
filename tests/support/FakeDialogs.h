#pragma once
// Dialogs that show nothing: they record each alert and folder choice, with
// the thread that asked, and answer the choice as the test says.

#include "common/Dialogs.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tavrin::testing {

class FakeDialogs final : public Dialogs {
  public:
    void runAlert(const Alert& alert) override {
        if (whileShowing)
            whileShowing();
        std::lock_guard lock(mutex_);
        alerts_.push_back(alert);
        threads_.push_back(std::this_thread::get_id());
    }
    std::optional<std::string> chooseFolder(const FolderChoice& choice) override {
        if (whileShowing)
            whileShowing();
        std::lock_guard lock(mutex_);
        choices_.push_back(choice);
        threads_.push_back(std::this_thread::get_id());
        return folderAnswer_;
    }

    // Runs on the main thread while an alert or a folder choice is showing,
    // e.g. to end the program meanwhile.
    std::function<void()> whileShowing;
    void dismissAll() override {}

    // What chooseFolder answers from now on (no folder: cancelled, the default).
    void answerFolder(std::optional<std::string> folder) {
        std::lock_guard lock(mutex_);
        folderAnswer_ = std::move(folder);
    }
    std::vector<Alert> alerts() const {
        std::lock_guard lock(mutex_);
        return alerts_;
    }
    std::vector<FolderChoice> choices() const {
        std::lock_guard lock(mutex_);
        return choices_;
    }
    // The thread of every alert and choice, in order.
    std::vector<std::thread::id> threads() const {
        std::lock_guard lock(mutex_);
        return threads_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Alert> alerts_;
    std::vector<FolderChoice> choices_;
    std::vector<std::thread::id> threads_;
    std::optional<std::string> folderAnswer_;
};

} // namespace tavrin::testing
