#include "platform/linux/WebKitWebView.h"

#include <webkit2/webkit2.h>

#include <utility>

namespace tavrin::linux_platform {

namespace {

// The page's message body as a property-list value. JSON keeps integers and
// floating numbers apart where the text allows; a body without a JSON form
// (undefined, a function) becomes null.
Value bodyValue(JSCValue* value) {
    if (!value || jsc_value_is_undefined(value))
        return nullptr;
    char* json = jsc_value_to_json(value, 0);
    if (!json)
        return nullptr;
    auto parsed = parseJSON(json);
    g_free(json);
    return parsed ? std::move(*parsed) : Value(nullptr);
}

} // namespace

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
    gulong loadChanged = 0;
    gulong loadFailed = 0;
    gulong decidePolicy = 0;

    static void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result,
                                gpointer data) {
        auto* handler = static_cast<Handler*>(data);
        panel::ScriptMessage message{handler->name,
                                     bodyValue(webkit_javascript_result_get_js_value(result))};
        // A copy: the callback may unregister its own handler.
        auto callback = handler->callback;
        callback(message);
    }

    static void onLoadChanged(::WebKitWebView*, WebKitLoadEvent event, gpointer data) {
        auto* self = static_cast<Impl*>(data);
        if (event != WEBKIT_LOAD_FINISHED)
            return;
        if (auto d = self->delegate.lock())
            d->didFinishNavigation();
    }

    static gboolean onLoadFailed(::WebKitWebView*, WebKitLoadEvent, gchar*, GError* error,
                                 gpointer data) {
        auto* self = static_cast<Impl*>(data);
        if (auto d = self->delegate.lock())
            d->didFailNavigation(error ? error->message : "");
        return FALSE; // let WebKit show its own error page too
    }

    static gboolean onDecidePolicy(::WebKitWebView*, WebKitPolicyDecision* decision,
                                   WebKitPolicyDecisionType type, gpointer data) {
        auto* self = static_cast<Impl*>(data);
        if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION)
            return FALSE;
        auto d = self->delegate.lock();
        if (!d)
            return FALSE;
        auto* action = webkit_navigation_policy_decision_get_navigation_action(
            WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
        if (d->decidePolicyForNavigation(uri ? uri : ""))
            return FALSE;
        webkit_policy_decision_ignore(decision);
        return TRUE;
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

WebKitWebView::WebKitWebView() : impl_(std::make_unique<Impl>()) {
    impl_->manager = webkit_user_content_manager_new();
    impl_->view = reinterpret_cast<::WebKitWebView*>(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", impl_->manager, nullptr));
    g_object_ref_sink(impl_->view);
    impl_->loadChanged = g_signal_connect(impl_->view, "load-changed",
                                          G_CALLBACK(&Impl::onLoadChanged), impl_.get());
    impl_->loadFailed =
        g_signal_connect(impl_->view, "load-failed", G_CALLBACK(&Impl::onLoadFailed), impl_.get());
    impl_->decidePolicy = g_signal_connect(impl_->view, "decide-policy",
                                           G_CALLBACK(&Impl::onDecidePolicy), impl_.get());
}

WebKitWebView::~WebKitWebView() {
    impl_->alive.reset();
    // Disconnect first: nothing may call back into the Impl once it is gone.
    for (auto& [name, handler] : impl_->handlers) {
        g_signal_handler_disconnect(impl_->manager, handler->signal);
        webkit_user_content_manager_unregister_script_message_handler(impl_->manager, name.c_str());
    }
    g_signal_handler_disconnect(impl_->view, impl_->loadChanged);
    g_signal_handler_disconnect(impl_->view, impl_->loadFailed);
    g_signal_handler_disconnect(impl_->view, impl_->decidePolicy);
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
    webkit_web_view_load_uri(impl_->view, url.c_str());
}

void WebKitWebView::loadHTML(const std::string& html, const std::string& baseURL) {
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
