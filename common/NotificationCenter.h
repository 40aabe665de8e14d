#pragma once
// The notification-centre seam: distributed notifications between processes of
// the same user. A notification is a name and an optional user-info dictionary
// of property-list values. Posting delivers immediately; observers register for
// a name, from any sender, and have their block run on their own main queue.
//
// Implementations: DBusNotificationCenter (platform/linux, the session bus) and
// InProcessNotificationCenter (tests/support, one process, no bus).

#include "common/MainQueue.h"
#include "common/Value.h"

#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace tavrin {

struct Notification {
    std::string name;
    // Absent when the poster sent none; otherwise always a dictionary.
    std::optional<Dictionary> userInfo;
};

class NotificationCenter {
  public:
    using Block = std::function<void(const Notification&)>;

    // Keeps one observer registered. Destroying the token, or calling remove(),
    // removes the observer; called on the observer's main thread, that
    // guarantees the block does not run afterwards. Move-only.
    class Observation {
      public:
        Observation() = default;
        explicit Observation(std::function<void()> remover) : remover_(std::move(remover)) {}
        Observation(Observation&& other) noexcept : remover_(std::move(other.remover_)) {
            other.remover_ = nullptr;
        }
        Observation& operator=(Observation&& other) noexcept {
            if (this != &other) {
                remove();
                remover_ = std::move(other.remover_);
                other.remover_ = nullptr;
            }
            return *this;
        }
        Observation(const Observation&) = delete;
        Observation& operator=(const Observation&) = delete;
        ~Observation() { remove(); }

        // Idempotent. May be called from any thread.
        void remove() {
            if (auto r = std::exchange(remover_, nullptr))
                r();
        }
        // Keeps the observer for the life of the process (the token is dropped).
        void release() { remover_ = nullptr; }
        bool active() const { return static_cast<bool>(remover_); }

      private:
        std::function<void()> remover_;
    };

    virtual ~NotificationCenter() = default;

    // Posts a notification to every observer of name, in every process on the
    // centre. userInfo, when given, must be a dictionary. Returns false (and
    // sends nothing) when the notification cannot be carried: userInfo not a
    // dictionary, a string that is not valid UTF-8 or holds a NUL character,
    // or nesting deeper than the centre allows. Thread-safe; never blocks on the
    // receivers.
    virtual bool post(const std::string& name, const std::optional<Dictionary>& userInfo) = 0;

    // Registers block for notifications named name, from any sender. Each
    // notification is delivered by posting the block to queue, which must
    // outlive the returned token. When observe() returns, notifications posted
    // afterwards (by any process) reach the block. Thread-safe; may block briefly
    // while the registration is made.
    [[nodiscard]] virtual Observation observe(const std::string& name, MainQueue& queue,
                                              Block block) = 0;
};

} // namespace tavrin
