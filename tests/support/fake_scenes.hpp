// Ready-made scenes for the fake desktop: the fixtures most tests start from.
// Each returns a scene that tests may edit before building the desktop.
#pragma once

#include "support/fake_desktop.hpp"

namespace kest::fake::scenes {

// "Demo" (pid 100, com.example.demo, active): window "Main" (number 11, bounds
// [100, 100, 800, 600]) holding group "group" with button "ok" titled "OK" at
// [120, 140, 80, 30] and text field "field" with value "hello".
Json windowWithButton();

// "Editor" (pid 200, active): window "Untitled" (number 21) and a menu bar
// "menubar" with "file" (File) and "edit" (Edit). Pressing File shows its menu
// "file_menu": New, Open…, a separator, Export (submenu "export_menu" shown by
// pressing Export: PDF, HTML). Edit's menu "edit_menu" is always in the tree:
// Undo (disabled), Copy. Ids: "new", "open", "separator", "export", "pdf",
// "html", "undo", "copy".
Json menuBar();

// "Writer" (pid 300, active): window "Report" (number 31) with sheet "sheet":
// static texts "Save changes?" and "Your edits will be lost.", text field
// "name_field", buttons "save" (Save, the default button), "dont_save" (Don't
// Save) and "cancel" (Cancel, the cancel button). Window "Preferences"
// (number 32) is modal. Pressing Save or Cancel removes the sheet.
Json dialogWithSheet();

// "Catalog" (pid 400): window "Items" (number 41) with a list "list" of rows
// "row1"..., each row holding one static text, so that the window has more
// than `elements` elements.
Json largeWindow(int elements = 600);

// An element node of a scene: {"id", "role"} and the extra keys.
Json node(const std::string& id, const std::string& role, Json extra = Json::object());

// The scenes' "apps", "windows" and "bundles" concatenated; other keys from
// `extra` override those of `base`.
Json merged(Json base, const Json& extra);

// Entries of the fake desktop's timeline, as tests expect them: a pause, an
// element pressed, an attribute written.
Json pause(double seconds);
Json press(const std::string& id);
Json write(const std::string& id, const std::string& attribute, const Json& value);

}  // namespace kest::fake::scenes
