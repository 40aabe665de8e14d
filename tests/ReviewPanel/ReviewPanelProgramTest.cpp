// The panel for real under a private Xvfb: the review-panel program against a
// loopback page server (its log read from its standard error, its window read
// back from the X server's pixels), and the controller with the GTK views and
// WebKitGTK in this process for what only the page itself can tell.
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
#include <httplib.h>
// Xlib last: its macros (None, Bool, Status, ...) clash with C++ names.
#include <gdk/gdkx.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace tavrin;
using namespace tavrin::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\nleak:libjavascriptcoregtk-4.1.so\nleak:libdbus-1.so\n";
}

namespace {

const std::string kDiagMarker = "/tmp/tavrin-fcp-diag";
const std::string kDevMarker = "/tmp/tavrin-fcp-dev";

struct RGB {
    int r, g, b;
};
RGB rgbOf(const panel::Color& c) {
    return {int(std::lround(c.red * 255)), int(std::lround(c.green * 255)),
            int(std::lround(c.blue * 255))};
}
const RGB kAccent = rgbOf({0.88, 0.4, 0.32, 1});
const RGB kErrorBackground = rgbOf({0.09, 0.09, 0.08, 1});
// The loading veil (alpha 0.92) over a pure blue page.
const RGB kVeilOverBlue = {int(std::lround(0.09 * 0.92 * 255)), int(std::lround(0.09 * 0.92 * 255)),
                           int(std::lround((0.08 * 0.92 + 0.08) * 255))};

bool near(RGB a, RGB b, int tolerance = 3) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}
std::string text(RGB c) {
    return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

// The marker files as the test wants them, and back as they were afterwards.
class MarkerFiles {
  public:
    MarkerFiles() : saved_{save(kDiagMarker), save(kDevMarker)} {}
    ~MarkerFiles() {
        restore(kDiagMarker, saved_[0]);
        restore(kDevMarker, saved_[1]);
    }
    void set(bool diag, bool dev) {
        place(kDiagMarker, diag);
        place(kDevMarker, dev);
    }

  private:
    using Saved = std::optional<std::string>;
    static Saved save(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        if (!in)
            return std::nullopt;
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }
    static void place(const std::string& path, bool present) {
        if (present)
            std::ofstream(path, std::ios::app).flush();
        else
            fs::remove(path);
    }
    static void restore(const std::string& path, const Saved& saved) {
        if (saved)
            std::ofstream(path, std::ios::binary | std::ios::trunc) << *saved;
        else
            fs::remove(path);
    }
    Saved saved_[2];
};

// A loopback page server on an ephemeral port. The page tells the server when
// it hears "fcp:connected", and embeds a frame from another host.
class PageServer {
  public:
    PageServer() {
        server_.Get("/fcp-panel/login", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(page(), "text/html; charset=utf-8");
        });
        server_.Get("/connected", [this](const httplib::Request&, httplib::Response& res) {
            ++connected_;
            res.status = 204;
        });
        server_.Get("/embed", [this](const httplib::Request&, httplib::Response& res) {
            ++embedded_;
            res.set_content("<p>embedded</p>", "text/html");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~PageServer() {
        server_.stop();
        thread_.join();
    }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
    int connected() const { return connected_; }
    int embedded() const { return embedded_; }

  private:
    std::string page() const {
        return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"></head>"
               "<body style=\"background:#fff\"><p>development page</p>"
               "<iframe src=\"http://127.0.0.2:" +
               std::to_string(port_) +
               "/embed\"></iframe><script>"
               "window.addEventListener('fcp:connected', function() {"
               "  fetch('/connected', {cache: 'no-store'}); });"
               "</script></body></html>";
    }

    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::atomic<int> connected_{0}, embedded_{0};
};

// A loopback server whose page never finishes: it answers each request with
// the head of a blue page and keeps the connection open until destroyed.
class NeverEndingPage {
  public:
    NeverEndingPage() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 8);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            // Enough text for the engine to count the page as visually
            // non-empty and paint it before the load ends.
            std::string body = "<!DOCTYPE html><html><body style=\"background:#0000ff;"
                               "color:#0000ff\"><p>";
            for (int i = 0; i < 400; ++i)
                body += "still loading ";
            char size[16];
            std::snprintf(size, sizeof size, "%zx", body.size());
            std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n"
                               "Transfer-Encoding: chunked\r\n\r\n" +
                               std::string(size) + "\r\n" + body + "\r\n";
            for (;;) {
                int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0)
                    return; // the listener was shut down
                // A thread per connection: the engine may open one ahead of
                // its request.
                std::lock_guard lock(mutex_);
                clients_.push_back(client);
                answering_.emplace_back([client, head] {
                    char request[4096];
                    if (::recv(client, request, sizeof request, 0) > 0)
                        (void)::send(client, head.data(), head.size(), MSG_NOSIGNAL);
                });
            }
        });
    }
    ~NeverEndingPage() {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
        for (int client : clients_)
            ::shutdown(client, SHUT_RDWR);
        for (auto& t : answering_)
            t.join();
        for (int client : clients_)
            ::close(client);
    }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

  private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<int> clients_;
    std::vector<std::thread> answering_;
};

// A loopback port nothing listens on (bound for a moment by the kernel's choice).
int closedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

class ReviewPanelProgram : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // No accessibility bus: on a headless machine its start-up holds the
        // web view's first paint back, and its helpers would outlive the test.
        // No desktop settings store either.
        setenv("NO_AT_BRIDGE", "1", 1);
        setenv("GSETTINGS_BACKEND", "memory", 1);
        initGtkForTests();
    }

    void SetUp() override {
        home = fs::temp_directory_path() / ("review-panel-test-" + std::to_string(::getpid()));
        fs::create_directories(home);
        // This process and the program talk to the test's own bus only.
        setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
    }
    void TearDown() override {
        panel.reset();
        fs::remove_all(home);
    }

    // Starts the program with its standard error joined to its output.
    void start(const std::string& devOrigin) {
        panel = std::make_unique<ChildProcess>(
            "/bin/sh", std::vector<std::string>{"-c", "exec \"$0\" 2>&1", REVIEW_PANEL_PATH},
            std::vector<std::string>{
                "TAVRIN_DEV_ORIGIN=" + devOrigin,
                "TAVRIN_WEB_ORIGIN=http://127.0.0.1:" + std::to_string(closedPort()),
                "DBUS_SESSION_BUS_ADDRESS=" + bus.address(),
                "NO_AT_BRIDGE=1",
                "GSETTINGS_BACKEND=memory",
                "XDG_DATA_HOME=" + (home / "data").string(),
                "XDG_CACHE_HOME=" + (home / "cache").string(),
                "XDG_CONFIG_HOME=" + (home / "config").string(),
            });
    }
    // Reads the program's log until a line holds text.
    bool waitForLine(const std::string& text, int timeoutMs = 20000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (const auto& line : log)
            if (line.find(text) != std::string::npos)
                return true;
        while (std::chrono::steady_clock::now() < deadline) {
            auto line = panel->readLine(200);
            if (line.empty())
                continue;
            log.push_back(line);
            if (line.find(text) != std::string::npos)
                return true;
        }
        return false;
    }
    bool logged(const std::string& text) const {
        return std::any_of(log.begin(), log.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }

    static Display* xDisplay() { return GDK_DISPLAY_XDISPLAY(gdk_display_get_default()); }
    // The program's top-level window, once it is mapped.
    static Window panelWindow() {
        Display* d = xDisplay();
        Window root = DefaultRootWindow(d), parent = 0, *children = nullptr;
        unsigned count = 0;
        Window found = 0;
        XSync(d, False);
        if (XQueryTree(d, root, &root, &parent, &children, &count)) {
            for (unsigned i = 0; i < count && !found; ++i) {
                char* name = nullptr;
                XWindowAttributes attributes;
                if (XFetchName(d, children[i], &name) && name && std::string(name) == "Tavrin" &&
                    XGetWindowAttributes(d, children[i], &attributes) &&
                    attributes.map_state == IsViewable)
                    found = children[i];
                if (name)
                    XFree(name);
            }
            XFree(children);
        }
        return found;
    }
    // The screen's pixel at (x, y), top-left origin.
    static RGB pixel(int x, int y) {
        GdkPixbuf* shot = gdk_pixbuf_get_from_window(gdk_get_default_root_window(), x, y, 1, 1);
        if (!shot)
            return {-1, -1, -1};
        const guchar* p = gdk_pixbuf_read_pixels(shot);
        RGB c{p[0], p[1], p[2]};
        g_object_unref(shot);
        return c;
    }
    // Whether a pixel near colour lies in the rectangle (top-left origin).
    static bool anyPixelNear(RGB colour, int x, int y, int w, int h, int tolerance) {
        GdkPixbuf* shot = gdk_pixbuf_get_from_window(gdk_get_default_root_window(), x, y, w, h);
        if (!shot)
            return false;
        bool found = false;
        const guchar* pixels = gdk_pixbuf_read_pixels(shot);
        int stride = gdk_pixbuf_get_rowstride(shot), channels = gdk_pixbuf_get_n_channels(shot);
        for (int row = 0; row < h && !found; ++row)
            for (int col = 0; col < w && !found; ++col) {
                const guchar* p = pixels + row * stride + col * channels;
                found = near({p[0], p[1], p[2]}, colour, tolerance);
            }
        g_object_unref(shot);
        return found;
    }
    static void saveScreenshot(const std::string& name, int w, int h) {
        // For a person to look at: kept only when TAVRIN_SCREENSHOT_DIR is set.
        const char* dir = std::getenv("TAVRIN_SCREENSHOT_DIR");
        if (!dir)
            return;
        GdkPixbuf* shot = gdk_pixbuf_get_from_window(gdk_get_default_root_window(), 0, 0, w, h);
        gdk_pixbuf_save(shot, (std::string(dir) + "/" + name).c_str(), "png", nullptr, nullptr);
        g_object_unref(shot);
    }

    MarkerFiles markers;
    PrivateBus bus;
    fs::path home;
    std::unique_ptr<ChildProcess> panel;
    std::vector<std::string> log;
};

TEST_F(ReviewPanelProgram, LoadsTheDevelopmentPageWhichHearsItIsConnectedAndClosesWithZero) {
    markers.set(false, true);
    PageServer server;
    start(server.origin());
    ASSERT_TRUE(waitFor([&] { return server.connected() > 0; }, 30s));
    ASSERT_TRUE(waitForLine("hideLoadingOverlay"));
    saveScreenshot("connected.png", 400, 700);
    const std::string prefix = "ai.tavrin.fcp.extension [ViewController] ";
    EXPECT_TRUE(logged(prefix + "info: loadView starting, panelURL: " + server.origin() +
                       "/fcp-panel/login"));
    EXPECT_TRUE(logged(prefix + "info: didFinish: " + server.origin() + "/fcp-panel/login"));
    // The embedded frame from another host is refused and opens nothing.
    EXPECT_TRUE(waitForLine("Blocked sub-frame navigation to external URL: http://127.0.0.2:"));
    EXPECT_FALSE(logged("Opening external URL"));
    EXPECT_EQ(server.embedded(), 0);

    // Closing the window, as a window manager asks, ends the program with 0.
    Window window = panelWindow();
    ASSERT_NE(window, 0u);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(xDisplay(), "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(xDisplay(), "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(xDisplay(), window, False, NoEventMask, &event);
    XFlush(xDisplay());
    EXPECT_EQ(panel->wait(20000), 0);
}

TEST_F(ReviewPanelProgram, CoversTheLoadingPageWithTheVeil) {
    markers.set(false, true);
    NeverEndingPage server;
    start(server.origin());
    ASSERT_TRUE(waitForLine("loadView complete"));
    // Within the 4-second loading phase the page shows through the veil.
    EXPECT_TRUE(waitFor([] { return near(pixel(200, 300), kVeilOverBlue); }, 3500ms))
        << "veil pixel " << text(pixel(200, 300)) << " expected " << text(kVeilOverBlue);
    saveScreenshot("loading.png", 400, 700);
    EXPECT_TRUE(near(pixel(5, 5), kVeilOverBlue)) << text(pixel(5, 5));
    EXPECT_TRUE(near(pixel(395, 695), kVeilOverBlue)) << text(pixel(395, 695));
    EXPECT_FALSE(logged("hideLoadingOverlay"));
}

TEST_F(ReviewPanelProgram, ShowsTheConnectErrorWithoutAServerAndKeepsItsPlacesWhenEnlarged) {
    markers.set(false, true);
    start("http://127.0.0.1:" + std::to_string(closedPort()));
    ASSERT_TRUE(
        waitForLine(std::string("showError: ") + panel::ViewController::connectFailedMessage));
    EXPECT_TRUE(logged("didFailProvisional: [g-io-error-quark:39]")); // connection refused

    // The accent bar: x 8 to 10, 8 points from the top and the bottom.
    auto barAt = [&](int height) {
        return near(pixel(8, 8), kAccent) && near(pixel(10, 8), kAccent) &&
               near(pixel(9, height - 9), kAccent) && near(pixel(7, 300), kErrorBackground) &&
               near(pixel(11, 300), kErrorBackground) && near(pixel(9, 7), kErrorBackground) &&
               near(pixel(9, height - 8), kErrorBackground);
    };
    ASSERT_TRUE(waitFor([&] { return barAt(700); }, 5s))
        << "bar " << text(pixel(9, 300)) << " background " << text(pixel(200, 300));
    saveScreenshot("error.png", 400, 700);
    EXPECT_TRUE(near(pixel(200, 300), kErrorBackground));
    // The caption "TAVRIN / OFFLINE" in the accent colour, 70 to 82 points up.
    EXPECT_TRUE(anyPixelNear(kAccent, 20, 700 - 82, 120, 12, 12));

    Window window = panelWindow();
    ASSERT_NE(window, 0u);
    // Enlarged to 600 x 780 (the test screen is 800 high).
    XResizeWindow(xDisplay(), window, 600, 780);
    XFlush(xDisplay());
    // The bar grows with the panel; its top margin takes 8/692 of the 80
    // points (8.9, drawn from 9), its bottom stays 8 points up.
    EXPECT_TRUE(waitFor(
        [&] {
            return near(pixel(9, 780 - 9), kAccent) && near(pixel(9, 9), kAccent) &&
                   near(pixel(9, 8), kErrorBackground) && near(pixel(9, 780 - 8), kErrorBackground);
        },
        5s))
        << "bar top " << text(pixel(9, 9)) << " bottom " << text(pixel(9, 771));
    saveScreenshot("error-enlarged.png", 600, 780);
    EXPECT_TRUE(near(pixel(590, 500), kErrorBackground));
    // The caption stays 70 points above the bottom edge.
    EXPECT_TRUE(anyPixelNear(kAccent, 20, 780 - 82, 120, 12, 12));
    EXPECT_FALSE(anyPixelNear(kAccent, 20, 700 - 82, 120, 12, 40));
}

// The controller with the GTK views, in this process: what the page shows.
class ToolkitRecorder final : public panel::PanelToolkit {
  public:
    std::shared_ptr<panel::View> makeView(const panel::Rect& f) override {
        auto v = real.makeView(f);
        views.push_back(v);
        return v;
    }
    std::shared_ptr<panel::TextField> makeTextField(const panel::Rect& f) override {
        auto v = real.makeTextField(f);
        labels.push_back(v);
        return v;
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
    std::shared_ptr<panel::Button> button;
    std::shared_ptr<panel::WebView> webView;
};

class APanelInThisProcess : public ReviewPanelProgram {
  protected:
    void startController(bool diag, const std::string& devOrigin) {
        panel::PanelSettings settings;
        settings.webOrigin = "https://app.tavrin.test";
        settings.developmentOrigin = devOrigin;
        settings.diagMarkerPath = (home / "diag").string();
        settings.devMarkerPath = (home / "dev").string();
        std::ofstream(diag ? settings.diagMarkerPath : settings.devMarkerPath).put('x');
        controller = panel::ViewController::create({queue, toolkit, workspace, nullptr}, settings);
        controller->loadView();
        controller->viewDidLoad();
        window = gtk_offscreen_window_new();
        gtk_widget_set_size_request(window, 400, 700);
        gtk_container_add(GTK_CONTAINER(window),
                          linux_platform::GtkPanelToolkit::widgetOf(*controller->view()));
        gtk_widget_show(window);
    }
    void TearDown() override {
        controller.reset();
        toolkit.views.clear();
        toolkit.labels.clear();
        toolkit.button.reset();
        toolkit.webView.reset();
        if (window)
            gtk_widget_destroy(window);
        ReviewPanelProgram::TearDown();
    }
    // The value of a script expression in the page, as text, read through a
    // probe handler.
    std::optional<std::string> pageValue(const std::string& expression) {
        std::optional<std::string> got;
        toolkit.webView->addScriptMessageHandler(
            "probe", [&](const panel::ScriptMessage& m) { got = asString(m.body).value_or(""); });
        toolkit.webView->evaluateJavaScript(
            "var v; try { v = String(" + expression +
                "); } catch (e) { v = 'threw ' + e; } "
                "window.webkit.messageHandlers.probe.postMessage(v);",
            nullptr);
        runMainLoopUntil([&] { return got.has_value(); }, 10s);
        toolkit.webView->removeScriptMessageHandler("probe");
        return got;
    }

    linux_platform::GLibMainQueue queue;
    ToolkitRecorder toolkit;
    FakeWorkspace workspace;
    std::shared_ptr<panel::ViewController> controller;
    GtkWidget* window = nullptr;
};

TEST_F(APanelInThisProcess, DiagnosticModeShowsThatTheBridgeIsReachable) {
    startController(/*diag=*/true, "http://localhost:3000");
    auto loadingOverlay = toolkit.views.at(1);
    ASSERT_TRUE(runMainLoopUntil([&] { return loadingOverlay->isHidden(); }, 20s));
    auto info = pageValue("document.getElementById('info').textContent");
    if (const char* dir = std::getenv("TAVRIN_SCREENSHOT_DIR")) {
        runMainLoopUntil([] { return false; }, 300ms); // the page's last paint
        if (GdkPixbuf* shot = gtk_offscreen_window_get_pixbuf(GTK_OFFSCREEN_WINDOW(window))) {
            gdk_pixbuf_save(shot, (std::string(dir) + "/diagnostic.png").c_str(), "png", nullptr,
                            nullptr);
            g_object_unref(shot);
        }
    }
    ASSERT_TRUE(info.has_value());
    EXPECT_NE(info->find("fcpBridge: OK"), std::string::npos) << *info;
    EXPECT_NE(info->find("localStorage: OK"), std::string::npos) << *info;
    EXPECT_NE(info->find(std::string("URL: ") + panel::ViewController::diagnosticBaseURL),
              std::string::npos)
        << *info;
    EXPECT_TRUE(workspace.opened().empty());
}

TEST_F(APanelInThisProcess, GivesTheRetryButtonTheFocusAndRetriesWhenPressed) {
    startController(/*diag=*/false, "http://127.0.0.1:" + std::to_string(closedPort()));
    auto loadingOverlay = toolkit.views.at(1), errorOverlay = toolkit.views.at(2);
    ASSERT_TRUE(runMainLoopUntil([&] { return !errorOverlay->isHidden(); }, 20s));
    GtkWidget* button = linux_platform::GtkPanelToolkit::widgetOf(*toolkit.button);
    EXPECT_TRUE(gtk_widget_is_focus(button));
    EXPECT_EQ(toolkit.labels.at(3)->stringValue(), panel::ViewController::connectFailedMessage);

    gtk_button_clicked(GTK_BUTTON(button));
    EXPECT_TRUE(errorOverlay->isHidden());
    EXPECT_FALSE(loadingOverlay->isHidden());
    EXPECT_EQ(toolkit.labels.at(0)->stringValue(), panel::ViewController::reopeningText);
    EXPECT_TRUE(runMainLoopUntil([&] { return !errorOverlay->isHidden(); }, 20s));
}

} // namespace
