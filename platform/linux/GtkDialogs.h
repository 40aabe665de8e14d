#pragma once
// The dialogs on Linux: a GTK 3 modal message dialog for the alert and GTK's
// native file chooser (folders only) for the folder choice. Without a display
// nothing is shown: an alert is written as one log line and the chooser
// answers "cancelled" with a log line.

#include "common/Dialogs.h"

#include <gtk/gtk.h>

#include <vector>

namespace tavrin::linux_platform {

class GtkDialogs final : public Dialogs {
  public:
    // displayAvailable: gtk_init_check() succeeded in this process.
    explicit GtkDialogs(bool displayAvailable);

    // Main thread. Each runs a nested main loop while its dialog is shown, so
    // the program's other main-queue work goes on meanwhile.
    void runAlert(const Alert& alert) override;
    std::optional<std::string> chooseFolder(const FolderChoice& choice) override;
    void dismissAll() override;

    bool displayAvailable() const { return displayAvailable_; }

  private:
    bool displayAvailable_;
    std::vector<GtkDialog*> alerts_;              // showing
    std::vector<GtkFileChooserNative*> choosers_; // showing
};

} // namespace tavrin::linux_platform
