#pragma once
// The panel-view seam: the few views the panel draws over its web view (plain
// views with a background colour, read-only labels, a spinner, a button) and
// the container that holds them.
//
// Coordinates are those of the superview: origin at its bottom-left corner,
// y growing upwards, in points (one point is one pixel at scale 1). When a
// superview is resized, each subview keeps or changes its margins and size as
// its autoresizing mask says (autoresizedFrame below).
//
// Implementations: linux_platform::GtkPanelToolkit (GTK 3) and
// testing::FakePanelToolkit (tests/support).
// Threads: main thread only.

#include "ReviewPanel/WebView.h"

#include <functional>
#include <memory>
#include <string>

namespace tavrin::panel {

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
};

// Components in the range 0 to 1.
struct Color {
    double red = 0, green = 0, blue = 0, alpha = 1;
    bool operator==(const Color&) const = default;
};

// Autoresizing mask bits (the values AppKit uses). A margin is the distance
// to the superview's edge: min X is the left, min Y the bottom, max Y the top.
enum AutoresizingMask : unsigned {
    ViewNotSizable = 0,
    ViewMinXMargin = 1,
    ViewWidthSizable = 2,
    ViewMaxXMargin = 4,
    ViewMinYMargin = 8,
    ViewHeightSizable = 16,
    ViewMaxYMargin = 32,
};

enum class FontWeight { regular, semibold, bold };
enum class LineBreakMode { truncatingTail, wordWrapping };

// The frame a subview takes when its superview goes from oldSuperview to
// newSuperview (sizes only are used). Along each axis the change is shared by
// the flexible parts (margins and size) in proportion to their extent in
// frame, or equally when they all have none; with no flexible part the frame
// keeps its distance to the bottom-left corner.
Rect autoresizedFrame(const Rect& frame, unsigned mask, const Rect& oldSuperview,
                      const Rect& newSuperview);

class View {
  public:
    virtual ~View() = default;
    // In the superview's coordinates, as set when made (the views do not move
    // themselves); the frame at the current size is autoresizedFrame of it.
    virtual Rect frame() const = 0;
    Rect bounds() const { return {0, 0, frame().width, frame().height}; }
    virtual void setAutoresizingMask(unsigned mask) = 0;
    // The view's layer colour, drawn under its subviews.
    virtual void setBackgroundColor(const Color& color) = 0;
    virtual void setHidden(bool hidden) = 0;
    virtual bool isHidden() const = 0;
    // Adds view on top of the existing subviews.
    virtual void addSubview(const std::shared_ptr<View>& view) = 0;
    // True when the view is in a window.
    virtual bool isInWindow() const = 0;
    // Gives the view the window's keyboard focus.
    virtual void makeFirstResponder() = 0;
};

// A read-only label: not bordered, not editable, not selectable, no background.
class TextField : public virtual View {
  public:
    virtual void setStringValue(const std::string& text) = 0;
    virtual std::string stringValue() const = 0;
    // size in points.
    virtual void setFont(double size, FontWeight weight) = 0;
    virtual void setTextColor(const Color& color) = 0;
    virtual void setLineBreakMode(LineBreakMode mode) = 0;
    // 0: no limit.
    virtual void setMaximumNumberOfLines(int lines) = 0;
};

// An indeterminate spinning progress indicator.
class ProgressIndicator : public virtual View {
  public:
    virtual void startAnimation() = 0;
};

// A push button with a rounded bezel.
class Button : public virtual View {
  public:
    virtual void setTitle(const std::string& title) = 0;
    virtual void setFont(double size, FontWeight weight) = 0;
    // The bezel's fill.
    virtual void setFillColor(const Color& color) = 0;
    // Called on the main thread when the user presses the button.
    virtual void setAction(std::function<void()> action) = 0;
};

// A web view together with the view that shows it.
struct PanelWebView {
    std::shared_ptr<WebView> webView;
    std::shared_ptr<View> view;
};

class PanelToolkit {
  public:
    virtual ~PanelToolkit() = default;
    // Each made view is shown (not hidden), has no subviews and the mask ViewNotSizable.
    virtual std::shared_ptr<View> makeView(const Rect& frame) = 0;
    virtual std::shared_ptr<TextField> makeTextField(const Rect& frame) = 0;
    virtual std::shared_ptr<ProgressIndicator> makeSpinner(const Rect& frame) = 0;
    virtual std::shared_ptr<Button> makeButton(const Rect& frame) = 0;
    virtual PanelWebView makeWebView(const Rect& frame,
                                     const WebViewConfiguration& configuration) = 0;
};

} // namespace tavrin::panel
