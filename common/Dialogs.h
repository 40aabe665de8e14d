#pragma once
// The dialogs seam: a modal alert and a folder chooser, shown by the program
// on its main thread.
//
// Implementations: GtkDialogs (platform/linux, GTK 3 message dialog and file
// chooser; without a display an alert becomes one log line and the chooser
// answers "cancelled") and FakeDialogs (tests/support, scripted answers).

#include <optional>
#include <string>

namespace tavrin {

class Dialogs {
  public:
    enum class AlertStyle { Informational, Warning };

    struct Alert {
        std::string messageText;
        std::string informativeText; // may hold line breaks
        AlertStyle style = AlertStyle::Informational;
        std::string button = "OK";
    };

    struct FolderChoice {
        std::string prompt;  // the confirm button's title
        std::string message; // what the user is asked to choose
        bool canCreateDirectories = true;
    };

    virtual ~Dialogs() = default;

    // Shows the alert and returns when the user has dismissed it. Main thread
    // only; other main-queue work keeps running while it is shown.
    virtual void runAlert(const Alert& alert) = 0;

    // Lets the user choose one folder and returns its absolute path; no value
    // when the user cancels. Main thread only; blocks like runAlert().
    virtual std::optional<std::string> chooseFolder(const FolderChoice& choice) = 0;

    // Closes every dialog that is showing as if the user had cancelled it, so
    // the program can end. Main thread only.
    virtual void dismissAll() = 0;
};

} // namespace tavrin
