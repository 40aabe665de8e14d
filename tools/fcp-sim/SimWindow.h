#pragma once
// The simulated editor's window: the active sequence as a timeline strip
// (time ruler, clips as named blocks, markers as flags, tagged ones in the
// accent colour with their note as tooltip, the playhead as a red line).
// Click or drag on the strip to move the playhead; the space bar or the
// button plays and pauses; the list switches the sequence. It redraws on
// every change of the editor, whoever made it.
//
// Main thread only; needs gtk_init to have succeeded.

#include "tools/fcp-sim/SimEditor.h"

#include <gtk/gtk.h>

#include <functional>
#include <memory>

namespace tavrin::sim {

class SimWindow {
  public:
    // Shows the window; closed is called when the user closes it.
    SimWindow(SimEditor& editor, std::function<void()> closed);
    ~SimWindow();
    SimWindow(const SimWindow&) = delete;
    SimWindow& operator=(const SimWindow&) = delete;

    // Colours the strip is drawn in (0xRRGGBB).
    static constexpr unsigned kPlayheadColour = 0xFF3B30;
    static constexpr unsigned kAccentColour = 0xFFB000; // tagged markers
    static constexpr unsigned kMarkerColour = 0x4A90E2; // other markers

  private:
    static gboolean onDraw(GtkWidget*, cairo_t*, gpointer self);
    static gboolean onPress(GtkWidget*, GdkEventButton*, gpointer self);
    static gboolean onMotion(GtkWidget*, GdkEventMotion*, gpointer self);
    static gboolean onKey(GtkWidget*, GdkEventKey*, gpointer self);
    static gboolean onTooltip(GtkWidget*, gint x, gint y, gboolean, GtkTooltip*, gpointer self);
    static void onToggle(GtkButton*, gpointer self);
    static void onChooseSequence(GtkComboBox*, gpointer self);
    static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer self);

    void draw(cairo_t* cr, int width, int height);
    double xFor(double seconds, int width) const;
    double secondsAt(double x, int width) const;
    void refresh();
    void fillSequenceList();

    SimEditor& editor_;
    std::function<void()> closed_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    GtkWidget* window_ = nullptr;
    GtkWidget* strip_ = nullptr;
    GtkWidget* playButton_ = nullptr;
    GtkWidget* sequences_ = nullptr;
    GtkWidget* timeLabel_ = nullptr;
    bool filling_ = false;
};

} // namespace tavrin::sim
