#include "platform/linux/GLibMainQueue.h"

#include "common/Log.h"

#include <algorithm>
#include <cmath>

namespace tavrin::linux_platform {

struct GLibMainQueue::Timer {
    GLibMainQueue* queue;
    TimerId id;
    std::function<void()> work;
    GSource* source;
};

GLibMainQueue::GLibMainQueue(GMainContext* context)
    : context_(g_main_context_ref(context ? context : g_main_context_default())),
      owner_(std::this_thread::get_id()) {
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
    for (auto& [id, timer] : timers) {
        GSource* source = timer->source; // destroying it frees the timer record
        g_source_destroy(source);
        g_source_unref(source);
    }
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

// A timer's record belongs to its GSource (freed by the source's destroy
// notify), so a timer invalidated on another thread while it is being
// dispatched never leaves the dispatch holding freed memory. The map holds the
// live timers; whoever removes an entry also drops our reference to its source.
MainQueue::TimerId GLibMainQueue::postAfter(Duration delay, std::function<void()> work) {
    double ms = std::max(0.0, delay.count() * 1000.0);
    auto interval = static_cast<guint>(std::min(std::ceil(ms), 4.0e9));
    GSource* source = g_timeout_source_new(interval);
    auto* timer = new Timer{this, 0, std::move(work), source};
    std::lock_guard lock(mutex_);
    timer->id = nextTimer_++;
    timers_[timer->id] = timer;
    g_source_set_callback(source, &GLibMainQueue::fire, timer,
                          [](gpointer t) { delete static_cast<Timer*>(t); });
    g_source_attach(source, context_);
    return timer->id;
}

gboolean GLibMainQueue::fire(gpointer data) {
    auto* timer = static_cast<Timer*>(data);
    GLibMainQueue* self = timer->queue;
    std::function<void()> work;
    {
        std::lock_guard lock(self->mutex_);
        auto it = self->timers_.find(timer->id);
        if (it == self->timers_.end())
            return G_SOURCE_REMOVE; // invalidated while being dispatched
        self->timers_.erase(it);
        work = std::move(timer->work);
    }
    g_source_unref(timer->source); // the context keeps it alive until we return
    runLoggingFailure(work, "MainQueue");
    return G_SOURCE_REMOVE;
}

void GLibMainQueue::invalidate(TimerId id) {
    GSource* source = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto it = timers_.find(id);
        if (it == timers_.end())
            return;
        source = it->second->source;
        timers_.erase(it);
    }
    g_source_destroy(source);
    g_source_unref(source);
}

bool GLibMainQueue::isCurrent() const {
    return std::this_thread::get_id() == owner_;
}

} // namespace tavrin::linux_platform
