// The GTK dialogs on a private Xvfb: what the user sees, and the answers
// given back. A timer plays the user: it finds the dialog among the toplevel
// windows, reads it and responds.

#include "platform/linux/GtkDialogs.h"
#include "tests/support/GtkTestDisplay.h"
#include "tests/support/PrivateBus.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

namespace tavrin::linux_platform {
namespace {

namespace fs = std::filesystem;

// The first visible toplevel window of this type.
GtkWidget* findShowing(GType type) {
    GtkWidget* found = nullptr;
    GList* windows = gtk_window_list_toplevels();
    for (GList* item = windows; item && !found; item = item->next)
        if (G_TYPE_CHECK_INSTANCE_TYPE(item->data, type) &&
            gtk_widget_get_visible(GTK_WIDGET(item->data)))
            found = GTK_WIDGET(item->data);
    g_list_free(windows);
    return found;
}

// Calls play(dialog) once a dialog of this type shows (during the dialog's
// own nested main loop).
using Player = std::pair<GType, std::function<void(GtkWidget*)>>;
void whenShown(GType type, std::function<void(GtkWidget*)> play) {
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, 20,
        [](gpointer raw) -> gboolean {
            auto* player = static_cast<Player*>(raw);
            GtkWidget* dialog = findShowing(player->first);
            if (dialog)
                player->second(dialog);
            return dialog ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
        },
        new Player(type, std::move(play)), [](gpointer raw) { delete static_cast<Player*>(raw); });
}

std::string stringProperty(GtkWidget* widget, const char* name) {
    gchar* value = nullptr;
    g_object_get(widget, name, &value, nullptr);
    std::string text = value ? value : "";
    g_free(value);
    return text;
}

class GtkDialogsOnADisplay : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // A bus of our own, so the file chooser's GIO neither finds the
        // machine's nor starts one; no accessibility bus, no GVfs daemons,
        // and settings in memory (a dconf connection to the bus would end
        // the process with SIGTERM when the bus stops at exit).
        static testing::PrivateBus bus;
        setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
        setenv("NO_AT_BRIDGE", "1", 1);
        setenv("GIO_USE_VFS", "local", 1);
        setenv("GSETTINGS_BACKEND", "memory", 1);
        testing::initGtkForTests();
    }
};

TEST_F(GtkDialogsOnADisplay, ShowsTheAlertModallyWithItsTextsAndStyle) {
    GtkDialogs dialogs(true);
    struct Case {
        Dialogs::AlertStyle style;
        GtkMessageType type;
    };
    for (const Case& c : {Case{Dialogs::AlertStyle::Informational, GTK_MESSAGE_INFO},
                          Case{Dialogs::AlertStyle::Warning, GTK_MESSAGE_WARNING}}) {
        std::string text, secondary, button;
        GtkMessageType type = GTK_MESSAGE_OTHER;
        bool modal = false;
        whenShown(GTK_TYPE_MESSAGE_DIALOG, [&](GtkWidget* dialog) {
            text = stringProperty(dialog, "text");
            secondary = stringProperty(dialog, "secondary-text");
            g_object_get(dialog, "message-type", &type, nullptr);
            modal = gtk_window_get_modal(GTK_WINDOW(dialog));
            GtkWidget* ok = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
            button = ok ? gtk_button_get_label(GTK_BUTTON(ok)) : "";
            gtk_button_clicked(GTK_BUTTON(ok));
        });
        dialogs.runAlert({"Tavrin installed (FCP not detected)",
                          "First line.\n\nWindow \u2192 Tavrin", c.style, "OK"});
        EXPECT_EQ(text, "Tavrin installed (FCP not detected)");
        EXPECT_EQ(secondary, "First line.\n\nWindow \u2192 Tavrin");
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(button, "OK");
        EXPECT_TRUE(modal);
        EXPECT_EQ(findShowing(GTK_TYPE_MESSAGE_DIALOG), nullptr) << "the alert stayed up";
    }
}

TEST_F(GtkDialogsOnADisplay, LetsTheUserChooseOrCancelAFolder) {
    GtkDialogs dialogs(true);
    std::string pattern = (fs::temp_directory_path() / "gtk-dialogs-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const std::string folder = fs::canonical(pattern).string();
    const Dialogs::FolderChoice choice{"Select Export Folder",
                                       "Choose where FCP exports will be saved", true};

    std::string title, accept;
    GtkFileChooserAction action = GTK_FILE_CHOOSER_ACTION_OPEN;
    bool createFolders = false;
    whenShown(GTK_TYPE_FILE_CHOOSER_DIALOG, [&](GtkWidget* dialog) {
        title = gtk_window_get_title(GTK_WINDOW(dialog));
        GtkWidget* button =
            gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
        accept = button ? gtk_button_get_label(GTK_BUTTON(button)) : "";
        action = gtk_file_chooser_get_action(GTK_FILE_CHOOSER(dialog));
        createFolders = gtk_file_chooser_get_create_folders(GTK_FILE_CHOOSER(dialog));
        // The chooser loads folders in the background: answer once it shows ours.
        gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), folder.c_str());
        testing::runMainLoopUntil([&] {
            gchar* shown = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog));
            const bool ready = shown && folder == shown;
            g_free(shown);
            return ready;
        });
        gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    });
    EXPECT_EQ(dialogs.chooseFolder(choice), folder);
    EXPECT_EQ(title, "Choose where FCP exports will be saved");
    EXPECT_EQ(accept, "Select Export Folder");
    EXPECT_EQ(action, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER);
    EXPECT_TRUE(createFolders);

    whenShown(GTK_TYPE_FILE_CHOOSER_DIALOG, [](GtkWidget* dialog) {
        gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
    });
    EXPECT_EQ(dialogs.chooseFolder(choice), std::nullopt);

    // Ending the program closes what is showing, as a cancel.
    whenShown(GTK_TYPE_FILE_CHOOSER_DIALOG, [&](GtkWidget*) { dialogs.dismissAll(); });
    EXPECT_EQ(dialogs.chooseFolder(choice), std::nullopt);
    whenShown(GTK_TYPE_MESSAGE_DIALOG, [&](GtkWidget*) { dialogs.dismissAll(); });
    dialogs.runAlert({"m", "i", Dialogs::AlertStyle::Informational, "OK"});
    fs::remove_all(folder);
}

} // namespace
} // namespace tavrin::linux_platform
