#include "ReviewPanel/ContainerAppBridge.h"

#include "common/ContainerChannel.h"

#include <chrono>

namespace tavrin::panel {

using CC = ContainerChannel;

std::shared_ptr<ContainerAppBridge> ContainerAppBridge::create(NotificationCenter& center,
                                                               MainQueue& mainQueue) {
    return std::shared_ptr<ContainerAppBridge>(new ContainerAppBridge(center, mainQueue));
}

ContainerAppBridge::ContainerAppBridge(NotificationCenter& center, MainQueue& mainQueue)
    : center_(center), mainQueue_(mainQueue) {
}

ContainerAppBridge::~ContainerAppBridge() {
    // Pending completions are dropped; their timers have nothing left to do.
    for (const auto& [requestId, timer] : timeOuts_)
        mainQueue_.invalidate(timer);
}

NotificationCenter::Observation
ContainerAppBridge::observeResponses(const std::shared_ptr<ContainerAppBridge>& client) {
    return client->center_.observe(
        CC::kResponseNotification, client->mainQueue_,
        [client](const Notification& note) { client->handleResponse(note); });
}

std::optional<ContainerAppBridge::ResponseCallback>
ContainerAppBridge::takePending(const std::string& requestId) {
    MainQueue::TimerId timer = 0;
    ResponseCallback callback;
    {
        std::lock_guard lock(mutex_);
        auto it = pendingRequests.find(requestId);
        if (it == pendingRequests.end())
            return std::nullopt;
        callback = std::move(it->second);
        pendingRequests.erase(it);
        if (auto t = timeOuts_.find(requestId); t != timeOuts_.end()) {
            timer = t->second;
            timeOuts_.erase(t);
        }
    }
    if (timer)
        mainQueue_.invalidate(timer);
    return callback;
}

void ContainerAppBridge::sendCommand(const std::string& command, Dictionary arguments,
                                     ResponseCallback callback) {
    std::string requestId;
    {
        std::lock_guard lock(mutex_);
        ++requestCounter;
        requestId = CC::makeRequestIdentifier(requestCounter);
        pendingRequests.emplace(requestId, std::move(callback));
    }
    if (!center_.post(CC::kCommandNotification,
                      CC::makeCommandMessage(command, std::move(arguments), requestId))) {
        // The command could not leave (a value the bus cannot carry): nothing
        // can answer it, so give the failure value now rather than in 60 s.
        mainQueue_.post([weak = weak_from_this(), requestId] {
            if (auto self = weak.lock())
                if (auto pending = self->takePending(requestId))
                    (*pending)(std::nullopt);
        });
        return;
    }
    auto timer = mainQueue_.postAfter(std::chrono::duration<double>(CC::kRequestTimeoutSeconds),
                                      [weak = weak_from_this(), requestId] {
                                          if (auto self = weak.lock())
                                              self->timeOut(requestId);
                                      });
    bool answered;
    {
        std::lock_guard lock(mutex_);
        answered = pendingRequests.find(requestId) == pendingRequests.end();
        if (!answered)
            timeOuts_.emplace(requestId, timer);
    }
    if (answered) // the answer beat us to it
        mainQueue_.invalidate(timer);
}

void ContainerAppBridge::timeOut(const std::string& requestId) {
    if (auto pending = takePending(requestId))
        (*pending)(Value(false));
}

void ContainerAppBridge::handleResponse(const Notification& notification) {
    if (!mainQueue_.isCurrent()) {
        mainQueue_.post(
            [self = shared_from_this(), notification] { self->handleResponse(notification); });
        return;
    }
    if (!notification.userInfo)
        return;
    auto requestId = stringFor(*notification.userInfo, CC::kRequestIdKey);
    if (!requestId)
        return;
    // Taken out of the table before the call, so that nothing (a duplicate
    // answer, the time-out) can reach the same callback again.
    auto pending = takePending(*requestId);
    if (!pending)
        return; // a late answer, or one for another client
    const Value* result = lookup(*notification.userInfo, CC::kResultKey);
    if (!result || result->is_null())
        (*pending)(std::nullopt);
    else
        (*pending)(*result);
}

void ContainerAppBridge::sendBooleanCommand(const std::string& command, Dictionary arguments,
                                            Completion<bool> done) {
    sendCommand(command, std::move(arguments),
                [done = std::move(done)](std::optional<Value> value) {
                    done(value && value->is_boolean() && value->get<bool>());
                });
}

void ContainerAppBridge::openURL(const std::string& url) {
    sendCommand(CC::kOpenURL, Dictionary{{CC::kURLKey, url}}, [](std::optional<Value>) {});
}

void ContainerAppBridge::syncComment(const Dictionary& comment, Completion<bool> done) {
    sendBooleanCommand(CC::kSyncComment, Dictionary{{CC::kCommentKey, comment}}, std::move(done));
}

void ContainerAppBridge::deleteComment(const std::string& commentId, Completion<bool> done) {
    sendBooleanCommand(CC::kDeleteComment, Dictionary{{CC::kCommentIdKey, commentId}},
                       std::move(done));
}

void ContainerAppBridge::syncAllComments(const std::vector<Dictionary>& comments,
                                         Completion<bool> done) {
    Dictionary arguments = Dictionary::object();
    arguments[CC::kCommentsKey] = Value::array();
    for (const auto& comment : comments)
        arguments[CC::kCommentsKey].push_back(comment);
    sendBooleanCommand(CC::kSyncAllComments, std::move(arguments), std::move(done));
}

void ContainerAppBridge::clearAllMarkers(Completion<bool> done) {
    sendBooleanCommand(CC::kClearAllMarkers, Dictionary::object(), std::move(done));
}

void ContainerAppBridge::startExport(const Dictionary& config, Completion<bool> done) {
    sendBooleanCommand(CC::kStartExport, config, std::move(done));
}

void ContainerAppBridge::cancelExport(Completion<bool> done) {
    sendBooleanCommand(CC::kCancelExport, Dictionary::object(), std::move(done));
}

void ContainerAppBridge::selectOutputFolder(Completion<std::optional<std::string>> done) {
    sendCommand(CC::kSelectOutputFolder, Dictionary::object(),
                [done = std::move(done)](std::optional<Value> value) {
                    done(value ? asString(*value) : std::nullopt);
                });
}

void ContainerAppBridge::getMarkerAtTime(double seconds, double threshold,
                                         Completion<std::optional<Dictionary>> done) {
    sendCommand(CC::kGetMarkerAtTime,
                Dictionary{{CC::kSecondsKey, seconds}, {CC::kThresholdKey, threshold}},
                [done = std::move(done)](std::optional<Value> value) {
                    done(value ? asDictionary(*value) : std::nullopt);
                });
}

} // namespace tavrin::panel
