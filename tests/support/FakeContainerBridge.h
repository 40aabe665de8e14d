#pragma once
// A container bridge for tests: records each call and keeps its completion
// until the test answers it with succeed() or fail(); the answer is posted to
// the main queue, as the real client does.

#include "ReviewPanel/ContainerBridge.h"
#include "common/MainQueue.h"

#include <string>
#include <vector>

namespace tavrin::testing {

class FakeContainerBridge final : public panel::ContainerBridge {
  public:
    struct Call {
        std::string operation;
        Value arguments; // the operation's arguments, as a dictionary
        Completion<bool> boolDone;
        Completion<std::optional<std::string>> folderDone;
        Completion<std::optional<Dictionary>> markerDone;
        bool answered = false;
    };

    explicit FakeContainerBridge(MainQueue& queue) : queue_(queue) {}

    void openURL(const std::string& url) override;
    void syncComment(const Dictionary& comment, Completion<bool> done) override;
    void deleteComment(const std::string& commentId, Completion<bool> done) override;
    void syncAllComments(const std::vector<Dictionary>& comments, Completion<bool> done) override;
    void clearAllMarkers(Completion<bool> done) override;
    void startExport(const Dictionary& config, Completion<bool> done) override;
    void cancelExport(Completion<bool> done) override;
    void selectOutputFolder(Completion<std::optional<std::string>> done) override;
    void getMarkerAtTime(double seconds, double threshold,
                         Completion<std::optional<Dictionary>> done) override;

    // Answers call i: for a Boolean operation result must be a boolean; for
    // the folder a string or null (none chosen); for a marker a dictionary or null.
    void succeed(std::size_t i, const Value& result);
    void fail(std::size_t i, const std::string& message = "container failed");

    std::vector<Call> calls;

  private:
    Call& record(std::string operation, Value arguments);
    MainQueue& queue_;
};

} // namespace tavrin::testing
