#include "ReviewPanel/MessageHandler.h"

#include "common/Base64.h"
#include "common/TimeRounding.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <utility>

namespace tavrin::panel {

// Orders host notifications, and the page's own writes of the known playhead
// position among them: one that arrives off the main thread is posted to the
// main queue; one that arrives on it runs inline unless earlier ones still
// wait in the queue, in which case it queues behind them.
struct MessageHandler::HostEventGate {
    explicit HostEventGate(MainQueue& q) : queue(q) {}
    MainQueue& queue;
    std::atomic<int> waiting{0};
    // Page seeks the host is carrying out. A report it makes meanwhile may
    // hold a position it read before the move.
    std::atomic<int> seeking{0};
};

namespace {

void deliverHostEvent(const std::shared_ptr<MessageHandler::HostEventGate>& gate,
                      std::function<void()> work) {
    if (gate->queue.isCurrent() && gate->waiting.load() == 0) {
        work();
        return;
    }
    gate->waiting.fetch_add(1);
    gate->queue.post([gate, work = std::move(work)] {
        gate->waiting.fetch_sub(1);
        work();
    });
}

// A move of more than MessageHandler::jumpThreshold from a known (non-negative)
// position. Times arrive as binary doubles, so a move of exactly the threshold
// (1.0 to 1.6) may come out a few units in the last place above it; such
// rounding is not a jump.
bool isJump(double from, double to) {
    if (!(from >= 0))
        return false;
    double difference = std::fabs(to - from);
    if (!std::isfinite(difference))
        return difference > MessageHandler::jumpThreshold; // from or to infinite
    return difference > MessageHandler::jumpThreshold + roundingSlack(from, to);
}

// Adapts a Boolean container completion to the bridge's reply.
Completion<bool> boolReply(std::function<void(Result<std::optional<Value>>)> reply) {
    return [reply = std::move(reply)](Result<bool> result) {
        if (!result)
            reply(result.error());
        else
            reply(std::optional<Value>(Value(result.value())));
    };
}

} // namespace

std::shared_ptr<MessageHandler> MessageHandler::create(std::weak_ptr<WebView> webView,
                                                       MainQueue& mainQueue) {
    std::shared_ptr<MessageHandler> handler(new MessageHandler(std::move(webView), mainQueue));
    std::weak_ptr<MessageHandler> weak = handler;
    auto gate = handler->hostEvents_;
    // The callbacks hold the handler weakly and only lock it on the main
    // thread, so a host thread never ends up releasing the handler.
    handler->proExtension_->onPlayheadChanged([weak, gate](double seconds) {
        bool duringSeek = gate->seeking.load() > 0;
        deliverHostEvent(gate, [weak, seconds, duringSeek] {
            if (auto self = weak.lock())
                self->handlePlayheadChange(seconds, duringSeek);
        });
    });
    handler->proExtension_->onSequenceChanged([weak, gate](const Dictionary& info) {
        deliverHostEvent(gate, [weak, info] {
            if (auto self = weak.lock())
                self->handleSequenceChange(info);
        });
    });
    return handler;
}

MessageHandler::MessageHandler(std::weak_ptr<WebView> webView, MainQueue& mainQueue)
    : webView_(std::move(webView)), proExtension_(ProExtensionAPI::create()), mainQueue_(mainQueue),
      hostEvents_(std::make_shared<HostEventGate>(mainQueue)) {
}

// Host notifications still waiting for the main queue were made before this
// position was read or set, so they must see the position they moved from:
// the write takes its place in their line.
void MessageHandler::rememberPlayhead(double seconds) {
    deliverHostEvent(hostEvents_, [weak = weak_from_this(), seconds] {
        if (auto self = weak.lock())
            self->previousPlayheadTime_ = seconds;
    });
}

void MessageHandler::stopObservingHost() {
    proExtension_->onPlayheadChanged(nullptr);
    proExtension_->onSequenceChanged(nullptr);
}

void MessageHandler::setContainerBridge(std::shared_ptr<ContainerBridge> bridge) {
    containerBridge_ = std::move(bridge);
}

WebView::ScriptMessageHandler MessageHandler::scriptMessageHandler() {
    std::weak_ptr<MessageHandler> weak = weak_from_this();
    return [weak](const ScriptMessage& message) {
        if (auto self = weak.lock())
            self->userContentController(message);
    };
}

void MessageHandler::notifyConnected() {
    sendToJS("fcp:connected", Dictionary::object());
    if (auto info = proExtension_->getSequenceInfo())
        sendToJS("fcp:sequence-changed", *info);
}

void MessageHandler::userContentController(const ScriptMessage& message) {
    if (message.name != scriptMessageName || !message.body.is_object())
        return;
    const Dictionary& body = message.body;
    auto command = stringFor(body, "command");
    if (!command)
        return;
    auto resolveId = stringFor(body, "resolveId");
    const std::string& name = *command;

    if (name == "getTimeline") {
        handleGetTimeline(resolveId);
    } else if (name == "getPlayhead") {
        double seconds = proExtension_->getPlayheadSeconds();
        rememberPlayhead(seconds);
        resolve(resolveId, Value(seconds));
    } else if (name == "seekTo") {
        if (auto seconds = numberFor(body, "seconds")) {
            // Stored first, so the notification of this very move is not a jump.
            hostEvents_->seeking.fetch_add(1);
            rememberPlayhead(*seconds);
            proExtension_->seekTo(*seconds);
            hostEvents_->seeking.fetch_sub(1);
        }
        resolve(resolveId, Value(true));
    } else if (name == "syncComment") {
        handleAsync(body, resolveId, [](ContainerBridge& bridge, const Dictionary& m, Reply r) {
            bridge.syncComment(m, boolReply(std::move(r)));
        });
    } else if (name == "deleteComment") {
        auto commentId = stringFor(body, "commentId");
        if (!commentId) {
            resolve(resolveId, Value(false)); // answered at once: the page must not wait
            return;
        }
        handleAsync(body, resolveId,
                    [id = *commentId](ContainerBridge& bridge, const Dictionary&, Reply r) {
                        bridge.deleteComment(id, boolReply(std::move(r)));
                    });
    } else if (name == "syncAllComments") {
        auto comments = arrayOfDictionariesFor(body, "comments");
        if (!comments) {
            resolve(resolveId, Value(false));
            return;
        }
        handleAsync(
            body, resolveId,
            [list = std::move(*comments)](ContainerBridge& bridge, const Dictionary&, Reply r) {
                bridge.syncAllComments(list, boolReply(std::move(r)));
            });
    } else if (name == "clearAllMarkers") {
        handleAsync(body, resolveId, [](ContainerBridge& bridge, const Dictionary&, Reply r) {
            bridge.clearAllMarkers(boolReply(std::move(r)));
        });
    } else if (name == "startExport") {
        auto config = dictionaryFor(body, "config");
        if (!config) {
            resolve(resolveId, Value(false));
            return;
        }
        handleAsync(
            body, resolveId,
            [config = std::move(*config)](ContainerBridge& bridge, const Dictionary&, Reply r) {
                bridge.startExport(config, boolReply(std::move(r)));
            });
    } else if (name == "cancelExport") {
        handleAsync(body, resolveId, [](ContainerBridge& bridge, const Dictionary&, Reply r) {
            bridge.cancelExport(boolReply(std::move(r)));
        });
    } else if (name == "selectOutputFolder") {
        handleAsync(body, resolveId, [](ContainerBridge& bridge, const Dictionary&, Reply r) {
            bridge.selectOutputFolder(
                [r = std::move(r)](Result<std::optional<std::string>> result) {
                    if (!result)
                        r(result.error());
                    else if (result.value())
                        r(std::optional<Value>(Value(*result.value())));
                    else
                        r(std::optional<Value>());
                });
        });
    } else if (name == "getMarkerAtTime") {
        auto seconds = numberFor(body, "seconds");
        if (!seconds) {
            resolve(resolveId, std::nullopt);
            return;
        }
        double threshold = numberFor(body, "threshold").value_or(0.5);
        handleAsync(body, resolveId,
                    [s = *seconds, threshold](ContainerBridge& bridge, const Dictionary&, Reply r) {
                        bridge.getMarkerAtTime(
                            s, threshold,
                            [r = std::move(r)](Result<std::optional<Dictionary>> result) {
                                if (!result)
                                    r(result.error());
                                else
                                    r(std::optional<Value>(result.value()));
                            });
                    });
    } else if (name == "openURL") {
        auto url = stringFor(body, "url");
        if (url && containerBridge_)
            containerBridge_->openURL(*url);
        resolve(resolveId, Value(true));
    } else if (name == "isFCPRunning") {
        resolve(resolveId, Value(true));
    } else {
        resolve(resolveId, std::nullopt);
    }
}

void MessageHandler::handleGetTimeline(const std::optional<std::string>& resolveId) {
    auto info = proExtension_->getSequenceInfo();
    resolve(resolveId, info ? std::optional<Value>(*info) : std::nullopt);
}

void MessageHandler::handleAsync(const Dictionary& message,
                                 const std::optional<std::string>& resolveId, Operation operation) {
    if (!containerBridge_) {
        resolve(resolveId, Value(false));
        return;
    }
    // The reply holds the handler and the bridge strongly: the request is
    // answered even if the panel lets go of the handler meanwhile.
    auto self = shared_from_this();
    auto bridge = containerBridge_;
    auto finish = [self, bridge, resolveId](Result<std::optional<Value>> result) {
        if (result)
            self->resolve(resolveId, result.value());
        else
            self->resolve(resolveId, Value(false)); // the error itself is not reported
    };
    Reply reply = [self, finish](Result<std::optional<Value>> result) {
        // Bridges complete on the main queue; one that does not is brought there.
        self->mainQueue_.runOrPost([finish, result = std::move(result)] { finish(result); });
    };
    operation(*bridge, message, std::move(reply));
}

void MessageHandler::resolve(const std::optional<std::string>& resolveId,
                             const std::optional<Value>& value) {
    if (!resolveId)
        return;
    std::string json = "null";
    if (value) {
        if (auto text = writeJSON(*value))
            json = std::move(*text);
    }
    Dictionary detail = Dictionary::object();
    detail["resolveId"] = *resolveId;
    detail["value"] = std::move(json);
    sendToJS("fcp:resolve", detail);
}

void MessageHandler::sendToJS(const std::string& event, const Dictionary& data) {
    auto webView = webView_.lock();
    if (!webView)
        return;
    auto json = writeJSON(data);
    if (!json)
        return;
    // The payload travels as Base64 so no quoting can break out of the script;
    // it is decoded back to UTF-8 text before parsing.
    std::string script;
    script.reserve(json->size() * 4 / 3 + 400);
    script += "(function() {\n  try {\n    var payload = JSON.parse(new "
              "TextDecoder().decode(Uint8Array.from(atob('";
    script += base64Encode(*json);
    script += "'), c => c.charCodeAt(0))));\n    window.dispatchEvent(new CustomEvent('";
    script += event;
    script += "', { detail: payload }));\n  } catch(e) {\n    console.error('[Tavrin] Failed to "
              "dispatch ";
    script += event;
    script += ":', e);\n  }\n})();";
    webView->evaluateJavaScript(script, [event](std::optional<std::string> error) {
        if (!error)
            return;
        std::string line = "[Tavrin] evaluateJavaScript error for " + event + ": " + *error + "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    });
}

void MessageHandler::handlePlayheadChange(double seconds, bool duringSeek) {
    Dictionary payload = Dictionary::object();
    payload["seconds"] = seconds;
    sendToJS("fcp:playhead-changed", payload);
    // Made while the host moved to the page's target: perhaps from before the
    // move (a playing editor reports every frame), so the target stays known.
    if (duringSeek)
        return;

    if (isJump(previousPlayheadTime_, seconds))
        checkForMarkerAtTime(seconds);
    previousPlayheadTime_ = seconds;
}

void MessageHandler::checkForMarkerAtTime(double seconds) {
    if (!containerBridge_)
        return;
    // The lookup keeps the handler and its bridge alive until it ends.
    auto self = shared_from_this();
    auto bridge = containerBridge_;
    auto finish = [self, bridge, seconds](Result<std::optional<Dictionary>> result) {
        if (!result || !result.value() || !result.value()->is_object())
            return;
        Dictionary marker = *result.value();
        marker["seconds"] = seconds;
        self->sendToJS("fcp:marker-clicked", marker);
    };
    bridge->getMarkerAtTime(
        seconds, markerLookupThreshold, [self, finish](Result<std::optional<Dictionary>> result) {
            self->mainQueue_.runOrPost([finish, result = std::move(result)] { finish(result); });
        });
}

void MessageHandler::handleSequenceChange(const Dictionary& sequenceInfo) {
    sendToJS("fcp:sequence-changed", sequenceInfo);
}

} // namespace tavrin::panel
