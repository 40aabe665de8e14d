#include "tests/support/InProcessNotificationCenter.h"

#include <atomic>
#include <map>

namespace tavrin::testing {

namespace {
struct Observer {
    std::string name;
    MainQueue* queue;
    NotificationCenter::Block block;
    std::mutex handOver;
    bool alive = true;
};
} // namespace

struct InProcessNotificationCenter::State {
    mutable std::mutex mutex;
    std::map<std::uint64_t, std::shared_ptr<Observer>> observers;
    std::uint64_t nextId = 1;
    std::vector<Notification> log;
};

InProcessNotificationCenter::InProcessNotificationCenter() : state_(std::make_shared<State>()) {
}

InProcessNotificationCenter::~InProcessNotificationCenter() {
    std::lock_guard lock(state_->mutex);
    for (auto& [id, observer] : state_->observers) {
        std::lock_guard stop(observer->handOver);
        observer->alive = false;
    }
}

bool InProcessNotificationCenter::post(const std::string& name,
                                       const std::optional<Dictionary>& userInfo) {
    if (userInfo && !userInfo->is_object())
        return false;
    std::vector<std::shared_ptr<Observer>> targets;
    {
        std::lock_guard lock(state_->mutex);
        state_->log.push_back(Notification{name, userInfo});
        for (auto& [id, observer] : state_->observers)
            if (observer->name == name)
                targets.push_back(observer);
    }
    for (auto& observer : targets) {
        // Each receiver gets its own copy, as between processes.
        auto note = std::make_shared<Notification>(Notification{name, userInfo});
        std::lock_guard lock(observer->handOver);
        if (!observer->alive)
            continue;
        observer->queue->post([observer, note] {
            bool alive;
            {
                std::lock_guard check(observer->handOver);
                alive = observer->alive;
            }
            if (alive)
                observer->block(*note);
        });
    }
    return true;
}

NotificationCenter::Observation
InProcessNotificationCenter::observe(const std::string& name, MainQueue& queue, Block block) {
    auto observer = std::make_shared<Observer>();
    observer->name = name;
    observer->queue = &queue;
    observer->block = std::move(block);
    std::uint64_t id;
    {
        std::lock_guard lock(state_->mutex);
        id = state_->nextId++;
        state_->observers.emplace(id, observer);
    }
    std::weak_ptr<State> weak = state_;
    return Observation([weak, id, observer] {
        {
            std::lock_guard stop(observer->handOver);
            observer->alive = false;
        }
        if (auto state = weak.lock()) {
            std::lock_guard lock(state->mutex);
            state->observers.erase(id);
        }
    });
}

std::vector<Notification> InProcessNotificationCenter::posted() const {
    std::lock_guard lock(state_->mutex);
    return state_->log;
}

std::size_t InProcessNotificationCenter::observerCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->observers.size();
}

} // namespace tavrin::testing
