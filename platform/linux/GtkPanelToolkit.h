#pragma once
// The panel-view seam on GTK 3. Each view is a GTK widget placed in its
// superview's GtkOverlay at the frame its autoresizing mask gives for the
// superview's current size, converted from the seam's bottom-left origin to
// GTK's top-left one. Plain views draw their background colour (with its
// alpha, over what lies below) under their subviews; labels are GtkLabels
// with absolute font sizes (one point is one pixel), drawn within their
// frames; the spinner is a GtkSpinner; the button a GtkButton styled by its
// own CSS provider.
//
// Threads: GTK main thread only, after gtk_init().

#include "ReviewPanel/PanelView.h"

struct _GtkWidget;

namespace tavrin::linux_platform {

class GtkPanelToolkit final : public panel::PanelToolkit {
  public:
    std::shared_ptr<panel::View> makeView(const panel::Rect& frame) override;
    std::shared_ptr<panel::TextField> makeTextField(const panel::Rect& frame) override;
    std::shared_ptr<panel::ProgressIndicator> makeSpinner(const panel::Rect& frame) override;
    std::shared_ptr<panel::Button> makeButton(const panel::Rect& frame) override;
    // A linux_platform::WebKitWebView made with configuration.
    panel::PanelWebView makeWebView(const panel::Rect& frame,
                                    const panel::WebViewConfiguration& configuration) override;

    // The widget that shows view, a view made by a GtkPanelToolkit (nullptr
    // for any other). The view holds a reference to it; to show a view that
    // has no superview, add this widget to a window.
    static _GtkWidget* widgetOf(const panel::View& view);
};

} // namespace tavrin::linux_platform
