#include "platform/linux/WebKitWebView.h"

#include <webkit2/webkit2.h>

#include <charconv>
#include <string_view>
#include <utility>

namespace tavrin::linux_platform {

namespace {

// 1 for a \u escape of a high surrogate at json[i], 2 for a low one, else 0.
int surrogateEscapeAt(std::string_view json, std::size_t i) {
    if (i + 6 > json.size() || json[i] != '\\' || json[i + 1] != 'u')
        return 0;
    unsigned unit = 0;
    auto [end, error] = std::from_chars(json.data() + i + 2, json.data() + i + 6, unit, 16);
    if (error != std::errc() || end != json.data() + i + 6)
        return 0;
    return unit >= 0xD800 && unit <= 0xDBFF ? 1 : unit >= 0xDC00 && unit <= 0xDFFF ? 2 : 0;
}

// A page string cut in the middle of a surrogate pair (an emoji sliced by
// length) is written by JSON.stringify as an escaped lone surrogate, which no
// UTF-8 text can hold. Each becomes U+FFFD, so the message still arrives (and
// its request is answered) instead of being dropped whole.
std::string replaceLoneSurrogates(std::string_view json) {
    std::string out;
    out.reserve(json.size());
    for (std::size_t i = 0; i < json.size();) {
        if (json[i] != '\\') {
            out += json[i++];
            continue;
        }
        int kind = surrogateEscapeAt(json, i);
        if (kind == 1 && surrogateEscapeAt(json, i + 6) == 2) {
            out.append(json.substr(i, 12));
            i += 12;
        } else if (kind != 0) {
            out += "\\ufffd";
            i += 6;
        } else { // any other escape, whole
            out.append(json.substr(i, 2));
            i += 2;
        }
    }
    return out;
}

// The page's message body as a property-list value. JSON keeps integers and
// floating numbers apart where the text allows; a body without a JSON form
// (undefined, a function) becomes null.
Value bodyValue(JSCValue* value) {
    if (!value || jsc_value_is_undefined(value))
        return nullptr;
    char* json = jsc_value_to_json(value, 0);
    if (!json)
        return nullptr;
    auto parsed = parseJSON(replaceLoneSurrogates(json));
    g_free(json);
    return parsed ? std::move(*parsed) : Value(nullptr);
}

// An engine failure in the panel's terms (see panel::NavigationError). Which
// failure the panel shows as which message:
//  - "You appear to be offline…": reported as URLErrorNotConnectedToInternet
//    (-1009) when the network is unreachable (G_IO_ERROR_NETWORK_UNREACHABLE),
//    or when GIO's network monitor says the machine has no network and the
//    failure is one a missing network causes (name resolution failed, host
//    unreachable, timed out).
//  - "Failed to connect to Tavrin…": a cancelled load (WebKit's
//    WEBKIT_NETWORK_ERROR_CANCELLED, reported as URLErrorCancelled, -999), the
//    panel's own request time-out (URLErrorTimedOut, -1001), and every other
//    failure in the engine's own domain and code: connection refused, TLS
//    errors, HTTP transport errors, unknown protocol, a page that cannot be shown.
} // namespace

panel::NavigationError navigationErrorFor(const GError* error) {
    if (!error)
        return {"WebKitNetworkError", WEBKIT_NETWORK_ERROR_FAILED, "Load failed"};
    std::string description = error->message ? error->message : "";
    if (error->domain == WEBKIT_NETWORK_ERROR && error->code == WEBKIT_NETWORK_ERROR_CANCELLED)
        return {panel::URLErrorDomain, panel::URLErrorCancelled, description};
    bool unreachable = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_NETWORK_UNREACHABLE);
    bool causedByNoNetwork = error->domain == G_RESOLVER_ERROR ||
                             g_error_matches(error, G_IO_ERROR, G_IO_ERROR_HOST_UNREACHABLE) ||
                             g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT);
    if (unreachable || (causedByNoNetwork &&
                        !g_network_monitor_get_network_available(g_network_monitor_get_default())))
        return {panel::URLErrorDomain, panel::URLErrorNotConnectedToInternet, description};
    return {g_quark_to_string(error->domain), static_cast<long>(error->code), description};
}

struct WebKitWebView::Impl {
    struct Handler {
        Impl* owner;
        std::string name;
        ScriptMessageHandler callback;
        gulong signal = 0;
    };

    ::WebKitWebView* view = nullptr;
    WebKitUserContentManager* manager = nullptr;
    std::map<std::string, std::unique_ptr<Handler>> handlers;
    std::weak_ptr<panel::WebViewNavigationDelegate> delegate;

    static void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result,
                                gpointer data) {
        auto* handler = static_cast<Handler*>(data);
        panel::ScriptMessage message{handler->name,
                                     bodyValue(webkit_javascript_result_get_js_value(result))};
        // A copy: the callback may unregister its own handler.
        auto callback = handler->callback;
        callback(message);
    }

    // The state of the main frame's current load.
    bool provisional = false;       // started, nothing of the page arrived yet
    bool failureReported = false;   // its failure has been reported: no finish
    bool ignoredByDelegate = false; // the delegate cancelled a navigation of it
    bool timedOut = false;          // stopped by the request time-out
    guint requestTimer = 0;
    // The URI of a load the panel started whose navigation is not decided yet.
    std::string ownLoadURI;

    void stopRequestTimer() {
        if (requestTimer)
            g_source_remove(requestTimer);
        requestTimer = 0;
    }

    static gboolean onRequestTimeout(gpointer data) {
        auto* self = static_cast<Impl*>(data);
        self->requestTimer = 0;
        if (self->provisional) {
            self->timedOut = true;
            webkit_web_view_stop_loading(self->view);
        }
        return G_SOURCE_REMOVE;
    }

    static void onLoadChanged(::WebKitWebView*, WebKitLoadEvent event, gpointer data) {
        auto* self = static_cast<Impl*>(data);
        switch (event) {
        case WEBKIT_LOAD_STARTED:
            self->provisional = true;
            self->failureReported = false;
            self->ignoredByDelegate = false;
            return;
        case WEBKIT_LOAD_REDIRECTED:
            return;
        case WEBKIT_LOAD_COMMITTED:
            self->provisional = false;
            self->stopRequestTimer();
            return;
        case WEBKIT_LOAD_FINISHED:
            self->provisional = false;
            self->stopRequestTimer();
            // WebKitGTK ends a failed load with "finished" too; it was reported
            // as a failure already.
            if (self->failureReported)
                return;
            if (auto d = self->delegate.lock())
                d->didFinishNavigation();
            return;
        }
    }

    static gboolean onLoadFailed(::WebKitWebView*, WebKitLoadEvent event, gchar*, GError* error,
                                 gpointer data) {
        auto* self = static_cast<Impl*>(data);
        if (self->failureReported)
            return TRUE; // the end of the page's process was reported for it already
        self->stopRequestTimer();
        self->failureReported = true;
        bool timedOut = std::exchange(self->timedOut, false);
        // The delegate's own cancel is not a failure of the page.
        if (self->ignoredByDelegate &&
            g_error_matches(error, WEBKIT_POLICY_ERROR,
                            WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE))
            return TRUE;
        auto failure = timedOut
                           ? panel::NavigationError{panel::URLErrorDomain, panel::URLErrorTimedOut,
                                                    "The request timed out."}
                           : navigationErrorFor(error);
        if (auto d = self->delegate.lock()) {
            if (event == WEBKIT_LOAD_COMMITTED || event == WEBKIT_LOAD_FINISHED)
                d->didFailNavigation(failure);
            else
                d->didFailProvisionalNavigation(failure);
        }
        return TRUE; // no error page of WebKit's own: the panel shows its overlay
    }

    // The page's process ended under it (a crash, or the engine's memory
    // limit for a page that grew too large): the page is gone, the bridge
    // with it, and nothing else says so. Reported as a failed load of the
    // page, so the panel offers to load it again. An end the view asked for
    // is not a failure.
    static void onWebProcessTerminated(::WebKitWebView*, WebKitWebProcessTerminationReason reason,
                                       gpointer data) {
        auto* self = static_cast<Impl*>(data);
        if (reason == WEBKIT_WEB_PROCESS_TERMINATED_BY_API)
            return;
        self->stopRequestTimer();
        const bool provisional = std::exchange(self->provisional, false);
        self->failureReported = true;
        panel::NavigationError failure{"WebKitWebProcessTerminated", static_cast<long>(reason),
                                       reason == WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT
                                           ? "The page used too much memory and was closed."
                                           : "The page's web process crashed."};
        if (auto d = self->delegate.lock())
            provisional ? d->didFailProvisionalNavigation(failure) : d->didFailNavigation(failure);
    }

    // WebKitGTK does not say which frame a navigation is for. Counted as the
    // main frame's: the loads the panel starts, what the user starts (a click,
    // a key), and redirects while the main frame's load has not arrived yet
    // (no embedded frame exists then). Every other navigation, such as an
    // embedded frame loading or a script navigating by itself, counts as a
    // sub-frame's.
    bool isMainFrame(WebKitNavigationAction* action, const std::string& uri) {
        if (!ownLoadURI.empty() && uri == ownLoadURI) {
            ownLoadURI.clear();
            return true;
        }
        return webkit_navigation_action_is_user_gesture(action) ||
               (webkit_navigation_action_is_redirect(action) && provisional);
    }

    static gboolean onDecidePolicy(::WebKitWebView*, WebKitPolicyDecision* decision,
                                   WebKitPolicyDecisionType type, gpointer data) {
        auto* self = static_cast<Impl*>(data);
        if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
            type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION)
            return FALSE;
        auto d = self->delegate.lock();
        if (!d)
            return FALSE;
        auto* action = webkit_navigation_policy_decision_get_navigation_action(
            WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
        panel::NavigationAction request;
        request.url = uri ? uri : "";
        request.isNewWindow = type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION;
        request.isMainFrame = request.isNewWindow || self->isMainFrame(action, request.url);
        if (d->decidePolicyForNavigation(request)) {
            // WebKit goes on and asks for the window ("create"): decided already.
            if (request.isNewWindow)
                self->allowedNewWindowURI = request.url;
            return FALSE;
        }
        // A refused redirect ends the load that was under way: that load
        // failed (as it does on the other platform), and is reported so.
        bool endsLoad = webkit_navigation_action_is_redirect(action) && self->provisional;
        if (request.isMainFrame && !request.isNewWindow && !endsLoad)
            self->ignoredByDelegate = true;
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }

    // The URI of a new window the delegate allowed, until WebKit asks for it.
    std::string allowedNewWindowURI;

    // The page asks for a new window. A link with a target was put to the
    // delegate as a navigation already; window.open comes here without one,
    // and goes through the same policy now. No window is made either way: the
    // policy hands a page of another host to the desktop.
    static GtkWidget* onCreate(::WebKitWebView*, WebKitNavigationAction* action, gpointer data) {
        auto* self = static_cast<Impl*>(data);
        const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
        panel::NavigationAction request;
        request.url = uri ? uri : "";
        request.isNewWindow = true;
        const std::string decided = std::exchange(self->allowedNewWindowURI, std::string());
        if (!request.url.empty() && request.url == decided)
            return nullptr;
        if (auto d = self->delegate.lock())
            d->decidePolicyForNavigation(request);
        return nullptr;
    }

    // Lives until WebKit answers an evaluation. Once the view is destroyed the
    // engine fails every pending evaluation; those answers are dropped.
    struct Pending {
        ScriptCompletion done;
        std::weak_ptr<void> viewAlive;
    };
    std::shared_ptr<void> alive = std::make_shared<int>(0);

    static void onEvaluated(GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
        GError* error = nullptr;
        JSCValue* value = webkit_web_view_evaluate_javascript_finish(
            reinterpret_cast<::WebKitWebView*>(source), result, &error);
        std::optional<std::string> message;
        if (error) {
            message = error->message;
            g_error_free(error);
        }
        if (value)
            g_object_unref(value);
        if (pending->done && !pending->viewAlive.expired())
            pending->done(std::move(message));
    }
};

WebKitWebView::WebKitWebView() : WebKitWebView(panel::WebViewConfiguration{}) {
}

WebKitWebView::WebKitWebView(const panel::WebViewConfiguration& configuration)
    : impl_(std::make_unique<Impl>()) {
    impl_->manager = webkit_user_content_manager_new();
    impl_->view = reinterpret_cast<::WebKitWebView*>(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", impl_->manager, nullptr));
    g_object_ref_sink(impl_->view);
    g_signal_connect(impl_->view, "load-changed", G_CALLBACK(&Impl::onLoadChanged), impl_.get());
    g_signal_connect(impl_->view, "load-failed", G_CALLBACK(&Impl::onLoadFailed), impl_.get());
    g_signal_connect(impl_->view, "decide-policy", G_CALLBACK(&Impl::onDecidePolicy), impl_.get());
    g_signal_connect(impl_->view, "create", G_CALLBACK(&Impl::onCreate), impl_.get());
    g_signal_connect(impl_->view, "web-process-terminated",
                     G_CALLBACK(&Impl::onWebProcessTerminated), impl_.get());
    webkit_settings_set_enable_developer_extras(webkit_web_view_get_settings(impl_->view),
                                                configuration.developerExtrasEnabled);
    for (const auto& [name, handler] : configuration.scriptMessageHandlers)
        addScriptMessageHandler(name, handler);
}

WebKitWebView::~WebKitWebView() {
    impl_->alive.reset();
    impl_->stopRequestTimer();
    // Disconnect first: nothing may call back into the Impl once it is gone.
    for (auto& [name, handler] : impl_->handlers) {
        g_signal_handlers_disconnect_by_data(impl_->manager, handler.get());
        webkit_user_content_manager_unregister_script_message_handler(impl_->manager, name.c_str());
    }
    // By data: when the widget was destroyed with its window, GTK has dropped
    // its handlers already.
    g_signal_handlers_disconnect_by_data(impl_->view, impl_.get());
    gtk_widget_destroy(GTK_WIDGET(impl_->view));
    g_object_unref(impl_->view);
    g_object_unref(impl_->manager);
}

GtkWidget* WebKitWebView::widget() const {
    return GTK_WIDGET(impl_->view);
}

void WebKitWebView::evaluateJavaScript(const std::string& script, ScriptCompletion done) {
    webkit_web_view_evaluate_javascript(
        impl_->view, script.data(), static_cast<gssize>(script.size()), nullptr, nullptr, nullptr,
        &Impl::onEvaluated, new Impl::Pending{std::move(done), impl_->alive});
}

bool WebKitWebView::addScriptMessageHandler(const std::string& name, ScriptMessageHandler handler) {
    if (impl_->handlers.count(name))
        return false;
    auto record =
        std::make_unique<Impl::Handler>(Impl::Handler{impl_.get(), name, std::move(handler)});
    // Connected before registering, so no message can slip past.
    std::string signal = "script-message-received::" + name;
    record->signal = g_signal_connect(impl_->manager, signal.c_str(),
                                      G_CALLBACK(&Impl::onScriptMessage), record.get());
    if (!webkit_user_content_manager_register_script_message_handler(impl_->manager,
                                                                     name.c_str())) {
        g_signal_handler_disconnect(impl_->manager, record->signal);
        return false;
    }
    impl_->handlers.emplace(name, std::move(record));
    return true;
}

void WebKitWebView::removeScriptMessageHandler(const std::string& name) {
    auto it = impl_->handlers.find(name);
    if (it == impl_->handlers.end())
        return;
    webkit_user_content_manager_unregister_script_message_handler(impl_->manager, name.c_str());
    g_signal_handler_disconnect(impl_->manager, it->second->signal);
    impl_->handlers.erase(it);
}

void WebKitWebView::loadURL(const std::string& url) {
    impl_->stopRequestTimer();
    impl_->ownLoadURI = url;
    webkit_web_view_load_uri(impl_->view, url.c_str());
}

void WebKitWebView::loadRequest(const std::string& url, double timeoutSeconds) {
    loadURL(url);
    if (timeoutSeconds > 0)
        impl_->requestTimer = g_timeout_add(static_cast<guint>(timeoutSeconds * 1000),
                                            &Impl::onRequestTimeout, impl_.get());
}

void WebKitWebView::loadHTML(const std::string& html, const std::string& baseURL) {
    impl_->stopRequestTimer();
    impl_->ownLoadURI = baseURL.empty() ? "about:blank" : baseURL;
    webkit_web_view_load_html(impl_->view, html.c_str(),
                              baseURL.empty() ? nullptr : baseURL.c_str());
}

std::string WebKitWebView::currentURL() const {
    const char* uri = webkit_web_view_get_uri(impl_->view);
    return uri ? uri : "";
}

void WebKitWebView::setNavigationDelegate(
    std::weak_ptr<panel::WebViewNavigationDelegate> delegate) {
    impl_->delegate = std::move(delegate);
}

} // namespace tavrin::linux_platform
