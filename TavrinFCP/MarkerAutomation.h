#pragma once
// What the command dispatcher needs of the editor automation: the five
// comment-marker operations. AppleScriptBridge provides them for the program
// (makeAppleScriptAutomation); tests substitute their own.
//
// Every operation blocks its calling thread (call it from a task, never from
// the main queue), may be called from several threads at once, and reports a
// failure by throwing; false and "no value" are answers, not failures.

#include "TavrinFCP/AppleScriptBridge.h"
#include "common/Value.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrin::container {

class MarkerAutomation {
  public:
    virtual ~MarkerAutomation() = default;

    virtual bool syncComment(const Dictionary& comment) = 0;
    virtual bool deleteComment(const std::string& commentId) = 0;
    virtual bool syncAllComments(const std::vector<Dictionary>& comments) = 0;
    virtual bool clearAllMarkers() = 0;
    // seconds and threshold in seconds.
    virtual std::optional<Dictionary> getMarkerAtTime(double seconds, double threshold) = 0;
};

// The editor's scripts run through an AppleScriptBridge made with `options`.
std::shared_ptr<MarkerAutomation> makeAppleScriptAutomation(AppleScriptBridge::Options options);

} // namespace tavrin::container
