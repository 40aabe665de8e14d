// The editor's window under a private Xvfb: the screen is read back and the
// playhead and the markers are looked for where they belong.

#include "tools/fcp-sim/SimWindow.h"
#include "tests/support/XvfbServer.h"
#include "tests/tools/fcp-sim/RunningEditor.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <gtk/gtk.h>

#include <fstream>
#include <functional>
#include <thread>

namespace tavrin::sim::testing {
namespace {

// 100 s at 25 fps: tagged markers at 20 s and 70 s, an untagged one at 45 s.
constexpr const char* kLibrary = R"(<fcpxml version="1.11">
  <resources><format id="r1" frameDuration="1/25s" width="1920" height="1080"/></resources>
  <library><event name="E"><project name="Strip"><sequence format="r1" duration="100s"><spine>
    <asset-clip name="One" offset="0s" start="0s" duration="50s">
      <marker start="20s" duration="1/25s" value="A" note="[tavrin:a:open] first"/>
      <marker start="45s" duration="1/25s" value="Plain" note="not a comment"/>
    </asset-clip>
    <asset-clip name="Two" offset="50s" start="50s" duration="50s">
      <marker start="70s" duration="1/25s" value="B" note="[tavrin:b:open] second"/>
    </asset-clip>
  </spine></sequence></project></event></library>
</fcpxml>)";

// Columns (x) of the root window where a colour appears, each run of
// neighbouring columns counted once by its leftmost column.
class Screen {
  public:
    explicit Screen(GdkPixbuf* shot) : shot_(shot) {}
    ~Screen() { g_object_unref(shot_); }

    std::vector<int> columnsOf(unsigned rgb) const {
        int width = gdk_pixbuf_get_width(shot_), height = gdk_pixbuf_get_height(shot_);
        int stride = gdk_pixbuf_get_rowstride(shot_), channels = gdk_pixbuf_get_n_channels(shot_);
        const guchar* pixels = gdk_pixbuf_read_pixels(shot_);
        std::vector<bool> hit(width, false);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const guchar* p = pixels + y * stride + x * channels;
                if (((unsigned(p[0]) << 16) | (unsigned(p[1]) << 8) | p[2]) == rgb)
                    hit[x] = true;
            }
        std::vector<int> starts;
        for (int x = 0; x < width; ++x)
            if (hit[x] && (x == 0 || !hit[x - 1]))
                starts.push_back(x);
        return starts;
    }

    // The first row (y) where a colour appears, -1 when it does not.
    int firstRowOf(unsigned rgb) const {
        int width = gdk_pixbuf_get_width(shot_), height = gdk_pixbuf_get_height(shot_);
        int stride = gdk_pixbuf_get_rowstride(shot_), channels = gdk_pixbuf_get_n_channels(shot_);
        const guchar* pixels = gdk_pixbuf_read_pixels(shot_);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const guchar* p = pixels + y * stride + x * channels;
                if (((unsigned(p[0]) << 16) | (unsigned(p[1]) << 8) | p[2]) == rgb)
                    return y;
            }
        return -1;
    }

  private:
    GdkPixbuf* shot_;
};

class SimWindowOnScreen : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("DISPLAY", xvfb.display().c_str(), 1);
        setenv("GDK_BACKEND", "x11", 1);
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
        std::ofstream(sim.library()) << kLibrary;
        sim.start({"--library", sim.library().string()}, {"DISPLAY=" + xvfb.display()});
    }

    // Screenshots until one satisfies shown (the window is mapped and drawn,
    // and what the test changed is redrawn), at most a few seconds.
    std::unique_ptr<Screen> screenWhere(const std::function<bool(const Screen&)>& shown) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            GdkWindow* root = gdk_get_default_root_window();
            auto screen = std::make_unique<Screen>(gdk_pixbuf_get_from_window(
                root, 0, 0, gdk_window_get_width(root), gdk_window_get_height(root)));
            if (screen->columnsOf(SimWindow::kPlayheadColour).size() == 1 && shown(*screen))
                return screen;
            std::this_thread::sleep_for(50ms);
        }
        return nullptr;
    }

    std::unique_ptr<Screen> screenWithPlayheadNear(int expectedX) {
        return screenWhere([&](const Screen& screen) {
            return std::abs(screen.columnsOf(SimWindow::kPlayheadColour)[0] - expectedX) <= 2;
        });
    }

    tavrin::testing::XvfbServer xvfb;
    RunningEditor sim;
};

TEST_F(SimWindowOnScreen, ShowsThePlayheadAndTaggedMarkersWhereTheyBelong) {
    RunningEditor::ctlJSON({"playhead", "50"});
    // Times map linearly onto the strip: the tagged markers at 20 s and 70 s
    // fix the scale; the playhead (50 s) and the plain marker (45 s) must fit
    // it. The first screens may still show the playhead where it started.
    auto screen = screenWhere([](const Screen& shown) {
        auto tagged = shown.columnsOf(SimWindow::kAccentColour);
        return tagged.size() == 2 &&
               std::abs(shown.columnsOf(SimWindow::kPlayheadColour)[0] + 1 -
                        (tagged[0] + 30 * (tagged[1] - tagged[0]) / 50.0)) <= 2;
    });
    ASSERT_TRUE(screen) << "the playhead was not drawn at 50 s";
    auto tagged = screen->columnsOf(SimWindow::kAccentColour);
    auto plain = screen->columnsOf(SimWindow::kMarkerColour);
    ASSERT_EQ(tagged.size(), 2u);
    ASSERT_EQ(plain.size(), 1u);
    int playheadX = screen->columnsOf(SimWindow::kPlayheadColour)[0] + 1; // a 2-pixel line
    double perSecond = (tagged[1] - tagged[0]) / 50.0;
    EXPECT_GT(perSecond, 5.0); // a strip of several hundred pixels
    EXPECT_NEAR(playheadX, tagged[0] + 30 * perSecond, 2);
    EXPECT_NEAR(plain[0], tagged[0] + 25 * perSecond, 2);

    // A move made by another client is redrawn.
    RunningEditor::ctlJSON({"playhead", "90"});
    auto moved = screenWithPlayheadNear(static_cast<int>(tagged[0] + 70 * perSecond) - 1);
    EXPECT_TRUE(moved) << "the playhead was not redrawn at 90 s";
}

// Pointer and keyboard input through the XTest extension, as a user's.
class FakeInput {
  public:
    explicit FakeInput(const std::string& display) : display_(XOpenDisplay(display.c_str())) {}
    ~FakeInput() {
        if (display_)
            XCloseDisplay(display_);
    }
    bool ok() const { return display_ != nullptr; }
    void moveTo(int x, int y) { XTestFakeMotionEvent(display_, -1, x, y, CurrentTime), sync(); }
    void button(bool down) { XTestFakeButtonEvent(display_, 1, down, CurrentTime), sync(); }
    void key(KeySym symbol) {
        KeyCode code = XKeysymToKeycode(display_, symbol);
        XTestFakeKeyEvent(display_, code, True, CurrentTime);
        XTestFakeKeyEvent(display_, code, False, CurrentTime);
        sync();
    }

  private:
    void sync() { XSync(display_, False); }
    Display* display_;
};

// Polls the editor until predicate(answer of `ctl args`) holds, at most a few seconds.
bool eventually(const std::vector<std::string>& args,
                const std::function<bool(const Value&)>& holds) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (holds(RunningEditor::ctlJSON(args)))
            return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

TEST_F(SimWindowOnScreen, ClickAndDragMoveThePlayheadAndTheSpaceBarPlays) {
    auto screen = screenWhere([](const Screen&) { return true; }); // drawn at all
    ASSERT_TRUE(screen);
    auto tagged = screen->columnsOf(SimWindow::kAccentColour);
    ASSERT_EQ(tagged.size(), 2u);
    double perSecond = (tagged[1] - tagged[0]) / 50.0;
    int y = screen->firstRowOf(SimWindow::kAccentColour) + 30; // inside the strip, on the clips
    auto xAt = [&](double seconds) {
        return static_cast<int>(tagged[0] + (seconds - 20) * perSecond);
    };
    auto near = [perSecond](double expected) {
        return [=](const Value& answer) {
            return std::abs(answer["seconds"].get<double>() - expected) <= 1.5 / perSecond + 0.04;
        };
    };

    FakeInput input(xvfb.display());
    ASSERT_TRUE(input.ok());
    input.moveTo(xAt(40), y);
    input.button(true);
    input.button(false);
    EXPECT_TRUE(eventually({"playhead"}, near(40))) << "a click did not move the playhead";

    input.button(true);
    input.moveTo(xAt(50), y);
    input.moveTo(xAt(60), y);
    input.button(false);
    EXPECT_TRUE(eventually({"playhead"}, near(60))) << "a drag did not move the playhead";

    input.moveTo(xAt(80), y); // hovering, no button: the playhead stays
    input.key(XK_space);
    EXPECT_TRUE(eventually({"sequence"}, [](const Value& s) { return s["playing"] == true; }));
    EXPECT_LT(RunningEditor::ctlJSON({"playhead"})["seconds"].get<double>(), 70);
    input.key(XK_space);
    EXPECT_TRUE(eventually({"sequence"}, [](const Value& s) { return s["playing"] == false; }));
}

} // namespace
} // namespace tavrin::sim::testing
