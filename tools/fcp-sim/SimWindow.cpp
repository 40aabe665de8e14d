#include "tools/fcp-sim/SimWindow.h"

#include <cmath>
#include <cstdio>
#include <string>

namespace tavrin::sim {

namespace {

constexpr double kPad = 12;         // strip margin left and right
constexpr double kRulerHeight = 22; // time ruler at the top
constexpr double kFlagTop = 26;     // marker flags below the ruler
constexpr double kFlagHeight = 10;
constexpr double kClipTop = 44;         // connected clips below the flags
constexpr double kConnectedHeight = 14; // then the primary storyline

void setColour(cairo_t* cr, unsigned rgb) {
    cairo_set_source_rgb(cr, ((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0,
                         (rgb & 0xFF) / 255.0);
}

std::string clock(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0)
        seconds = 0;
    int whole = static_cast<int>(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%d:%02d:%06.3f", whole / 3600, (whole / 60) % 60,
                  seconds - (whole / 60) * 60);
    return text;
}

} // namespace

SimWindow::SimWindow(SimEditor& editor, std::function<void()> closed)
    : editor_(editor), closed_(std::move(closed)) {
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window_), 960, 240);
    gtk_window_move(GTK_WINDOW(window_), 0, 0);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    GtkWidget* bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    playButton_ = gtk_button_new_with_label("Play");
    sequences_ = gtk_combo_box_text_new();
    timeLabel_ = gtk_label_new("");
    // The space bar belongs to playback, not to whichever control has focus.
    gtk_widget_set_can_focus(playButton_, FALSE);
    gtk_widget_set_can_focus(sequences_, FALSE);
    gtk_box_pack_start(GTK_BOX(bar), playButton_, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(bar), sequences_, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(bar), timeLabel_, FALSE, FALSE, 6);
    gtk_box_pack_start(GTK_BOX(box), bar, FALSE, FALSE, 0);

    strip_ = gtk_drawing_area_new();
    gtk_widget_set_size_request(strip_, 400, 150);
    gtk_widget_add_events(strip_, GDK_BUTTON_PRESS_MASK | GDK_BUTTON1_MOTION_MASK);
    gtk_widget_set_has_tooltip(strip_, TRUE);
    gtk_box_pack_start(GTK_BOX(box), strip_, TRUE, TRUE, 0);
    gtk_container_add(GTK_CONTAINER(window_), box);

    g_signal_connect(strip_, "draw", G_CALLBACK(onDraw), this);
    g_signal_connect(strip_, "button-press-event", G_CALLBACK(onPress), this);
    g_signal_connect(strip_, "motion-notify-event", G_CALLBACK(onMotion), this);
    g_signal_connect(strip_, "query-tooltip", G_CALLBACK(onTooltip), this);
    g_signal_connect(window_, "key-press-event", G_CALLBACK(onKey), this);
    g_signal_connect(window_, "delete-event", G_CALLBACK(onDelete), this);
    g_signal_connect(playButton_, "clicked", G_CALLBACK(onToggle), this);
    g_signal_connect(sequences_, "changed", G_CALLBACK(onChooseSequence), this);

    editor_.addObserver([this, alive = std::weak_ptr<bool>(alive_)](Change change) {
        if (alive.expired())
            return;
        if (change == Change::Sequence)
            fillSequenceList();
        refresh();
    });
    fillSequenceList();
    refresh();
    gtk_widget_show_all(window_);
}

SimWindow::~SimWindow() {
    alive_.reset();
    gtk_widget_destroy(window_);
}

void SimWindow::fillSequenceList() {
    filling_ = true;
    gtk_combo_box_text_remove_all(GTK_COMBO_BOX_TEXT(sequences_));
    for (const auto& name : editor_.sequenceNames())
        gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(sequences_), name.c_str());
    gtk_combo_box_set_active(GTK_COMBO_BOX(sequences_), static_cast<gint>(editor_.activeIndex()));
    filling_ = false;
}

void SimWindow::refresh() {
    auto sequence = editor_.activeSequence();
    gtk_window_set_title(GTK_WINDOW(window_), ("fcp-sim - " + sequence.name).c_str());
    gtk_button_set_label(GTK_BUTTON(playButton_), editor_.playing() ? "Pause" : "Play");
    gtk_label_set_text(
        GTK_LABEL(timeLabel_),
        (clock(editor_.playhead().seconds()) + " / " + clock(sequence.duration.seconds())).c_str());
    gtk_widget_queue_draw(strip_);
}

double SimWindow::xFor(double seconds, int width) const {
    double duration = editor_.activeSequence().duration.seconds();
    double span = std::max(1.0, width - 2 * kPad);
    return kPad + (duration > 0 ? seconds / duration : 0) * span;
}

double SimWindow::secondsAt(double x, int width) const {
    double duration = editor_.activeSequence().duration.seconds();
    double span = std::max(1.0, width - 2 * kPad);
    return std::clamp((x - kPad) / span, 0.0, 1.0) * duration;
}

void SimWindow::draw(cairo_t* cr, int width, int height) {
    // Crisp edges: the strip is read back pixel for pixel in tests.
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    setColour(cr, 0x1E1E1E);
    cairo_paint(cr);

    auto sequence = editor_.activeSequence();
    double duration = sequence.duration.seconds();

    // Ruler: a tick at least every 60 pixels, labelled m:ss.
    setColour(cr, 0x2B2B33);
    cairo_rectangle(cr, 0, 0, width, kRulerHeight);
    cairo_fill(cr);
    double perSecond = duration > 0 ? (width - 2 * kPad) / duration : 1;
    double step = 3600;
    for (double candidate : {1.0, 2.0, 5.0, 10.0, 15.0, 30.0, 60.0, 120.0, 300.0, 600.0}) {
        if (candidate * perSecond >= 60) {
            step = candidate;
            break;
        }
    }
    cairo_select_font_face(cr, "Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 10);
    for (double t = 0; t <= duration + 1e-9; t += step) {
        double x = std::round(xFor(t, width));
        setColour(cr, 0x8A8A99);
        cairo_rectangle(cr, x, kRulerHeight - 7, 1, 7);
        cairo_fill(cr);
        char label[16];
        int whole = static_cast<int>(t);
        std::snprintf(label, sizeof label, "%d:%02d", whole / 60, whole % 60);
        setColour(cr, 0xC8C8D0);
        cairo_move_to(cr, x + 3, 11);
        cairo_show_text(cr, label);
    }

    // Clips as blocks with their names: connected clips in a band above the
    // primary storyline.
    auto block = [&](const ClipInfo& clip, double top, double bottom, unsigned colour,
                     double fontSize) {
        double x0 = std::round(xFor(clip.offset.seconds(), width));
        double x1 = std::round(xFor((clip.offset + clip.duration).seconds(), width));
        setColour(cr, colour);
        cairo_rectangle(cr, x0 + 1, top, std::max(1.0, x1 - x0 - 2), bottom - top);
        cairo_fill(cr);
        cairo_save(cr);
        cairo_rectangle(cr, x0 + 1, top, std::max(1.0, x1 - x0 - 6), bottom - top);
        cairo_clip(cr);
        setColour(cr, 0xF0F0F0);
        cairo_set_font_size(cr, fontSize);
        cairo_move_to(cr, x0 + 5, top + fontSize + 1);
        cairo_show_text(cr, clip.name.c_str());
        cairo_restore(cr);
    };
    for (const auto& clip : editor_.library().connectedClips(editor_.activeIndex()))
        block(clip, kClipTop, kClipTop + kConnectedHeight - 2, 0x7A5C8E, 9);
    int index = 0;
    for (const auto& clip : editor_.library().clips(editor_.activeIndex()))
        block(clip, kClipTop + kConnectedHeight, height - 8,
              clip.gap ? 0x2A2A2A : (index++ % 2 ? 0x4E6F8E : 0x3C6E47), 11);

    // Markers as flags: a stem at the marker's time and a flag to its right.
    for (const auto& marker : editor_.markers()) {
        double x = std::round(xFor(marker.start.seconds(), width));
        setColour(cr, marker.tagged() ? kAccentColour : kMarkerColour);
        cairo_rectangle(cr, x, kFlagTop, 8, kFlagHeight);
        cairo_rectangle(cr, x, kFlagTop, 1, kClipTop - kFlagTop);
        cairo_fill(cr);
    }

    // The playhead over everything.
    double x = std::round(xFor(editor_.playhead().seconds(), width));
    setColour(cr, kPlayheadColour);
    cairo_rectangle(cr, x - 1, 0, 2, height);
    cairo_fill(cr);
}

gboolean SimWindow::onDraw(GtkWidget* widget, cairo_t* cr, gpointer self) {
    static_cast<SimWindow*>(self)->draw(cr, gtk_widget_get_allocated_width(widget),
                                        gtk_widget_get_allocated_height(widget));
    return TRUE;
}

gboolean SimWindow::onPress(GtkWidget* widget, GdkEventButton* event, gpointer self) {
    if (event->button != 1)
        return FALSE;
    auto* window = static_cast<SimWindow*>(self);
    window->editor_.setPlayhead(
        window->secondsAt(event->x, gtk_widget_get_allocated_width(widget)));
    return TRUE;
}

gboolean SimWindow::onMotion(GtkWidget* widget, GdkEventMotion* event, gpointer self) {
    // Only a drag moves the playhead: the tooltips make every motion arrive.
    if (!(event->state & GDK_BUTTON1_MASK))
        return FALSE;
    auto* window = static_cast<SimWindow*>(self);
    window->editor_.setPlayhead(
        window->secondsAt(event->x, gtk_widget_get_allocated_width(widget)));
    return TRUE;
}

gboolean SimWindow::onKey(GtkWidget*, GdkEventKey* event, gpointer self) {
    if (event->keyval != GDK_KEY_space)
        return FALSE;
    onToggle(nullptr, self);
    return TRUE;
}

gboolean SimWindow::onTooltip(GtkWidget* widget, gint x, gint, gboolean, GtkTooltip* tooltip,
                              gpointer self) {
    auto* window = static_cast<SimWindow*>(self);
    int width = gtk_widget_get_allocated_width(widget);
    for (const auto& marker : window->editor_.markers()) {
        double at = std::round(window->xFor(marker.start.seconds(), width));
        if (marker.tagged() && x >= at - 2 && x <= at + 10) {
            gtk_tooltip_set_text(tooltip, marker.note.c_str());
            return TRUE;
        }
    }
    return FALSE;
}

void SimWindow::onToggle(GtkButton*, gpointer self) {
    auto& editor = static_cast<SimWindow*>(self)->editor_;
    editor.playing() ? editor.pause() : editor.play();
}

void SimWindow::onChooseSequence(GtkComboBox* combo, gpointer self) {
    auto* window = static_cast<SimWindow*>(self);
    if (window->filling_)
        return;
    // By place, not name: two projects may share a name.
    gint index = gtk_combo_box_get_active(combo);
    if (index >= 0)
        window->editor_.switchSequence(static_cast<std::size_t>(index));
}

gboolean SimWindow::onDelete(GtkWidget*, GdkEvent*, gpointer self) {
    static_cast<SimWindow*>(self)->closed_();
    return TRUE; // the owner destroys the window
}

} // namespace tavrin::sim
