#include "platform/linux/GtkPanelToolkit.h"

#include "platform/linux/WebKitWebView.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace tavrin::linux_platform {

namespace {

using panel::Color;
using panel::FontWeight;
using panel::Rect;

constexpr const char* kViewKey = "tavrin-panel-view";

int pangoWeight(FontWeight weight) {
    switch (weight) {
    case FontWeight::regular:
        return PANGO_WEIGHT_NORMAL;
    case FontWeight::semibold:
        return PANGO_WEIGHT_SEMIBOLD;
    case FontWeight::bold:
        return PANGO_WEIGHT_BOLD;
    }
    return PANGO_WEIGHT_NORMAL;
}

guint16 pangoComponent(double c) {
    return static_cast<guint16>(std::lround(std::clamp(c, 0.0, 1.0) * 65535));
}

// A CSS colour, written without the locale's decimal separator.
std::string cssColor(const Color& c) {
    auto byte = [](double v) { return std::lround(std::clamp(v, 0.0, 1.0) * 255); };
    char text[64];
    std::snprintf(text, sizeof text, "rgba(%ld,%ld,%ld,0.%03ld)", byte(c.red), byte(c.green),
                  byte(c.blue), std::lround(std::clamp(c.alpha, 0.0, 1.0) * 1000));
    if (c.alpha >= 1.0)
        std::snprintf(text, sizeof text, "rgb(%ld,%ld,%ld)", byte(c.red), byte(c.green),
                      byte(c.blue));
    return text;
}

// What every view has: its widget (referenced), frame, mask and hidden flag.
class GtkViewBase : public virtual panel::View {
  public:
    GtkViewBase(GtkWidget* widget, const Rect& frame) : widget_(widget), frame_(frame) {
        g_object_ref_sink(widget_);
        g_object_set_data(G_OBJECT(widget_), kViewKey, this);
        // The views decide their own visibility, not gtk_widget_show_all().
        gtk_widget_set_no_show_all(widget_, TRUE);
        gtk_widget_show(widget_);
    }
    ~GtkViewBase() override {
        g_object_set_data(G_OBJECT(widget_), kViewKey, nullptr);
        g_object_unref(widget_);
    }
    GtkViewBase(const GtkViewBase&) = delete;
    GtkViewBase& operator=(const GtkViewBase&) = delete;

    GtkWidget* widget() const { return widget_; }
    // The superview's size when this view was added: the size its frame is for.
    Rect referenceSuperview;

    Rect frame() const override { return frame_; }
    unsigned autoresizingMask() const { return mask_; }
    void setAutoresizingMask(unsigned mask) override {
        mask_ = mask;
        gtk_widget_queue_resize(widget_);
    }
    void setBackgroundColor(const Color&) override {}
    void setHidden(bool hidden) override { gtk_widget_set_visible(widget_, !hidden); }
    bool isHidden() const override { return !gtk_widget_get_visible(widget_); }
    void addSubview(const std::shared_ptr<panel::View>&) override {
        g_warning("tavrin: this view cannot hold subviews");
    }
    bool isInWindow() const override {
        GtkWidget* top = gtk_widget_get_toplevel(widget_);
        return GTK_IS_WINDOW(top) && gtk_widget_is_toplevel(top);
    }
    void makeFirstResponder() override { gtk_widget_grab_focus(widget_); }

  private:
    GtkWidget* widget_;
    Rect frame_;
    unsigned mask_ = panel::ViewNotSizable;
};

// A plain view: a GtkOverlay whose main child paints the background and whose
// overlay children are the subviews, laid out by their frames and masks.
class GtkPlainView final : public GtkViewBase {
  public:
    explicit GtkPlainView(const Rect& frame) : GtkViewBase(gtk_overlay_new(), frame) {
        area_ = GTK_WIDGET(g_object_ref_sink(gtk_drawing_area_new()));
        g_signal_connect(area_, "draw", G_CALLBACK(&GtkPlainView::draw), this);
        gtk_container_add(GTK_CONTAINER(widget()), area_);
        gtk_widget_show(area_);
        g_signal_connect(widget(), "get-child-position", G_CALLBACK(&GtkPlainView::place), this);
        g_signal_connect(widget(), "map", G_CALLBACK(&GtkPlainView::mapped), this);
        g_signal_connect(widget(), "unmap", G_CALLBACK(&GtkPlainView::unmapped), this);
    }
    ~GtkPlainView() override {
        // The widgets may be destroyed already (their window closed); the
        // references kept them alive.
        stopRefresh();
        g_signal_handlers_disconnect_by_data(area_, this);
        g_signal_handlers_disconnect_by_data(widget(), this);
        g_object_unref(area_);
    }

    void setBackgroundColor(const Color& color) override {
        background_ = color;
        hasBackground_ = true;
        gtk_widget_queue_draw(area_);
        if (gtk_widget_get_mapped(widget()))
            mapped(widget(), this);
    }
    void addSubview(const std::shared_ptr<panel::View>& view) override {
        auto* child = dynamic_cast<GtkViewBase*>(view.get());
        if (!child)
            return;
        child->referenceSuperview = bounds();
        subviews_.push_back(view);
        gtk_overlay_add_overlay(GTK_OVERLAY(widget()), child->widget());
    }

  private:
    static gboolean draw(GtkWidget*, cairo_t* cr, gpointer data) {
        auto* self = static_cast<GtkPlainView*>(data);
        if (self->hasBackground_) {
            const Color& c = self->background_;
            cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
            cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha);
            cairo_paint(cr);
        }
        return FALSE;
    }

    // GDK clips a window's repaint to the part no sibling window covers, so
    // what changes under a translucent view (the page under the loading veil)
    // would not show through until the view itself is redrawn. While such a
    // view is on screen it is redrawn ten times a second, with what lies below.
    static void mapped(GtkWidget*, gpointer data) {
        auto* self = static_cast<GtkPlainView*>(data);
        if (self->hasBackground_ && self->background_.alpha < 1.0 && !self->refresh_)
            self->refresh_ = g_timeout_add(100, &GtkPlainView::redraw, self);
    }
    static void unmapped(GtkWidget*, gpointer data) {
        static_cast<GtkPlainView*>(data)->stopRefresh();
    }
    static gboolean redraw(gpointer data) {
        gtk_widget_queue_draw(static_cast<GtkPlainView*>(data)->widget());
        return G_SOURCE_CONTINUE;
    }
    void stopRefresh() {
        if (refresh_)
            g_source_remove(refresh_);
        refresh_ = 0;
    }

    // The subview's place at the overlay's current size, from the bottom-left.
    static gboolean place(GtkOverlay* overlay, GtkWidget* widget, GdkRectangle* allocation,
                          gpointer) {
        auto* child = static_cast<GtkViewBase*>(g_object_get_data(G_OBJECT(widget), kViewKey));
        if (!child)
            return FALSE;
        Rect now{0, 0, static_cast<double>(gtk_widget_get_allocated_width(GTK_WIDGET(overlay))),
                 static_cast<double>(gtk_widget_get_allocated_height(GTK_WIDGET(overlay)))};
        Rect r = panel::autoresizedFrame(child->frame(), child->autoresizingMask(),
                                         child->referenceSuperview, now);
        // Edges rounded one by one, so a view keeps its exact distance to the
        // bottom-left corner whatever its size.
        long left = std::lround(r.x), right = std::lround(r.x + r.width);
        long top = std::lround(now.height - r.y - r.height), bottom = std::lround(now.height - r.y);
        allocation->x = static_cast<int>(left);
        allocation->y = static_cast<int>(top);
        allocation->width = static_cast<int>(right - left);
        allocation->height = static_cast<int>(bottom - top);
        // GTK asks each widget for its size before placing it.
        int minimum = 0, natural = 0;
        gtk_widget_get_preferred_width(widget, &minimum, &natural);
        gtk_widget_get_preferred_height_for_width(widget, allocation->width, &minimum, &natural);
        return TRUE;
    }

    GtkWidget* area_ = nullptr;
    guint refresh_ = 0;
    Color background_;
    bool hasBackground_ = false;
    std::vector<std::shared_ptr<panel::View>> subviews_;
};

class GtkTextField final : public GtkViewBase, public panel::TextField {
  public:
    explicit GtkTextField(const Rect& frame) : GtkViewBase(gtk_label_new(""), frame) {
        label_ = GTK_LABEL(widget());
        gtk_label_set_xalign(label_, 0);
        gtk_label_set_yalign(label_, 0);
        gtk_label_set_selectable(label_, FALSE);
        setLineBreakMode(panel::LineBreakMode::truncatingTail);
        // A GtkLabel draws all of its text, also what overflows its frame; a
        // label here shows only what its frame holds (a wrapped message its
        // first line), so the rest cannot cover the views below it.
        g_signal_connect(widget(), "size-allocate", G_CALLBACK(&GtkTextField::clipToFrame),
                         nullptr);
    }
    void setStringValue(const std::string& text) override {
        gtk_label_set_text(label_, text.c_str());
    }
    std::string stringValue() const override { return gtk_label_get_text(label_); }
    void setFont(double size, FontWeight weight) override {
        size_ = size;
        weight_ = weight;
        applyAttributes();
    }
    void setTextColor(const Color& color) override {
        color_ = color;
        applyAttributes();
    }
    void setLineBreakMode(panel::LineBreakMode mode) override {
        bool wrap = mode == panel::LineBreakMode::wordWrapping;
        gtk_label_set_line_wrap(label_, wrap);
        gtk_label_set_line_wrap_mode(label_, PANGO_WRAP_WORD);
        gtk_label_set_ellipsize(label_, PANGO_ELLIPSIZE_END);
        gtk_label_set_single_line_mode(label_, !wrap);
    }
    void setMaximumNumberOfLines(int lines) override {
        gtk_label_set_lines(label_, lines > 0 ? lines : -1);
    }

  private:
    // Runs after the label's own allocation, which widens its clip to the ink
    // of all its lines.
    static void clipToFrame(GtkWidget* widget, GdkRectangle* allocation, gpointer) {
        gtk_widget_set_clip(widget, allocation);
    }
    void applyAttributes() {
        PangoAttrList* list = pango_attr_list_new();
        pango_attr_list_insert(
            list, pango_attr_size_new_absolute(static_cast<int>(std::lround(size_ * PANGO_SCALE))));
        pango_attr_list_insert(
            list, pango_attr_weight_new(static_cast<PangoWeight>(pangoWeight(weight_))));
        pango_attr_list_insert(list, pango_attr_foreground_new(pangoComponent(color_.red),
                                                               pangoComponent(color_.green),
                                                               pangoComponent(color_.blue)));
        pango_attr_list_insert(list, pango_attr_foreground_alpha_new(pangoComponent(color_.alpha)));
        gtk_label_set_attributes(label_, list);
        pango_attr_list_unref(list);
    }

    GtkLabel* label_;
    double size_ = 13;
    FontWeight weight_ = FontWeight::regular;
    Color color_;
};

class GtkSpinnerView final : public GtkViewBase, public panel::ProgressIndicator {
  public:
    // Drawn in the secondary text colour: the theme's own would be dark on
    // the dark veil, where the other platform's spinner follows the dark look.
    explicit GtkSpinnerView(const Rect& frame) : GtkViewBase(gtk_spinner_new(), frame) {
        GtkCssProvider* css = gtk_css_provider_new();
        std::string rule = "spinner{color:" + cssColor({0.6, 0.59, 0.55, 1.0}) + ";}";
        gtk_css_provider_load_from_data(css, rule.c_str(), -1, nullptr);
        gtk_style_context_add_provider(gtk_widget_get_style_context(widget()),
                                       GTK_STYLE_PROVIDER(css),
                                       GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
        g_object_unref(css);
    }
    void startAnimation() override { gtk_spinner_start(GTK_SPINNER(widget())); }
};

class GtkButtonView final : public GtkViewBase, public panel::Button {
  public:
    explicit GtkButtonView(const Rect& frame)
        : GtkViewBase(gtk_button_new_with_label(""), frame), css_(gtk_css_provider_new()) {
        gtk_style_context_add_provider(gtk_widget_get_style_context(widget()),
                                       GTK_STYLE_PROVIDER(css_),
                                       GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
        g_signal_connect(widget(), "clicked", G_CALLBACK(&GtkButtonView::clicked), this);
        gtk_widget_set_can_focus(widget(), TRUE);
        applyStyle();
    }
    ~GtkButtonView() override {
        g_signal_handlers_disconnect_by_data(widget(), this);
        g_object_unref(css_);
    }
    void setTitle(const std::string& title) override {
        gtk_button_set_label(GTK_BUTTON(widget()), title.c_str());
        applyStyle(); // the label child is new
    }
    void setFont(double size, FontWeight weight) override {
        size_ = size;
        weight_ = weight;
        applyStyle();
    }
    void setFillColor(const Color& color) override {
        fill_ = color;
        applyStyle();
    }
    void setAction(std::function<void()> action) override { action_ = std::move(action); }

  private:
    static void clicked(GtkButton*, gpointer data) {
        auto* self = static_cast<GtkButtonView*>(data);
        if (auto action = self->action_) // a copy: the action may replace itself
            action();
    }
    // A rounded bezel with the fill colour; the title in light text, since the
    // fill is dark whatever the desktop theme.
    void applyStyle() {
        char font[96];
        std::snprintf(font, sizeof font, "font-size:%ldpx;font-weight:%d;", std::lround(size_),
                      pangoWeight(weight_));
        std::string css = "button{background-image:none;box-shadow:none;text-shadow:none;"
                          "min-height:0;padding:0 8px;border-radius:6px;"
                          "border:1px solid rgba(255,255,255,0.12);background-color:" +
                          cssColor(fill_) + ";color:" + cssColor({0.94, 0.93, 0.89, 1.0}) + ";" +
                          font + "}";
        gtk_css_provider_load_from_data(css_, css.c_str(), -1, nullptr);
        // The title's label has its own style context; it inherits font and
        // colour from the button.
    }

    GtkCssProvider* css_;
    std::function<void()> action_;
    double size_ = 13;
    FontWeight weight_ = FontWeight::regular;
    Color fill_{0.12, 0.12, 0.11, 1.0};
};

// The web view's widget as a view.
class GtkWebViewView final : public GtkViewBase {
  public:
    GtkWebViewView(std::shared_ptr<WebKitWebView> webView, const Rect& frame)
        : GtkViewBase(webView->widget(), frame), webView_(std::move(webView)) {}

  private:
    std::shared_ptr<WebKitWebView> webView_;
};

} // namespace

std::shared_ptr<panel::View> GtkPanelToolkit::makeView(const Rect& frame) {
    return std::make_shared<GtkPlainView>(frame);
}

std::shared_ptr<panel::TextField> GtkPanelToolkit::makeTextField(const Rect& frame) {
    return std::make_shared<GtkTextField>(frame);
}

std::shared_ptr<panel::ProgressIndicator> GtkPanelToolkit::makeSpinner(const Rect& frame) {
    return std::make_shared<GtkSpinnerView>(frame);
}

std::shared_ptr<panel::Button> GtkPanelToolkit::makeButton(const Rect& frame) {
    return std::make_shared<GtkButtonView>(frame);
}

panel::PanelWebView GtkPanelToolkit::makeWebView(const Rect& frame,
                                                 const panel::WebViewConfiguration& configuration) {
    auto webView = std::make_shared<WebKitWebView>(configuration);
    auto view = std::make_shared<GtkWebViewView>(webView, frame);
    return {webView, view};
}

GtkWidget* GtkPanelToolkit::widgetOf(const panel::View& view) {
    auto* base = dynamic_cast<const GtkViewBase*>(&view);
    return base ? base->widget() : nullptr;
}

} // namespace tavrin::linux_platform
