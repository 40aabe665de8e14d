#include "platform/linux/GLibMainQueue.h"

#include "common/Log.h"

#include <algorithm>
#include <cmath>

namespace tavrin::linux_platform {

namespace {

// The timers' one source: it has no prepare or check of its own; its ready
// time (the earliest deadline) makes it due.
gboolean dispatchTimers(GSource*, GSourceFunc callback, gpointer data) {
    return callback(data);
}

GSourceFuncs timerSourceFuncs = {nullptr, nullptr, &dispatchTimers, nullptr, nullptr, nullptr};

} // namespace

GLibMainQueue::GLibMainQueue(GMainContext* context)
    : context_(g_main_context_ref(context ? context : g_main_context_default())),
      owner_(std::this_thread::get_id()) {
    // One source for all timers, so a thousand pending time-outs cost the loop
    // nothing per iteration (a source each would be looked at every time).
    timerSource_ = g_source_new(&timerSourceFuncs, sizeof(GSource));
    g_source_set_priority(timerSource_, G_PRIORITY_DEFAULT);
    g_source_set_callback(timerSource_, &GLibMainQueue::fire, this, nullptr);
    g_source_set_ready_time(timerSource_, -1);
    g_source_attach(timerSource_, context_);
}

GLibMainQueue::~GLibMainQueue() {
    std::unique_lock lock(mutex_);
    if (drainSource_) {
        g_source_destroy(drainSource_);
        g_source_unref(drainSource_);
        drainSource_ = nullptr;
    }
    auto timers = std::move(timers_);
    lock.unlock();
    g_source_destroy(timerSource_);
    g_source_unref(timerSource_);
    timers.clear(); // the work is dropped, not run
    g_main_context_unref(context_);
}

// Work is kept in our own FIFO and drained by one idle source, so it runs in
// exactly the order it was posted, whatever thread posted it.
void GLibMainQueue::post(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(work));
    if (!drainSource_) {
        drainSource_ = g_idle_source_new();
        g_source_set_priority(drainSource_, G_PRIORITY_DEFAULT);
        g_source_set_callback(drainSource_, &GLibMainQueue::drain, this, nullptr);
        g_source_attach(drainSource_, context_);
    }
}

gboolean GLibMainQueue::drain(gpointer data) {
    auto* self = static_cast<GLibMainQueue*>(data);
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(self->mutex_);
        batch.swap(self->posted_);
        g_source_unref(self->drainSource_);
        self->drainSource_ = nullptr;
    }
    // Work that throws is logged and the rest still runs, as on the executor.
    for (auto& work : batch)
        runLoggingFailure(work, "MainQueue");
    return G_SOURCE_REMOVE;
}

// Timers: deadlines in a heap, work in a table by identifier. Invalidating
// removes the work; its heap entry is dropped when its time comes. The work is
// taken out of the table under the lock before it runs, so an invalidate()
// that comes first always wins.
MainQueue::TimerId GLibMainQueue::postAfter(Duration delay, std::function<void()> work) {
    double ms = std::max(0.0, delay.count() * 1000.0);
    auto due = g_get_monotonic_time() +
               static_cast<gint64>(std::min(std::ceil(ms), 4.0e12)) * 1000; // whole ms, as before
    std::lock_guard lock(mutex_);
    TimerId id = nextTimer_++;
    timers_.emplace(id, PendingTimer{due, std::move(work)});
    deadlines_.push({due, id});
    if (deadlines_.top().id == id)
        g_source_set_ready_time(timerSource_, due);
    return id;
}

gboolean GLibMainQueue::fire(gpointer data) {
    auto* self = static_cast<GLibMainQueue*>(data);
    const gint64 now = g_source_get_time(self->timerSource_);
    for (;;) {
        std::function<void()> work;
        {
            std::lock_guard lock(self->mutex_);
            while (!self->deadlines_.empty() && !self->timers_.count(self->deadlines_.top().id))
                self->deadlines_.pop(); // invalidated
            if (self->deadlines_.empty() || self->deadlines_.top().due > now) {
                g_source_set_ready_time(self->timerSource_,
                                        self->deadlines_.empty() ? -1 : self->deadlines_.top().due);
                return G_SOURCE_CONTINUE;
            }
            auto it = self->timers_.find(self->deadlines_.top().id);
            self->deadlines_.pop();
            work = std::move(it->second.work);
            self->timers_.erase(it);
        }
        runLoggingFailure(work, "MainQueue");
    }
}

void GLibMainQueue::invalidate(TimerId id) {
    std::function<void()> dropped; // released outside the lock
    std::lock_guard lock(mutex_);
    auto it = timers_.find(id);
    if (it == timers_.end())
        return;
    dropped = std::move(it->second.work);
    timers_.erase(it);
    // Answered requests invalidate most time-outs long before they are due:
    // keep the heap from filling up with their entries.
    if (deadlines_.size() > 2 * timers_.size() + 1024) {
        std::vector<Deadline> live;
        live.reserve(timers_.size());
        for (const auto& [timer, pending] : timers_)
            live.push_back({pending.due, timer});
        deadlines_ = decltype(deadlines_)(std::greater<Deadline>(), std::move(live));
    }
}

bool GLibMainQueue::isCurrent() const {
    return std::this_thread::get_id() == owner_;
}

} // namespace tavrin::linux_platform
