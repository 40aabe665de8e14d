#pragma once
// The main queue on a GLib main context: what both programs run, since GTK,
// WebKitGTK and GDBus all dispatch on it.

#include "common/MainQueue.h"

#include <glib.h>

#include <deque>
#include <functional>
#include <mutex>
#include <queue>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tavrin::linux_platform {

class GLibMainQueue final : public MainQueue {
  public:
    // Binds to context (nullptr: the global default context). The thread that
    // constructs the queue is its main thread and must run the context's loop.
    explicit GLibMainQueue(GMainContext* context = nullptr);
    ~GLibMainQueue() override;

    void post(std::function<void()> work) override;
    TimerId postAfter(Duration delay, std::function<void()> work) override;
    void invalidate(TimerId timer) override;
    bool isCurrent() const override;

    GMainContext* context() const { return context_; }

  private:
    struct Deadline {
        gint64 due; // monotonic microseconds
        TimerId id;
        bool operator>(const Deadline& other) const {
            return due != other.due ? due > other.due : id > other.id;
        }
    };
    static gboolean drain(gpointer self);
    static gboolean fire(gpointer self);

    GMainContext* context_;
    std::thread::id owner_;
    std::mutex mutex_;
    std::deque<std::function<void()>> posted_;
    GSource* drainSource_ = nullptr; // attached while posted_ is non-empty
    GSource* timerSource_ = nullptr; // ready at the earliest deadline
    struct PendingTimer {
        gint64 due;
        std::function<void()> work;
    };
    std::unordered_map<TimerId, PendingTimer> timers_;
    std::priority_queue<Deadline, std::vector<Deadline>, std::greater<Deadline>> deadlines_;
    TimerId nextTimer_ = 1;
};

} // namespace tavrin::linux_platform
