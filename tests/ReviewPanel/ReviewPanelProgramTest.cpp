// The panel for real under a private Xvfb: the review-panel program against a
// loopback page server, its log read from its standard error and its window
// from the X server's pixels; and the controller with the GTK views and
// WebKitGTK in this process, for what only the page itself can tell.
//
// The program reads the machine's marker files, so these tests hold the CTest
// resource lock "tmp_marker_files" and put back what was there.
#include "ReviewPanel/ViewController.h"
#include "platform/linux/GLibMainQueue.h"
#include "platform/linux/GtkPanelToolkit.h"
#include "tests/support/FakeWorkspace.h"
#include "tests/support/GtkTestDisplay.h"
#include "tests/support/PrivateBus.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <arpa/inet.h>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
// Xlib last: its macros (None, Bool, Status, ...) clash with C++ names.
#include <gdk/gdkx.h>

using namespace tavrin;
using namespace tavrin::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\nleak:libjavascriptcoregtk-4.1.so\nleak:libdbus-1.so\n";
}

namespace {

struct RGB {
    int r, g, b;
};
const RGB kAccent{224, 102, 82};     // 0.88, 0.4, 0.32
const RGB kBackground{23, 23, 20};   // 0.09, 0.09, 0.08
const RGB kVeilOverBlue{21, 21, 39}; // the veil, alpha 0.92, over #0000ff

bool near(RGB a, RGB b, int tolerance = 3) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}
std::string text(RGB c) {
    return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

// The screen's pixels (top-left origin) in a rectangle; nullptr off screen.
GdkPixbuf* grab(int x, int y, int w, int h) {
    return gdk_pixbuf_get_from_window(gdk_get_default_root_window(), x, y, w, h);
}
// Whether a pixel near colour lies in the rectangle.
bool anyPixelNear(RGB colour, int x, int y, int w = 1, int h = 1, int tolerance = 3) {
    GdkPixbuf* shot = grab(x, y, w, h);
    bool found = false;
    for (int row = 0; shot && row < h && !found; ++row)
        for (int col = 0; col < w && !found; ++col) {
            const guchar* p = gdk_pixbuf_read_pixels(shot) + row * gdk_pixbuf_get_rowstride(shot) +
                              col * gdk_pixbuf_get_n_channels(shot);
            found = near({p[0], p[1], p[2]}, colour, tolerance);
        }
    if (shot)
        g_object_unref(shot);
    return found;
}
RGB pixel(int x, int y) {
    GdkPixbuf* shot = grab(x, y, 1, 1);
    const guchar* p = gdk_pixbuf_read_pixels(shot);
    RGB c{p[0], p[1], p[2]};
    g_object_unref(shot);
    return c;
}

bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    for (auto deadline = std::chrono::steady_clock::now() + timeout; !predicate();
         std::this_thread::sleep_for(50ms))
        if (std::chrono::steady_clock::now() > deadline)
            return false;
    return true;
}

// A loopback HTTP server on an ephemeral port, a thread per connection (the
// engine may open one ahead of its request). "/fcp-panel/login" is a page that
// tells the server when it hears "fcp:connected" and embeds a frame from
// another host; with neverEnds, a blue page whose response never ends.
class PageServer {
  public:
    explicit PageServer(bool neverEnds = false) : neverEnds_(neverEnds) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 8);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] {
            for (int client;
                 (client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
                std::lock_guard lock(mutex_);
                clients_.push_back(client);
                answering_.emplace_back([this, client] { answer(client); });
            }
        });
    }
    ~PageServer() {
        ::shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        for (int client : clients_)
            ::shutdown(client, SHUT_RDWR);
        for (auto& t : answering_)
            t.join();
        for (int fd : clients_)
            ::close(fd);
        ::close(listener_);
    }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::atomic<int> connected{0}, embedded{0};

  private:
    void answer(int client) {
        char buffer[4096];
        ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        std::string request(buffer, n > 0 ? n : 0), body;
        if (request.rfind("GET /connected", 0) == 0)
            ++connected;
        else if (request.rfind("GET /embed", 0) == 0)
            ++embedded;
        else if (!neverEnds_)
            body = "<body style=\"background:#fff\"><p>development page</p><iframe "
                   "src=\"http://127.0.0.2:" +
                   std::to_string(port_) +
                   "/embed\"></iframe><script>window.addEventListener('fcp:connected', "
                   "function() { fetch('/connected', {cache: 'no-store'}); });</script>";
        std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n"
                               "Connection: close\r\n";
        if (neverEnds_ && request.rfind("GET /fcp-panel/login", 0) == 0) {
            // One chunk, never the last; enough text for the engine to paint.
            body = "<body style=\"background:#0000ff;color:#0000ff\"><p>";
            for (int i = 0; i < 400; ++i)
                body += "still loading ";
            char size[16];
            std::snprintf(size, sizeof size, "%zx", body.size());
            response +=
                "Transfer-Encoding: chunked\r\n\r\n" + std::string(size) + "\r\n" + body + "\r\n";
        } else {
            response += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        }
        ::send(client, response.data(), response.size(), MSG_NOSIGNAL);
        ::recv(client, buffer, sizeof buffer, 0); // until the engine or the test hangs up
    }

    bool neverEnds_;
    int listener_ = -1, port_ = 0;
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<int> clients_;
    std::vector<std::thread> answering_;
};

int closedPort() {
    PageServer probe; // listens only while it lives
    return std::stoi(probe.origin().substr(17));
}

// The machine's marker files as a test wants them, put back afterwards.
class MarkerFiles {
  public:
    MarkerFiles() {
        for (int i = 0; i < 2; ++i)
            if (std::ifstream in{paths_[i], std::ios::binary})
                saved_[i] = (std::stringstream() << in.rdbuf()).str();
    }
    ~MarkerFiles() {
        for (int i = 0; i < 2; ++i)
            saved_[i] ? void(std::ofstream(paths_[i], std::ios::binary) << *saved_[i])
                      : void(fs::remove(paths_[i]));
    }
    void set(bool diag, bool dev) {
        for (auto [path, present] : {std::pair{paths_[0], diag}, std::pair{paths_[1], dev}})
            present ? void(std::ofstream(path, std::ios::app)) : void(fs::remove(path));
    }

  private:
    const std::string paths_[2] = {"/tmp/tavrin-fcp-diag", "/tmp/tavrin-fcp-dev"};
    std::optional<std::string> saved_[2];
};

class ReviewPanelProgram : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // No accessibility bridge and no desktop settings store, here and in
        // the program; what the bus still starts for accessibility keeps its
        // files in a folder of the test's own.
        setenv("NO_AT_BRIDGE", "1", 1);
        setenv("GSETTINGS_BACKEND", "memory", 1);
        runtimeDir() =
            fs::temp_directory_path() / ("review-panel-run-" + std::to_string(::getpid()));
        fs::create_directories(runtimeDir());
        fs::permissions(runtimeDir(), fs::perms::owner_all);
        setenv("XDG_RUNTIME_DIR", runtimeDir().c_str(), 1);
        initGtkForTests();
    }
    static void TearDownTestSuite() { fs::remove_all(runtimeDir()); }
    static fs::path& runtimeDir() {
        static fs::path dir;
        return dir;
    }
    void SetUp() override {
        home = fs::temp_directory_path() / ("review-panel-test-" + std::to_string(::getpid()));
        fs::create_directories(home);
        setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
    }
    void TearDown() override {
        panel.reset();
        fs::remove_all(home);
    }
    // Starts the program in development mode, its standard error joined to its output.
    void start(const std::string& devOrigin) {
        markers.set(false, true);
        panel = std::make_unique<ChildProcess>(
            "/bin/sh", std::vector<std::string>{"-c", "exec \"$0\" 2>&1", REVIEW_PANEL_PATH},
            std::vector<std::string>{"TAVRIN_DEV_ORIGIN=" + devOrigin,
                                     // Under ASan: system libraries keep caches until
                                     // exit; this process's own tests check for leaks.
                                     "ASAN_OPTIONS=detect_leaks=0",
                                     "XDG_DATA_HOME=" + (home / "data").string(),
                                     "XDG_CACHE_HOME=" + (home / "cache").string(),
                                     "XDG_CONFIG_HOME=" + (home / "config").string()});
    }
    // Reads the program's log until a line holds text.
    bool waitForLine(const std::string& text, int timeoutMs = 20000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!logged(text) && std::chrono::steady_clock::now() < deadline)
            if (auto line = panel->readLine(200); !line.empty())
                log.push_back(line);
        return logged(text);
    }
    bool logged(const std::string& text) const {
        return std::any_of(log.begin(), log.end(),
                           [&](const std::string& l) { return l.find(text) != std::string::npos; });
    }
    static Display* x() { return GDK_DISPLAY_XDISPLAY(gdk_display_get_default()); }
    // The program's mapped top-level window titled "Tavrin".
    static Window panelWindow() {
        Window root, parent, *children = nullptr, found = 0;
        unsigned count = 0;
        XQueryTree(x(), DefaultRootWindow(x()), &root, &parent, &children, &count);
        for (unsigned i = 0; i < count && !found; ++i) {
            char* name = nullptr;
            XWindowAttributes a;
            if (XFetchName(x(), children[i], &name) && std::string(name) == "Tavrin" &&
                XGetWindowAttributes(x(), children[i], &a) && a.map_state == IsViewable)
                found = children[i];
            XFree(name);
        }
        XFree(children);
        return found;
    }
    // For a person to look at, when TAVRIN_SCREENSHOT_DIR is set.
    static void keepScreenshot(const std::string& name, int w, int h) {
        if (const char* dir = std::getenv("TAVRIN_SCREENSHOT_DIR");
            GdkPixbuf* shot = grab(0, 0, w, h)) {
            if (dir)
                gdk_pixbuf_save(shot, (std::string(dir) + "/" + name).c_str(), "png", nullptr,
                                nullptr);
            g_object_unref(shot);
        }
    }

    MarkerFiles markers;
    PrivateBus bus;
    fs::path home;
    std::unique_ptr<ChildProcess> panel;
    std::vector<std::string> log;
};

TEST_F(ReviewPanelProgram, LoadsTheDevelopmentPageWhichHearsItIsConnectedAndClosesWithZero) {
    PageServer server;
    start(server.origin());
    ASSERT_TRUE(waitFor([&] { return server.connected > 0; }, 30s));
    ASSERT_TRUE(waitForLine("hideLoadingOverlay"));
    keepScreenshot("connected.png", 400, 700);
    EXPECT_TRUE(logged("ai.tavrin.fcp.extension [ViewController] info: loadView starting, "
                       "panelURL: " +
                       server.origin() + "/fcp-panel/login"));
    // The embedded frame from another host is refused and opens nothing.
    EXPECT_TRUE(waitForLine("Blocked sub-frame navigation to external URL: http://127.0.0.2:"));
    EXPECT_FALSE(logged("Opening external URL"));
    EXPECT_EQ(server.embedded, 0);

    // Closed as a window manager closes it: ends with 0.
    XEvent event{};
    event.xclient = {ClientMessage,
                     0,
                     False,
                     x(),
                     panelWindow(),
                     XInternAtom(x(), "WM_PROTOCOLS", False),
                     32,
                     {}};
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(x(), "WM_DELETE_WINDOW", False));
    ASSERT_NE(event.xclient.window, 0u);
    XSendEvent(x(), event.xclient.window, False, NoEventMask, &event);
    XFlush(x());
    EXPECT_EQ(panel->wait(20000), 0);
}

TEST_F(ReviewPanelProgram, CoversTheLoadingPageWithTheVeil) {
    PageServer server(/*neverEnds=*/true);
    start(server.origin());
    ASSERT_TRUE(waitForLine("loadView complete"));
    // Within the 4-second loading phase the page shows faintly through.
    EXPECT_TRUE(waitFor([] { return near(pixel(200, 300), kVeilOverBlue); }, 3500ms))
        << text(pixel(200, 300));
    keepScreenshot("loading.png", 400, 700);
    EXPECT_TRUE(anyPixelNear(kVeilOverBlue, 0, 0) && anyPixelNear(kVeilOverBlue, 399, 699));
}

TEST_F(ReviewPanelProgram, ShowsTheConnectErrorWithoutAServerAndKeepsItsPlacesWhenEnlarged) {
    start("http://127.0.0.1:" + std::to_string(closedPort()));
    ASSERT_TRUE(
        waitForLine(std::string("showError: ") + panel::ViewController::connectFailedMessage));
    EXPECT_TRUE(logged("didFailProvisional: [g-io-error-quark:39]")); // connection refused

    // The accent bar at x 8 to 10, from `top` down to 8 points above the bottom.
    auto barFits = [](int top, int height) {
        return anyPixelNear(kAccent, 8, top) && anyPixelNear(kAccent, 10, height - 9) &&
               anyPixelNear(kBackground, 9, top - 1) && anyPixelNear(kBackground, 9, height - 8) &&
               anyPixelNear(kBackground, 7, 300) && anyPixelNear(kBackground, 11, 300);
    };
    ASSERT_TRUE(waitFor([&] { return barFits(8, 700); }, 5s)) << text(pixel(9, 300));
    keepScreenshot("error.png", 400, 700);
    // The caption "TAVRIN / OFFLINE" in the accent colour, 70 to 82 points up.
    EXPECT_TRUE(anyPixelNear(kAccent, 20, 700 - 82, 120, 12, 12));

    // Enlarged to 600 x 780 (the screen is 800 high): the bar's top margin
    // takes 8/692 of the 80 points (8.9, drawn from 9).
    XResizeWindow(x(), panelWindow(), 600, 780);
    XFlush(x());
    EXPECT_TRUE(waitFor([&] { return barFits(9, 780); }, 5s)) << text(pixel(9, 771));
    keepScreenshot("error-enlarged.png", 600, 780);
    EXPECT_TRUE(anyPixelNear(kBackground, 590, 500));
    EXPECT_TRUE(anyPixelNear(kAccent, 20, 780 - 82, 120, 12, 12)); // still 70 points up
    EXPECT_FALSE(anyPixelNear(kAccent, 20, 700 - 82, 120, 12, 40));
}

// The controller with the GTK views in this process: what the page shows.
TEST_F(ReviewPanelProgram, DiagnosticPageSaysTheBridgeIsReachableAndAFailureFocusesRetry) {
    struct Recorder final : panel::PanelToolkit {
        std::shared_ptr<panel::View> makeView(const panel::Rect& f) override {
            return views.emplace_back(real.makeView(f));
        }
        std::shared_ptr<panel::TextField> makeTextField(const panel::Rect& f) override {
            return labels.emplace_back(real.makeTextField(f));
        }
        std::shared_ptr<panel::ProgressIndicator> makeSpinner(const panel::Rect& f) override {
            return real.makeSpinner(f);
        }
        std::shared_ptr<panel::Button> makeButton(const panel::Rect& f) override {
            return button = real.makeButton(f);
        }
        panel::PanelWebView makeWebView(const panel::Rect& f,
                                        const panel::WebViewConfiguration& c) override {
            auto made = real.makeWebView(f, c);
            webView = made.webView;
            return made;
        }
        linux_platform::GtkPanelToolkit real;
        std::vector<std::shared_ptr<panel::View>> views;
        std::vector<std::shared_ptr<panel::TextField>> labels;
        std::shared_ptr<panel::WebView> webView;
        std::shared_ptr<panel::Button> button;
    } toolkit;
    linux_platform::GLibMainQueue queue;
    FakeWorkspace workspace;
    const std::string refused = "http://127.0.0.1:" + std::to_string(closedPort());
    panel::PanelSettings settings{"https://app.tavrin.test", refused, "", (home / "diag").string(),
                                  (home / "dev").string()};
    std::ofstream(settings.diagMarkerPath).put('x');
    auto controller = panel::ViewController::create({queue, toolkit, workspace}, settings);
    controller->loadView();
    GtkWidget* window = gtk_offscreen_window_new();
    gtk_widget_set_size_request(window, 400, 700);
    gtk_container_add(GTK_CONTAINER(window),
                      linux_platform::GtkPanelToolkit::widgetOf(*controller->view()));
    gtk_widget_show(window);
    ASSERT_TRUE(runMainLoopUntil([&] { return toolkit.views.at(1)->isHidden(); }, 20s));

    std::string info;
    toolkit.webView->addScriptMessageHandler(
        "probe", [&](const panel::ScriptMessage& m) { info = asString(m.body).value_or("?"); });
    toolkit.webView->evaluateJavaScript("window.webkit.messageHandlers.probe.postMessage("
                                        "document.getElementById('info').textContent);",
                                        nullptr);
    ASSERT_TRUE(runMainLoopUntil([&] { return !info.empty(); }, 10s));
    for (const char* line :
         {"fcpBridge: OK", "localStorage: OK", "URL: http://diagnostic.invalid/"})
        EXPECT_NE(info.find(line), std::string::npos) << info;
    if (const char* dir = std::getenv("TAVRIN_SCREENSHOT_DIR")) {
        runMainLoopUntil([] { return false; }, 300ms);
        if (GdkPixbuf* shot = gtk_offscreen_window_get_pixbuf(GTK_OFFSCREEN_WINDOW(window))) {
            gdk_pixbuf_save(shot, (std::string(dir) + "/diagnostic.png").c_str(), "png", nullptr,
                            nullptr);
            g_object_unref(shot);
        }
    }
    // A failed load shows the error overlay with the retry button focused.
    toolkit.webView->loadURL(refused + "/");
    ASSERT_TRUE(runMainLoopUntil([&] { return !toolkit.views.at(2)->isHidden(); }, 20s));
    EXPECT_TRUE(gtk_widget_is_focus(linux_platform::GtkPanelToolkit::widgetOf(*toolkit.button)));
    // A message too long for its line shows its first line only: right of the
    // retry button, text in the line (28 to 42 points up) and none below it.
    std::string words;
    while (words.size() < 400)
        words += "then retry ";
    toolkit.labels.at(3)->setStringValue(words);
    runMainLoopUntil([] { return false; }, 300ms);
    GdkPixbuf* shot = gtk_offscreen_window_get_pixbuf(GTK_OFFSCREEN_WINDOW(window));
    ASSERT_NE(shot, nullptr);
    int inLine = 0, below = 0;
    for (int y = 700 - 42; y < 700 - 4; ++y)
        for (int x = 170; x < 390; ++x) {
            const guchar* p = gdk_pixbuf_read_pixels(shot) + y * gdk_pixbuf_get_rowstride(shot) +
                              x * gdk_pixbuf_get_n_channels(shot);
            (y < 700 - 28 ? inLine : below) += !near({p[0], p[1], p[2]}, kBackground, 12);
        }
    g_object_unref(shot);
    EXPECT_GT(inLine, 0);
    EXPECT_EQ(below, 0);
    toolkit.labels.clear();
    controller.reset();
    toolkit.views.clear();
    toolkit.webView.reset();
    toolkit.button.reset();
    gtk_widget_destroy(window);
}

} // namespace
