// Ready-made scenes for the fake desktop.
#include "support/fake_scenes.hpp"

namespace kest::fake::scenes {

Json windowWithButton() {
    return Json::parse(R"({
      "apps": [{"name": "Demo", "bundle_id": "com.example.demo", "pid": 100, "active": true,
                "bundle": "/Applications/Demo.app",
        "windows": [{"id": "main", "role": "AXWindow", "title": "Main", "window": {"number": 11, "bounds": [100, 100, 800, 600]},
          "children": [{"id": "group", "role": "AXGroup", "frame": [110, 130, 400, 200], "children": [
            {"id": "ok", "role": "AXButton", "title": "OK", "enabled": true, "frame": [120, 140, 80, 30]},
            {"id": "field", "role": "AXTextField", "value": "hello", "enabled": true, "focused": false,
             "frame": [220, 140, 200, 24]}]}]}]}],
      "bundles": [{"location": "/Applications/Demo.app", "id": "com.example.demo", "name": "Demo",
                   "executable": "/Applications/Demo.app/Contents/MacOS/Demo",
                   "info": {"CFBundleExecutable": "Demo"}}]
    })");
}

Json menuBar() {
    return Json::parse(R"({
      "apps": [{"name": "Editor", "bundle_id": "com.example.editor", "pid": 200, "active": true,
        "windows": [{"id": "editor_window", "role": "AXWindow", "title": "Untitled",
                     "window": {"number": 21, "bounds": [0, 25, 1024, 700]}}],
        "menu_bar": {"id": "menubar", "role": "AXMenuBar", "children": [
          {"id": "file", "role": "AXMenuBarItem", "title": "File", "on": {"AXPress": [{"do": "show", "id": "file_menu"}]},
           "children": [{"id": "file_menu", "role": "AXMenu", "hidden": true, "children": [
             {"id": "new", "role": "AXMenuItem", "title": "New", "enabled": true},
             {"id": "open", "role": "AXMenuItem", "title": "Open…", "enabled": true},
             {"id": "separator", "role": "AXMenuItem", "enabled": false},
             {"id": "export", "role": "AXMenuItem", "title": "Export", "enabled": true,
              "on": {"AXPress": [{"do": "show", "id": "export_menu"}]},
              "children": [{"id": "export_menu", "role": "AXMenu", "hidden": true, "children": [
                {"id": "pdf", "role": "AXMenuItem", "title": "PDF", "enabled": true},
                {"id": "html", "role": "AXMenuItem", "title": "HTML", "enabled": true}]}]}]}]},
          {"id": "edit", "role": "AXMenuBarItem", "title": "Edit", "children": [
            {"id": "edit_menu", "role": "AXMenu", "children": [
              {"id": "undo", "role": "AXMenuItem", "title": "Undo", "enabled": false},
              {"id": "copy", "role": "AXMenuItem", "title": "Copy", "enabled": true}]}]}]}}]
    })");
}

Json dialogWithSheet() {
    return Json::parse(R"({
      "apps": [{"name": "Writer", "bundle_id": "com.example.writer", "pid": 300, "active": true,
        "windows": [
          {"id": "report", "role": "AXWindow", "title": "Report", "window": {"number": 31, "bounds": [50, 50, 900, 700]},
           "children": [{"id": "sheet", "role": "AXSheet",
             "attrs": {"AXDefaultButton": {"element": "save"}, "AXCancelButton": {"element": "cancel"}},
             "children": [
               {"id": "question", "role": "AXStaticText", "value": "Save changes?"},
               {"id": "detail", "role": "AXStaticText", "value": "Your edits will be lost."},
               {"id": "name_field", "role": "AXTextField", "value": ""},
               {"id": "save", "role": "AXButton", "title": "Save", "on": {"AXPress": [{"do": "remove", "id": "sheet"}]}},
               {"id": "dont_save", "role": "AXButton", "title": "Don't Save"},
               {"id": "cancel", "role": "AXButton", "title": "Cancel", "on": {"AXPress": [{"do": "remove", "id": "sheet"}]}}]}]},
          {"id": "preferences", "role": "AXWindow", "title": "Preferences", "attrs": {"AXModal": true},
           "window": {"number": 32, "bounds": [300, 200, 400, 300]}}]}]
    })");
}

Json largeWindow(int elements) {
    Json rows = Json::array();
    // The window, the list and two elements per row: 2 + 2 * (elements / 2) > elements.
    for (int i = 1; i <= elements / 2; ++i) {
        std::string n = std::to_string(i);
        rows.push_back({{"id", "row" + n},
                        {"role", "AXRow"},
                        {"children", Json::array({{{"id", "text" + n}, {"role", "AXStaticText"}, {"value", "Item " + n}}})}});
    }
    Json list = {{"id", "list"}, {"role", "AXList"}, {"children", rows}};
    Json window = {{"id", "items"},
                   {"role", "AXWindow"},
                   {"title", "Items"},
                   {"window", {{"number", 41}, {"bounds", {200, 100, 600, 800}}}},
                   {"children", Json::array({list})}};
    return {{"apps", Json::array({{{"name", "Catalog"}, {"bundle_id", "com.example.catalog"}, {"pid", 400},
                                   {"windows", Json::array({window})}}})}};
}

Json merged(Json base, const Json& extra) {
    for (auto& [key, value] : extra.items()) {
        if ((key == "apps" || key == "windows" || key == "bundles") && base.contains(key)) {
            for (auto& item : value) base[key].push_back(item);
        } else {
            base[key] = value;
        }
    }
    return base;
}

Json node(const std::string& id, const std::string& role, Json extra) {
    Json n = {{"id", id}, {"role", role}};
    n.update(extra);
    return n;
}

Json pause(double seconds) { return {{"pause", seconds}}; }
Json press(const std::string& id) { return {{"action", "AXPress"}, {"element", id}}; }
Json write(const std::string& id, const std::string& attribute, const Json& value) {
    return {{"write", attribute}, {"element", id}, {"value", value}};
}

}  // namespace kest::fake::scenes
