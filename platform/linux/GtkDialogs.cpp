#include "platform/linux/GtkDialogs.h"

#include "common/Log.h"

#include <algorithm>

namespace tavrin::linux_platform {

namespace {

constexpr const char* kSubsystem = "ai.tavrin.fcp";
constexpr const char* kCategory = "Dialogs";

// Line breaks written as "\n", so an alert stays one log line.
std::string oneLine(const std::string& text) {
    std::string line;
    for (char c : text) {
        if (c == '\n')
            line += "\\n";
        else
            line += c;
    }
    return line;
}

template <class T> void forget(std::vector<T*>& showing, T* item) {
    showing.erase(std::remove(showing.begin(), showing.end(), item), showing.end());
}

} // namespace

GtkDialogs::GtkDialogs(bool displayAvailable) : displayAvailable_(displayAvailable) {
}

void GtkDialogs::runAlert(const Alert& alert) {
    const bool warning = alert.style == AlertStyle::Warning;
    if (!displayAvailable_) {
        logLine(kSubsystem, kCategory, warning ? LogLevel::Error : LogLevel::Default,
                std::string("alert (") + (warning ? "warning" : "informational") +
                    ", no display): " + oneLine(alert.messageText) + " | " +
                    oneLine(alert.informativeText));
        return;
    }
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL,
                                               warning ? GTK_MESSAGE_WARNING : GTK_MESSAGE_INFO,
                                               GTK_BUTTONS_NONE, "%s", alert.messageText.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s",
                                             alert.informativeText.c_str());
    gtk_dialog_add_button(GTK_DIALOG(dialog), alert.button.c_str(), GTK_RESPONSE_OK);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    alerts_.push_back(GTK_DIALOG(dialog));
    gtk_dialog_run(GTK_DIALOG(dialog)); // the response is not used
    forget(alerts_, GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}

std::optional<std::string> GtkDialogs::chooseFolder(const FolderChoice& choice) {
    if (!displayAvailable_) {
        logLine(kSubsystem, kCategory, LogLevel::Default,
                "folder chooser: no display, answering cancelled");
        return std::nullopt;
    }
    // GTK's chooser has no message area: the message is its title.
    GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
        choice.message.c_str(), nullptr, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER,
        choice.prompt.c_str(), nullptr);
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
    gtk_file_chooser_set_create_folders(GTK_FILE_CHOOSER(chooser), choice.canCreateDirectories);
    gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(chooser), FALSE);
    choosers_.push_back(chooser);
    const gint response = gtk_native_dialog_run(GTK_NATIVE_DIALOG(chooser));
    forget(choosers_, chooser);
    std::optional<std::string> folder;
    if (response == GTK_RESPONSE_ACCEPT) {
        if (gchar* path = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser))) {
            folder = path;
            g_free(path);
        }
    }
    g_object_unref(chooser);
    return folder;
}

void GtkDialogs::dismissAll() {
    for (GtkDialog* alert : std::vector<GtkDialog*>(alerts_))
        gtk_dialog_response(alert, GTK_RESPONSE_DELETE_EVENT);
    for (GtkFileChooserNative* chooser : std::vector<GtkFileChooserNative*>(choosers_))
        gtk_native_dialog_hide(GTK_NATIVE_DIALOG(chooser));
}

} // namespace tavrin::linux_platform
