// kest-fixture: a GTK 3 window holding every widget kind the engine handles.
//
// The end-to-end tests and the benchmarks find widgets by their accessible
// names, act on them and read the effects back through the accessibility bus:
// buttons rewrite status labels, "Grow List" adds rows past 500, menu items and
// dialogs report what was chosen in "Last Action", presses on "Click Target"
// report their button and modifiers, "Key Sink" shows the keys typed into
// it, and the "Pad" page logs the pointer's presses and path. Everything runs on GTK's main thread; the process owns nothing beyond its
// windows.
#include <gtk/gtk.h>

#include <string>
#include <utility>

namespace {

constexpr int GROW_ROWS = 520;

struct Fixture {
    GtkWidget* window = nullptr;
    GtkWidget* statusLabel = nullptr;
    GtkWidget* clickLabel = nullptr;
    GtkWidget* pressLabel = nullptr;
    GtkWidget* pressButtonLabel = nullptr;
    GtkWidget* pressModifiersLabel = nullptr;
    GtkWidget* keySink = nullptr;
    GtkWidget* lastAction = nullptr;
    GtkWidget* rowsLabel = nullptr;
    GtkWidget* list = nullptr;
    GtkWidget* extraButton = nullptr;
    GtkWidget* padLog = nullptr;
    std::string pad;  // what the pad log shows after its "Pad Log: "
    int presses = 0;
    int clicks = 0;
    int buttonPresses = 0;
    int rows = 0;
    std::string keys;          // what the key sink shows
    bool replaceKeys = false;  // Control+a selected it all: the next key replaces it
};

void setAccessibleName(GtkWidget* widget, const char* name) {
    atk_object_set_name(gtk_widget_get_accessible(widget), name);
}

void setAction(Fixture* fixture, const std::string& text) {
    gtk_label_set_text(GTK_LABEL(fixture->lastAction), ("Last Action: " + text).c_str());
}

void onPress(GtkButton*, gpointer data) {
    auto* fixture = static_cast<Fixture*>(data);
    ++fixture->presses;
    gtk_label_set_text(GTK_LABEL(fixture->statusLabel),
                       ("Status: pressed " + std::to_string(fixture->presses)).c_str());
}

void onReset(GtkButton*, gpointer data) {
    auto* fixture = static_cast<Fixture*>(data);
    fixture->presses = 0;
    gtk_label_set_text(GTK_LABEL(fixture->statusLabel), "Status: idle");
}

void onClickTarget(GtkButton*, gpointer data) {
    auto* fixture = static_cast<Fixture*>(data);
    ++fixture->clicks;
    gtk_label_set_text(GTK_LABEL(fixture->clickLabel),
                       ("Clicks: " + std::to_string(fixture->clicks)).c_str());
}

// "ctrl+alt+shift+super" for the modifiers in `state`, as far as they are set.
std::string modifierNames(guint state) {
    std::string names;
    auto add = [&](guint mask, const char* name) {
        if (!(state & mask)) return;
        if (!names.empty()) names += '+';
        names += name;
    };
    add(GDK_CONTROL_MASK, "ctrl");
    add(GDK_MOD1_MASK, "alt");
    add(GDK_SHIFT_MASK, "shift");
    add(GDK_SUPER_MASK | GDK_MOD4_MASK, "super");
    return names;
}

// Every press of any button on "Click Target", double-click duplicates aside.
gboolean onClickTargetPress(GtkWidget*, GdkEventButton* event, gpointer data) {
    if (event->type != GDK_BUTTON_PRESS) return FALSE;
    auto* fixture = static_cast<Fixture*>(data);
    ++fixture->buttonPresses;
    const std::string names = modifierNames(event->state);
    gtk_label_set_text(GTK_LABEL(fixture->pressButtonLabel), ("Click Button: " + std::to_string(event->button)).c_str());
    gtk_label_set_text(GTK_LABEL(fixture->pressModifiersLabel),
                       ("Click Modifiers: " + (names.empty() ? std::string("none") : names)).c_str());
    gtk_label_set_text(GTK_LABEL(fixture->pressLabel), ("Presses: " + std::to_string(fixture->buttonPresses)).c_str());
    return FALSE;
}

// The key sink takes typed keys only: characters append, Return and Tab
// append a line break and a tab, BackSpace removes the last character,
// Control+a selects everything (the next key replaces it), and a key with
// Control, Alt or Super appends its modifiers and key name ("<ctrl+shift+T>"),
// as does a key that types no character ("<Left>").
gboolean onKeySinkKey(GtkWidget*, GdkEventKey* event, gpointer data) {
    auto* fixture = static_cast<Fixture*>(data);
    if (event->is_modifier) return TRUE;
    const guint state =
        event->state & (GDK_CONTROL_MASK | GDK_MOD1_MASK | GDK_SHIFT_MASK | GDK_SUPER_MASK | GDK_MOD4_MASK);
    const guint keyval = event->keyval;
    if (state == GDK_CONTROL_MASK && keyval == GDK_KEY_a) {
        fixture->replaceKeys = true;
        return TRUE;
    }
    if (std::exchange(fixture->replaceKeys, false)) fixture->keys.clear();
    const char* name = gdk_keyval_name(keyval);
    const std::string token = std::string("<") + (name ? name : "?") + ">";
    if (state & (GDK_CONTROL_MASK | GDK_MOD1_MASK | GDK_SUPER_MASK | GDK_MOD4_MASK)) {
        // Appended piece by piece: GCC 12 at -O3 reports a false overlap
        // (-Wrestrict) for a literal joined to a temporary string.
        fixture->keys += '<';
        fixture->keys += modifierNames(state);
        fixture->keys += '+';
        fixture->keys.append(token, 1);
    } else if (keyval == GDK_KEY_Return || keyval == GDK_KEY_KP_Enter) {
        fixture->keys += '\n';
    } else if (keyval == GDK_KEY_Tab) {
        fixture->keys += '\t';
    } else if (keyval == GDK_KEY_BackSpace) {
        if (!fixture->keys.empty()) {
            const char* text = fixture->keys.c_str();
            const char* last = g_utf8_find_prev_char(text, text + fixture->keys.size());
            fixture->keys.resize(last ? static_cast<std::size_t>(last - text) : 0);
        }
    } else if (gunichar character = gdk_keyval_to_unicode(keyval)) {
        char utf8[8];
        fixture->keys.append(utf8, static_cast<std::size_t>(g_unichar_to_utf8(character, utf8)));
    } else {
        fixture->keys += token;
    }
    gtk_label_set_text(GTK_LABEL(fixture->keySink), fixture->keys.c_str());
    return TRUE;
}

void onClearKeys(GtkButton*, gpointer data) {
    auto* fixture = static_cast<Fixture*>(data);
    fixture->keys.clear();
    fixture->replaceKeys = false;
    gtk_label_set_text(GTK_LABEL(fixture->keySink), "");
}

void onToggled(GtkToggleButton* button, gpointer data) {
    auto* fixture = static_cast<Fixture*>(data);
    const char* name = gtk_button_get_label(GTK_BUTTON(button));
    setAction(fixture, std::string(name) + (gtk_toggle_button_get_active(button) ? " on" : " off"));
}

void onGrowList(GtkButton*, gpointer data) {
    auto* fixture = static_cast<Fixture*>(data);
    for (int i = 0; i < GROW_ROWS; ++i) {
        ++fixture->rows;
        GtkWidget* label = gtk_label_new(("Row " + std::to_string(fixture->rows)).c_str());
        gtk_widget_set_halign(label, GTK_ALIGN_START);
        gtk_list_box_insert(GTK_LIST_BOX(fixture->list), label, -1);
        gtk_widget_show(label);
    }
    gtk_label_set_text(GTK_LABEL(fixture->rowsLabel), ("Rows: " + std::to_string(fixture->rows)).c_str());
}

void onToggleExtra(GtkButton*, gpointer data) {
    auto* fixture = static_cast<Fixture*>(data);
    gtk_widget_set_visible(fixture->extraButton, !gtk_widget_get_visible(fixture->extraButton));
}

void onMenuItem(GtkMenuItem* item, gpointer data) {
    auto* fixture = static_cast<Fixture*>(data);
    if (GTK_IS_CHECK_MENU_ITEM(item) && !gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(item))) {
        if (GTK_IS_RADIO_MENU_ITEM(item)) return;  // the item being left: its partner reports
        setAction(fixture, std::string(gtk_menu_item_get_label(item)) + " off");
        return;
    }
    setAction(fixture, gtk_menu_item_get_label(item));
}

// Dialogs report their answer through "response" instead of a nested main
// loop, so the application keeps serving accessibility requests while one is up.
void onDialogResponse(GtkDialog* dialog, int response, gpointer data) {
    auto* fixture = static_cast<Fixture*>(data);
    const char* kind = static_cast<const char*>(g_object_get_data(G_OBJECT(dialog), "kind"));
    std::string answer = response == GTK_RESPONSE_OK || response == GTK_RESPONSE_ACCEPT ? "OK" : "Cancel";
    if (GTK_IS_FILE_CHOOSER(dialog) && response == GTK_RESPONSE_ACCEPT) {
        gchar* path = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog));
        answer = std::string("OK ") + (path ? path : "");
        g_free(path);
    }
    setAction(fixture, std::string(kind) + " " + answer);
    gtk_widget_destroy(GTK_WIDGET(dialog));
}

void present(GtkWidget* dialog, const char* kind, Fixture* fixture) {
    g_object_set_data(G_OBJECT(dialog), "kind", const_cast<char*>(kind));
    g_signal_connect(dialog, "response", G_CALLBACK(onDialogResponse), fixture);
    gtk_widget_show_all(dialog);
}

void onDialog(GtkButton*, gpointer data) {
    auto* fixture = static_cast<Fixture*>(data);
    GtkWidget* dialog = gtk_dialog_new_with_buttons(
        "Fixture Dialog", GTK_WINDOW(fixture->window), GTK_DIALOG_MODAL, "_Cancel",
        GTK_RESPONSE_CANCEL, "_OK", GTK_RESPONSE_OK, nullptr);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
    GtkWidget* area = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
    gtk_container_add(GTK_CONTAINER(area), gtk_label_new("Proceed with the fixture action?"));
    GtkWidget* entry = gtk_entry_new();
    setAccessibleName(entry, "Dialog Entry");
    gtk_container_add(GTK_CONTAINER(area), entry);
    present(dialog, "Dialog", fixture);
}

void onAlert(GtkButton*, gpointer data) {
    auto* fixture = static_cast<Fixture*>(data);
    GtkWidget* alert = gtk_message_dialog_new(GTK_WINDOW(fixture->window), GTK_DIALOG_MODAL,
                                              GTK_MESSAGE_WARNING, GTK_BUTTONS_OK_CANCEL,
                                              "Something needs attention");
    gtk_window_set_title(GTK_WINDOW(alert), "Fixture Alert");
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(alert), "Choose OK or Cancel.");
    present(alert, "Alert", fixture);
}

void onSave(GtkButton*, gpointer data) {
    auto* fixture = static_cast<Fixture*>(data);
    GtkWidget* chooser = gtk_file_chooser_dialog_new(
        "Save File", GTK_WINDOW(fixture->window), GTK_FILE_CHOOSER_ACTION_SAVE, "_Cancel",
        GTK_RESPONSE_CANCEL, "_Save", GTK_RESPONSE_ACCEPT, nullptr);
    gtk_file_chooser_set_do_overwrite_confirmation(GTK_FILE_CHOOSER(chooser), TRUE);
    gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), "untitled.txt");
    present(chooser, "Save", fixture);
}

GtkWidget* menuItem(GtkWidget* menu, const char* label, Fixture* fixture) {
    GtkWidget* item = gtk_menu_item_new_with_label(label);
    g_signal_connect(item, "activate", G_CALLBACK(onMenuItem), fixture);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
    return item;
}

GtkWidget* submenu(GtkWidget* shell, const char* label) {
    GtkWidget* item = gtk_menu_item_new_with_label(label);
    GtkWidget* menu = gtk_menu_new();
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(item), menu);
    gtk_menu_shell_append(GTK_MENU_SHELL(shell), item);
    return menu;
}

void separator(GtkWidget* menu) {
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), gtk_separator_menu_item_new());
}

GtkWidget* buildMenuBar(Fixture* fixture) {
    GtkWidget* bar = gtk_menu_bar_new();

    GtkWidget* file = submenu(bar, "File");
    menuItem(file, "New", fixture);
    menuItem(file, "Open", fixture);
    menuItem(file, "Save", fixture);
    separator(file);
    GtkWidget* recent = submenu(file, "Recent");
    menuItem(recent, "First Recent", fixture);
    menuItem(recent, "Second Recent", fixture);
    GtkWidget* older = submenu(recent, "Older");
    menuItem(older, "Oldest Recent", fixture);
    separator(file);
    gtk_widget_set_sensitive(menuItem(file, "Print", fixture), FALSE);
    menuItem(file, "Close", fixture);

    GtkWidget* edit = submenu(bar, "Edit");
    gtk_widget_set_sensitive(menuItem(edit, "Undo", fixture), FALSE);
    menuItem(edit, "Copy", fixture);
    menuItem(edit, "Paste", fixture);
    separator(edit);
    GtkWidget* wrap = gtk_check_menu_item_new_with_label("Word Wrap");
    gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(wrap), TRUE);
    g_signal_connect(wrap, "activate", G_CALLBACK(onMenuItem), fixture);
    gtk_menu_shell_append(GTK_MENU_SHELL(edit), wrap);
    GtkWidget* ruler = gtk_check_menu_item_new_with_label("Show Ruler");
    g_signal_connect(ruler, "activate", G_CALLBACK(onMenuItem), fixture);
    gtk_menu_shell_append(GTK_MENU_SHELL(edit), ruler);

    GtkWidget* view = submenu(bar, "View");
    GSList* group = nullptr;
    for (const char* size : {"Small", "Medium", "Large"}) {
        GtkWidget* item = gtk_radio_menu_item_new_with_label(group, size);
        group = gtk_radio_menu_item_get_group(GTK_RADIO_MENU_ITEM(item));
        gtk_menu_shell_append(GTK_MENU_SHELL(view), item);
        if (std::string(size) == "Medium") gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item), TRUE);
        g_signal_connect(item, "activate", G_CALLBACK(onMenuItem), fixture);
    }

    GtkWidget* help = submenu(bar, "Help");
    menuItem(help, "About Fixture", fixture);
    return bar;
}

GtkWidget* button(const char* label, GCallback callback, Fixture* fixture) {
    GtkWidget* widget = gtk_button_new_with_label(label);
    g_signal_connect(widget, "clicked", callback, fixture);
    return widget;
}

GtkWidget* buildControls(Fixture* fixture) {
    // One row per widget kind, a caption on the left; rows are a box's children
    // so that the accessible tree lists them top to bottom.
    GtkWidget* rows = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
    // Made first: toggling the initial check box below already reports here.
    fixture->lastAction = gtk_label_new("Last Action: none");
    GtkSizeGroup* captions = gtk_size_group_new(GTK_SIZE_GROUP_HORIZONTAL);
    auto add = [&](const char* caption, GtkWidget* widget) {
        GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
        // "Name:" beside the widget named "Name Entry": a caption never shares
        // its widget's accessible name.
        GtkWidget* label = gtk_label_new((std::string(caption) + ":").c_str());
        gtk_label_set_xalign(GTK_LABEL(label), 0);
        gtk_size_group_add_widget(captions, label);
        gtk_container_add(GTK_CONTAINER(row), label);
        gtk_box_pack_start(GTK_BOX(row), widget, TRUE, TRUE, 0);
        gtk_container_add(GTK_CONTAINER(rows), row);
    };

    GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    gtk_container_add(GTK_CONTAINER(buttons), button("Press Me", G_CALLBACK(onPress), fixture));
    gtk_container_add(GTK_CONTAINER(buttons), button("Reset", G_CALLBACK(onReset), fixture));
    GtkWidget* toggle = gtk_toggle_button_new_with_label("Toggle Me");
    g_signal_connect(toggle, "toggled", G_CALLBACK(onToggled), fixture);
    gtk_container_add(GTK_CONTAINER(buttons), toggle);
    fixture->statusLabel = gtk_label_new("Status: idle");
    gtk_container_add(GTK_CONTAINER(buttons), fixture->statusLabel);
    add("Buttons", buttons);

    GtkWidget* checks = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    for (const char* name : {"Check One", "Check Two"}) {
        GtkWidget* check = gtk_check_button_new_with_label(name);
        g_signal_connect(check, "toggled", G_CALLBACK(onToggled), fixture);
        gtk_container_add(GTK_CONTAINER(checks), check);
    }
    gtk_toggle_button_set_active(
        GTK_TOGGLE_BUTTON(gtk_container_get_children(GTK_CONTAINER(checks))->next->data), TRUE);
    add("Checks", checks);

    GtkWidget* radios = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    GtkWidget* first = nullptr;
    for (const char* name : {"Radio A", "Radio B", "Radio C"}) {
        GtkWidget* radio = first ? gtk_radio_button_new_with_label_from_widget(GTK_RADIO_BUTTON(first), name)
                                 : gtk_radio_button_new_with_label(nullptr, name);
        if (!first) first = radio;
        g_signal_connect(radio, "toggled", G_CALLBACK(onToggled), fixture);
        gtk_container_add(GTK_CONTAINER(radios), radio);
    }
    add("Radios", radios);

    GtkWidget* entry = gtk_entry_new();
    setAccessibleName(entry, "Name Entry");
    gtk_entry_set_placeholder_text(GTK_ENTRY(entry), "Your name");
    add("Name", entry);

    GtkWidget* typing = gtk_entry_new();
    setAccessibleName(typing, "Typing Target");
    add("Typing", typing);

    GtkWidget* password = gtk_entry_new();
    gtk_entry_set_visibility(GTK_ENTRY(password), FALSE);
    setAccessibleName(password, "Password Entry");
    add("Password", password);

    GtkWidget* notesScroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_widget_set_size_request(notesScroll, -1, 70);
    GtkWidget* notes = gtk_text_view_new();
    setAccessibleName(notes, "Notes");
    gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(notes)), "First line\nSecond line", -1);
    gtk_container_add(GTK_CONTAINER(notesScroll), notes);
    add("Notes", notesScroll);

    GtkWidget* spin = gtk_spin_button_new_with_range(0, 100, 1);
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(spin), 5);
    setAccessibleName(spin, "Quantity");
    add("Quantity", spin);

    GtkWidget* slider = gtk_scale_new_with_range(GTK_ORIENTATION_HORIZONTAL, 0, 100, 1);
    gtk_range_set_value(GTK_RANGE(slider), 30);
    setAccessibleName(slider, "Volume");
    add("Volume", slider);

    GtkWidget* color = gtk_combo_box_text_new();
    for (const char* name : {"Red", "Green", "Blue"}) gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(color), name);
    gtk_combo_box_set_active(GTK_COMBO_BOX(color), 1);
    setAccessibleName(color, "Color");
    add("Color", color);

    GtkWidget* size = gtk_combo_box_text_new_with_entry();
    for (const char* name : {"10", "12", "14"}) gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(size), name);
    gtk_combo_box_set_active(GTK_COMBO_BOX(size), 1);
    setAccessibleName(size, "Font Size");
    add("Font Size", size);

    GtkWidget* link = gtk_link_button_new_with_label("https://example.org/kest", "Project Site");
    add("Link", link);

    // A selectable label takes the focus (a plain one refuses it) and reads
    // as static text whose text is what was typed; it has no editable text,
    // so only keys can change it.
    GtkWidget* keys = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    fixture->keySink = gtk_label_new("");
    gtk_label_set_selectable(GTK_LABEL(fixture->keySink), TRUE);
    gtk_label_set_single_line_mode(GTK_LABEL(fixture->keySink), TRUE);
    gtk_label_set_ellipsize(GTK_LABEL(fixture->keySink), PANGO_ELLIPSIZE_END);
    gtk_label_set_xalign(GTK_LABEL(fixture->keySink), 0);
    gtk_widget_set_can_focus(fixture->keySink, TRUE);
    gtk_widget_set_size_request(fixture->keySink, 300, -1);
    setAccessibleName(fixture->keySink, "Key Sink");
    g_signal_connect(fixture->keySink, "key-press-event", G_CALLBACK(onKeySinkKey), fixture);
    gtk_box_pack_start(GTK_BOX(keys), fixture->keySink, TRUE, TRUE, 0);
    gtk_container_add(GTK_CONTAINER(keys), button("Clear Keys", G_CALLBACK(onClearKeys), fixture));
    add("Keys", keys);

    GtkWidget* clicks = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    GtkWidget* clickTarget = button("Click Target", G_CALLBACK(onClickTarget), fixture);
    g_signal_connect(clickTarget, "button-press-event", G_CALLBACK(onClickTargetPress), fixture);
    gtk_container_add(GTK_CONTAINER(clicks), clickTarget);
    fixture->clickLabel = gtk_label_new("Clicks: 0");
    gtk_container_add(GTK_CONTAINER(clicks), fixture->clickLabel);
    fixture->pressLabel = gtk_label_new("Presses: 0");
    gtk_container_add(GTK_CONTAINER(clicks), fixture->pressLabel);
    fixture->pressButtonLabel = gtk_label_new("Click Button: none");
    gtk_container_add(GTK_CONTAINER(clicks), fixture->pressButtonLabel);
    fixture->pressModifiersLabel = gtk_label_new("Click Modifiers: none");
    gtk_container_add(GTK_CONTAINER(clicks), fixture->pressModifiersLabel);
    add("Clicks", clicks);

    GtkWidget* dialogs = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    gtk_container_add(GTK_CONTAINER(dialogs), button("Open Dialog", G_CALLBACK(onDialog), fixture));
    gtk_container_add(GTK_CONTAINER(dialogs), button("Show Alert", G_CALLBACK(onAlert), fixture));
    gtk_container_add(GTK_CONTAINER(dialogs), button("Save As", G_CALLBACK(onSave), fixture));
    add("Dialogs", dialogs);

    GtkWidget* changes = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    gtk_container_add(GTK_CONTAINER(changes), button("Toggle Extra", G_CALLBACK(onToggleExtra), fixture));
    fixture->extraButton = gtk_button_new_with_label("Extra Button");
    gtk_widget_set_no_show_all(fixture->extraButton, TRUE);
    gtk_container_add(GTK_CONTAINER(changes), fixture->extraButton);
    add("Changes", changes);

    gtk_container_add(GTK_CONTAINER(rows), fixture->lastAction);
    g_object_unref(captions);
    return rows;
}

// The motion pad logs the pointer inside it, in its own coordinates: entering
// starts a fresh log, a press starts a fresh one with "press x,y", every
// motion adds to "move x,y ...", and a release ends with "release x,y".
void setPadLog(Fixture* fixture) {
    gtk_label_set_text(GTK_LABEL(fixture->padLog), ("Pad Log: " + fixture->pad).c_str());
}

std::string padPoint(double x, double y) {
    return std::to_string(static_cast<long>(x + (x < 0 ? -0.5 : 0.5))) + "," +
           std::to_string(static_cast<long>(y + (y < 0 ? -0.5 : 0.5)));
}

gboolean onPadEnter(GtkWidget*, GdkEventCrossing*, gpointer data) {
    auto* fixture = static_cast<Fixture*>(data);
    fixture->pad.clear();
    setPadLog(fixture);
    return FALSE;
}

gboolean onPadButton(GtkWidget*, GdkEventButton* event, gpointer data) {
    auto* fixture = static_cast<Fixture*>(data);
    if (event->type == GDK_BUTTON_PRESS) {
        fixture->pad = "press " + padPoint(event->x, event->y);
    } else if (event->type == GDK_BUTTON_RELEASE) {
        fixture->pad += "; release " + padPoint(event->x, event->y);
    }
    setPadLog(fixture);
    return TRUE;
}

gboolean onPadMotion(GtkWidget*, GdkEventMotion* event, gpointer data) {
    auto* fixture = static_cast<Fixture*>(data);
    const std::size_t moves = fixture->pad.rfind("move ");
    const bool inMoves = moves != std::string::npos && fixture->pad.find(';', moves) == std::string::npos;
    if (!inMoves) fixture->pad += fixture->pad.empty() ? "move" : "; move";
    fixture->pad += ' ';  // not " " + padPoint(...): a false -Wrestrict of GCC 12 at -O3
    fixture->pad += padPoint(event->x, event->y);
    setPadLog(fixture);
    return TRUE;
}

void onPadRealize(GtkWidget* widget, gpointer) {
    // Every motion event, not one per frame: the tests read the whole path.
    gdk_window_set_event_compression(gtk_widget_get_window(widget), FALSE);
}

GtkWidget* buildPadPage(Fixture* fixture) {
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
    GtkWidget* pad = gtk_event_box_new();
    setAccessibleName(pad, "Motion Pad");
    gtk_widget_set_size_request(pad, 600, 320);
    gtk_widget_add_events(pad, GDK_POINTER_MOTION_MASK | GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK |
                                   GDK_ENTER_NOTIFY_MASK);
    g_signal_connect(pad, "realize", G_CALLBACK(onPadRealize), nullptr);
    g_signal_connect(pad, "enter-notify-event", G_CALLBACK(onPadEnter), fixture);
    g_signal_connect(pad, "button-press-event", G_CALLBACK(onPadButton), fixture);
    g_signal_connect(pad, "button-release-event", G_CALLBACK(onPadButton), fixture);
    g_signal_connect(pad, "motion-notify-event", G_CALLBACK(onPadMotion), fixture);
    gtk_container_add(GTK_CONTAINER(pad), gtk_label_new("Move, press and drag here"));
    gtk_container_add(GTK_CONTAINER(box), pad);
    fixture->padLog = gtk_label_new("Pad Log: ");
    gtk_label_set_line_wrap(GTK_LABEL(fixture->padLog), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(fixture->padLog), 100);
    gtk_container_add(GTK_CONTAINER(box), fixture->padLog);
    return box;
}

GtkWidget* buildListPage(Fixture* fixture) {
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
    GtkWidget* header = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    gtk_container_add(GTK_CONTAINER(header), button("Grow List", G_CALLBACK(onGrowList), fixture));
    fixture->rowsLabel = gtk_label_new("Rows: 0");
    gtk_container_add(GTK_CONTAINER(header), fixture->rowsLabel);
    gtk_container_add(GTK_CONTAINER(box), header);
    GtkWidget* scroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_widget_set_vexpand(scroll, TRUE);
    fixture->list = gtk_list_box_new();
    setAccessibleName(fixture->list, "Items");
    gtk_container_add(GTK_CONTAINER(scroll), fixture->list);
    gtk_container_add(GTK_CONTAINER(box), scroll);
    return box;
}

}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    Fixture fixture;

    fixture.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(fixture.window), "Kest Fixture");
    gtk_window_set_default_size(GTK_WINDOW(fixture.window), 900, 860);
    g_signal_connect(fixture.window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);

    GtkWidget* layout = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
    gtk_container_add(GTK_CONTAINER(layout), buildMenuBar(&fixture));

    GtkWidget* notebook = gtk_notebook_new();
    gtk_widget_set_vexpand(notebook, TRUE);
    // Scrolled, so that the window can be made smaller than its controls (the
    // window tests resize it); at the default size everything is in view.
    GtkWidget* controls = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_propagate_natural_width(GTK_SCROLLED_WINDOW(controls), TRUE);
    gtk_scrolled_window_set_propagate_natural_height(GTK_SCROLLED_WINDOW(controls), TRUE);
    gtk_container_add(GTK_CONTAINER(controls), buildControls(&fixture));
    gtk_notebook_append_page(GTK_NOTEBOOK(notebook), controls, gtk_label_new("Controls"));
    gtk_notebook_append_page(GTK_NOTEBOOK(notebook), buildListPage(&fixture), gtk_label_new("List"));
    gtk_notebook_append_page(GTK_NOTEBOOK(notebook), gtk_label_new("Kest fixture application"),
                             gtk_label_new("About"));
    gtk_notebook_append_page(GTK_NOTEBOOK(notebook), buildPadPage(&fixture), gtk_label_new("Pad"));
    gtk_container_add(GTK_CONTAINER(layout), notebook);
    gtk_container_add(GTK_CONTAINER(fixture.window), layout);

    gtk_widget_show_all(fixture.window);
    gtk_main();
    return 0;
}
