#pragma once
// The interface through which the panel bridge reaches the container app.
// Implemented by ContainerAppBridge (over the session bus) and by fakes in tests.
//
// Threads: every operation may be called from any thread. The asynchronous
// operations never block their caller; each calls its completion exactly once,
// on the main queue, with the result or with an error. An implementation that
// is destroyed may drop completions that have not been called yet.

#include "common/Result.h"
#include "common/Value.h"

#include <optional>
#include <string>
#include <vector>

namespace tavrin::panel {

class ContainerBridge {
  public:
    virtual ~ContainerBridge() = default;

    // Synchronous, fire and forget; cannot fail.
    virtual void openURL(const std::string& url) = 0;
    // comment: the whole command dictionary of the page message.
    virtual void syncComment(const Dictionary& comment, Completion<bool> done) = 0;
    virtual void deleteComment(const std::string& commentId, Completion<bool> done) = 0;
    virtual void syncAllComments(const std::vector<Dictionary>& comments,
                                 Completion<bool> done) = 0;
    virtual void clearAllMarkers(Completion<bool> done) = 0;
    // config: the export configuration ("projectId", "token", "name", "outputFolder").
    virtual void startExport(const Dictionary& config, Completion<bool> done) = 0;
    virtual void cancelExport(Completion<bool> done) = 0;
    // The chosen folder, or no value when none was chosen.
    virtual void selectOutputFolder(Completion<std::optional<std::string>> done) = 0;
    // seconds and threshold in seconds. The marker record, or no value.
    virtual void getMarkerAtTime(double seconds, double threshold,
                                 Completion<std::optional<Dictionary>> done) = 0;
};

} // namespace tavrin::panel
