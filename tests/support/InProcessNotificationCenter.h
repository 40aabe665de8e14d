#pragma once
// A notification centre inside one process, for unit tests: post() hands a copy
// of the notification to every observer of the name, through the observer's
// main queue, exactly as the bus centre does between processes. It keeps a log
// of what was posted so a test can inspect the messages sent.

#include "common/NotificationCenter.h"

#include <memory>
#include <mutex>
#include <vector>

namespace tavrin::testing {

class InProcessNotificationCenter final : public NotificationCenter {
  public:
    InProcessNotificationCenter();
    ~InProcessNotificationCenter() override;

    // Same contract as the bus centre: refuses user info that is not a
    // dictionary. Thread-safe.
    bool post(const std::string& name, const std::optional<Dictionary>& userInfo) override;
    [[nodiscard]] Observation observe(const std::string& name, MainQueue& queue,
                                      Block block) override;

    // Every notification accepted by post(), oldest first. Thread-safe.
    std::vector<Notification> posted() const;
    std::size_t observerCount() const;

  private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace tavrin::testing
