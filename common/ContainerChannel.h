#pragma once
// The wire contract between the panel and the container app: two notification
// names (one per direction), the message keys and the command names, and the
// request identifier. Both programs build and read their messages from here.
//
// A command is the user info of kCommandNotification: a flat dictionary with
// "command", "requestId" and the command's arguments beside them. An answer is
// the user info of kResponseNotification: "requestId" copied unchanged and
// "result" (null when there is no value). Only the identifier pairs them.

#include "common/Value.h"

#include <cstdint>
#include <string>

namespace tavrin {

struct ContainerChannel {

    static constexpr const char* kCommandNotification = "com.tavrin.fcp.containerCommand";
    static constexpr const char* kResponseNotification = "com.tavrin.fcp.containerResponse";

    // Message keys.
    static constexpr const char* kCommandKey = "command";
    static constexpr const char* kRequestIdKey = "requestId";
    static constexpr const char* kResultKey = "result";

    // Command names and their argument keys.
    static constexpr const char* kSyncComment = "syncComment";
    static constexpr const char* kDeleteComment = "deleteComment";
    static constexpr const char* kSyncAllComments = "syncAllComments";
    static constexpr const char* kClearAllMarkers = "clearAllMarkers";
    static constexpr const char* kGetMarkerAtTime = "getMarkerAtTime";
    static constexpr const char* kStartExport = "startExport";
    static constexpr const char* kCancelExport = "cancelExport";
    static constexpr const char* kSelectOutputFolder = "selectOutputFolder";
    static constexpr const char* kOpenURL = "openURL";

    static constexpr const char* kCommentKey = "comment";
    static constexpr const char* kCommentIdKey = "commentId";
    static constexpr const char* kCommentsKey = "comments";
    static constexpr const char* kSecondsKey = "seconds";
    static constexpr const char* kThresholdKey = "threshold";
    static constexpr const char* kURLKey = "url";
    static constexpr const char* kProjectIdKey = "projectId";
    static constexpr const char* kTokenKey = "token";
    static constexpr const char* kNameKey = "name";
    static constexpr const char* kOutputFolderKey = "outputFolder";

    // How long a client waits for an answer before it completes a request itself.
    static constexpr double kRequestTimeoutSeconds = 60.0;

    // "req-", counter in decimal, "-", the first six characters of a fresh random
    // UUID's upper-case text, e.g. "req-7-3F2A9C". Thread-safe.
    static std::string makeRequestIdentifier(std::int64_t counter);

    // The command message: a copy of arguments (a dictionary; anything else counts
    // as none) with "command" and "requestId" set, overwriting keys of those names.
    static Dictionary makeCommandMessage(const std::string& command, Dictionary arguments,
                                         const std::string& requestId);

    // The response message; an absent result travels as null.
    static Dictionary makeResponseMessage(const std::string& requestId, const Value& result);
};

} // namespace tavrin
