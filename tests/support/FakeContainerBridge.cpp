#include "tests/support/FakeContainerBridge.h"

#include <stdexcept>

namespace tavrin::testing {

FakeContainerBridge::Call& FakeContainerBridge::record(std::string operation, Value arguments) {
    calls.push_back(Call{std::move(operation), std::move(arguments), {}, {}, {}, false});
    return calls.back();
}

void FakeContainerBridge::openURL(const std::string& url) {
    record("openURL", {{"url", url}}).answered = true;
}
void FakeContainerBridge::syncComment(const Dictionary& comment, Completion<bool> done) {
    record("syncComment", {{"comment", comment}}).boolDone = std::move(done);
}
void FakeContainerBridge::deleteComment(const std::string& commentId, Completion<bool> done) {
    record("deleteComment", {{"commentId", commentId}}).boolDone = std::move(done);
}
void FakeContainerBridge::syncAllComments(const std::vector<Dictionary>& comments,
                                          Completion<bool> done) {
    record("syncAllComments", {{"comments", comments}}).boolDone = std::move(done);
}
void FakeContainerBridge::clearAllMarkers(Completion<bool> done) {
    record("clearAllMarkers", Value::object()).boolDone = std::move(done);
}
void FakeContainerBridge::startExport(const Dictionary& config, Completion<bool> done) {
    record("startExport", {{"config", config}}).boolDone = std::move(done);
}
void FakeContainerBridge::cancelExport(Completion<bool> done) {
    record("cancelExport", Value::object()).boolDone = std::move(done);
}
void FakeContainerBridge::selectOutputFolder(Completion<std::optional<std::string>> done) {
    record("selectOutputFolder", Value::object()).folderDone = std::move(done);
}
void FakeContainerBridge::getMarkerAtTime(double seconds, double threshold,
                                          Completion<std::optional<Dictionary>> done) {
    record("getMarkerAtTime", {{"seconds", seconds}, {"threshold", threshold}}).markerDone =
        std::move(done);
}

void FakeContainerBridge::succeed(std::size_t i, const Value& result) {
    Call& call = calls.at(i);
    if (call.answered)
        throw std::logic_error("call answered twice");
    call.answered = true;
    // The completions are moved out: an answered call holds nothing any more.
    if (call.boolDone)
        queue_.post([done = std::move(call.boolDone), v = result.get<bool>()] { done(v); });
    else if (call.folderDone)
        queue_.post([done = std::move(call.folderDone), result] {
            done(result.is_null() ? std::optional<std::string>()
                                  : std::optional<std::string>(result.get<std::string>()));
        });
    else if (call.markerDone)
        queue_.post([done = std::move(call.markerDone), result] {
            done(result.is_null() ? std::optional<Dictionary>()
                                  : std::optional<Dictionary>(result));
        });
}

void FakeContainerBridge::fail(std::size_t i, const std::string& message) {
    Call& call = calls.at(i);
    if (call.answered)
        throw std::logic_error("call answered twice");
    call.answered = true;
    Error error{message};
    if (call.boolDone)
        queue_.post([done = std::move(call.boolDone), error] { done(error); });
    else if (call.folderDone)
        queue_.post([done = std::move(call.folderDone), error] { done(error); });
    else if (call.markerDone)
        queue_.post([done = std::move(call.markerDone), error] { done(error); });
}

} // namespace tavrin::testing
