// Request -> reply round trips through the real WebKitGTK bridge (the page
// posts "isFCPRunning" to fcpBridge, MessageHandler answers, the page's
// "fcp:resolve" listener receives it and sends the next request), beside the
// baseline: a bare WebKitGTK message-handler echo (the page posts, a C++
// handler evaluates a one-line reply script, the page sends the next).
// Each benchmark iteration is a batch of round trips chained inside the page.
// Starts a private Xvfb when DISPLAY is unset.
#include "ReviewPanel/MessageHandler.h"
#include "platform/linux/GLibMainQueue.h"
#include "platform/linux/WebKitWebView.h"
#include "tests/support/GtkTestDisplay.h"

#include <benchmark/benchmark.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <memory>

using namespace tavrin;

namespace {

constexpr int kBatch = 100;

const char* const kPage = R"HTML(<!DOCTYPE html><html><body><script>
var remaining = 0, mode = '';
function next() {
  if (remaining === 0) { window.webkit.messageHandlers.done.postMessage({}); return; }
  remaining--;
  if (mode === 'bare')
    window.webkit.messageHandlers.echo.postMessage({id: 'e' + remaining});
  else
    window.webkit.messageHandlers.fcpBridge.postMessage({command: 'isFCPRunning', resolveId: 'r' + remaining});
}
window.addEventListener('fcp:resolve', function(e) { if (JSON.parse(e.detail.value) === true) next(); });
function echoReply(id) { next(); }
function run(m, n) { mode = m; remaining = n; next(); }
</script></body></html>)HTML";

class BridgeRig {
  public:
    static BridgeRig& get() {
        static BridgeRig rig;
        return rig;
    }

    // Runs one batch in the page; returns false if it did not finish.
    bool runBatch(const char* mode) {
        done_ = false;
        view_->evaluateJavaScript(
            std::string("run('") + mode + "', " + std::to_string(kBatch) + ");", nullptr);
        return testing::runMainLoopUntil([&] { return done_; });
    }

  private:
    BridgeRig() {
        testing::initGtkForTests(/*ownServer=*/false);
        queue_ = std::make_unique<linux_platform::GLibMainQueue>();
        window_ = gtk_offscreen_window_new();
        view_ = std::make_shared<linux_platform::WebKitWebView>();
        gtk_container_add(GTK_CONTAINER(window_), view_->widget());
        gtk_widget_show_all(window_);
        handler_ = panel::MessageHandler::create(view_, *queue_);
        view_->addScriptMessageHandler(panel::MessageHandler::scriptMessageName,
                                       handler_->scriptMessageHandler());
        view_->addScriptMessageHandler("echo", [this](const panel::ScriptMessage& m) {
            auto id = stringFor(m.body, "id").value_or("");
            view_->evaluateJavaScript("echoReply('" + id + "');", nullptr);
        });
        view_->addScriptMessageHandler("done",
                                       [this](const panel::ScriptMessage&) { done_ = true; });
        struct Loaded : panel::WebViewNavigationDelegate {
            void didFinishNavigation() override { finished = true; }
            bool finished = false;
        };
        auto loaded = std::make_shared<Loaded>();
        view_->setNavigationDelegate(loaded);
        view_->loadHTML(kPage, "http://localhost/");
        if (!testing::runMainLoopUntil([&] { return loaded->finished; }))
            std::fprintf(stderr, "the benchmark page did not load\n");
    }

    std::unique_ptr<linux_platform::GLibMainQueue> queue_;
    GtkWidget* window_ = nullptr;
    std::shared_ptr<linux_platform::WebKitWebView> view_;
    std::shared_ptr<panel::MessageHandler> handler_;
    bool done_ = false;
};

void runRoundTrips(benchmark::State& state, const char* mode) {
    auto& rig = BridgeRig::get();
    rig.runBatch(mode); // warm-up
    for (auto _ : state) {
        if (!rig.runBatch(mode)) {
            state.SkipWithError("a batch did not finish");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_BareWebKitEcho(benchmark::State& state) {
    runRoundTrips(state, "bare");
}
void BM_BridgeRoundTrip(benchmark::State& state) {
    runRoundTrips(state, "bridge");
}

BENCHMARK(BM_BareWebKitEcho)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_BridgeRoundTrip)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
