// Menus by path, menu listings and dialogs over the fake desktop: what is
// pressed, written and typed, in order with the pauses, and every error.
#include <gtest/gtest.h>

#include <algorithm>
#include <variant>

#include "desktop/menus.hpp"
#include "support/dispatcher_harness.hpp"
#include "support/fake_scenes.hpp"

namespace kest::fake {
namespace {

using scenes::node;
using scenes::pause;
using scenes::press;
using scenes::write;

constexpr int ESCAPE = 53;

Json escape() {
    return Json::array({{{"key", ESCAPE}, {"down", true}, {"text", ""}, {"flags", 0}},
                        {{"key", ESCAPE}, {"down", false}, {"text", ""}, {"flags", 0}}});
}
Json error(std::int64_t code, const std::string& message) { return {{"code", code}, {"message", message}}; }

// What the engine did since the last call, and a fresh start.
Json took(DispatcherHarness& harness) {
    Json list = harness.desktop().timeline;
    harness.desktop().timeline.clear();
    return list;
}

TEST(MenuPathTest, SplitsAtEveryMarkDropsEmptyPiecesThenTrims) {
    const std::pair<const char*, std::vector<std::string>> rows[] = {
        {"File > Save As…", {"File", "Save As…"}},
        {"File>>Open", {"File", "Open"}},
        {"  File\t>  Export > PDF ", {"File", "Export", "PDF"}},
        {"File > \t > Save", {"File", "", "Save"}},  // a piece of white space is an empty title
        {"Save", {"Save"}},
        {">File>", {"File"}},
        {">>>", {}},
        {"", {}},
    };
    for (const auto& [path, parts] : rows) EXPECT_EQ(Menus::splitPath(path), parts) << path;
}

class MenusTest : public ::testing::Test {
protected:
    DispatcherHarness harness{scenes::menuBar()};
};

TEST_F(MenusTest, ClickPressesEachPartAndOpensMenusOnTheWay) {
    EXPECT_EQ(harness.result("menu_click", {{"path", "file > EXPORT > pdf"}}),
              Json({{"ok", true}, {"path", "file > EXPORT > pdf"}}));
    EXPECT_EQ(took(harness), Json::array({press("file"), pause(0.1), press("export"), pause(0.1), press("pdf")}));

    // The empty piece is dropped; "app" names the application by its name.
    harness.desktop().hide("file_menu");
    EXPECT_EQ(harness.result("menu_click", {{"path", "File >> Open…"}, {"app", "EDITOR"}})["ok"], true);
    EXPECT_EQ(took(harness), Json::array({press("file"), pause(0.1), press("open")}));

    // A bare title is found anywhere below the bar and pressed directly.
    EXPECT_EQ(harness.result("menu_click", {{"path", "Copy"}})["ok"], true);
    EXPECT_EQ(took(harness), Json::array({press("copy")}));
}

TEST_F(MenusTest, ClickErrors) {
    EXPECT_EQ(harness.error("menu_click"), error(-32602, "Missing menu path"));
    EXPECT_EQ(harness.error("menu_click", {{"path", ""}}), error(-32602, "Empty menu path"));
    EXPECT_EQ(harness.error("menu_click", {{"path", " >> > "}}).dump(),
              error(-32001, "Menu item not found:  (in path:  >> > )").dump())
        << "a piece of spaces is an empty title, not an empty path";
    harness.desktop().timeline.clear();
    EXPECT_EQ(harness.error("menu_click", {{"path", ">>"}}), error(-32602, "Empty menu path"));
    // The menu bar is looked for first.
    EXPECT_EQ(harness.error("menu_click", {{"path", ""}, {"app", "Nothing"}}), error(-32600, "Could not access menu bar"));
    EXPECT_EQ(harness.error("menu_click", {{"path", "File"}, {"app", "com.example.editor"}}),
              error(-32600, "Could not access menu bar"));
    EXPECT_EQ(took(harness), Json::array());

    // A missing second part leaves the first menu open and presses no key;
    // it is looked for again every 0.05 s until 2 s after the menu opened (a
    // menu still filling has its later items last).
    EXPECT_EQ(harness.error("menu_click", {{"path", "File > Nope "}}),
              error(-32001, "Menu item not found: Nope (in path: File > Nope )"));
    Json searched = Json::array({press("file"), pause(0.1)});
    for (int poll = 0; poll < 38; ++poll) searched.push_back(pause(0.05));
    EXPECT_EQ(took(harness), searched);
    EXPECT_TRUE(harness.desktop().isPresent("file_menu"));

    // Spaces between two marks name the first untitled item (the separator),
    // below which nothing is titled Open…. It opens no menu: after the first
    // 0.1 s it is looked at every 0.05 s until 2 s have passed in all.
    EXPECT_EQ(harness.error("menu_click", {{"path", "File >   > Open…"}})["code"], -32001);
    Json opened = Json::array({press("file"), pause(0.1), press("separator"), pause(0.1)});
    for (int poll = 0; poll < 38; ++poll) opened.push_back(pause(0.05));
    EXPECT_EQ(took(harness), opened);

    harness.desktop().apps[0].info.active = false;
    EXPECT_EQ(harness.error("menu_click", {{"path", "File"}}), error(-32600, "Could not access menu bar"));
}

TEST(MenuSearchTest, FirstMatchInPreOrderAtAnyDepth) {
    // "Target" sits three levels down in the first menu and directly in the
    // second: the deep one comes first in pre-order.
    Json deep = node("a_menu", "AXMenu", {{"children", Json::array({node("x", "AXMenuItem", {{"title", "X"}, {"children", {
        node("x_menu", "AXMenu", {{"children", {node("deep", "AXMenuItem", {{"title", "TARGET"}})}}})}}})})}});
    Json bar = node("bar", "AXMenuBar", {{"children", {
        node("a", "AXMenuBarItem", {{"title", "A"}, {"children", {deep}}}),
        node("b", "AXMenuBarItem", {{"title", "B"}, {"children", {
            node("b_menu", "AXMenu", {{"children", Json::array({node("shallow", "AXMenuItem", {{"title", "Target"}})})}})}}})}}});
    DispatcherHarness harness(Json{{"apps", {{{"name", "Deep"}, {"pid", 10}, {"active", true}, {"menu_bar", bar}}}}});
    EXPECT_EQ(harness.result("menu_click", {{"path", "target"}})["ok"], true);
    EXPECT_EQ(took(harness), Json::array({press("deep")}));
    // From B's menu on, only B's subtree is searched.
    EXPECT_EQ(harness.result("menu_click", {{"path", "B > Target"}})["ok"], true);
    EXPECT_EQ(took(harness), Json::array({press("b"), pause(0.1), press("shallow")}));
}

Json mouse(int type, double x, double y) {
    return {{"mouse", type}, {"at", {x, y}}, {"button", 0}, {"click", 1}, {"flags", 0}};
}

// GTK 4's menu-bar items have no action, and their pop-over and its items
// come some time after the click: the pointer is brought over the item, the
// item clicked at its centre and its menu read once the items are there.
TEST(MenuToolkitsTest, AnItemWithoutActionIsClickedAndItsMenuAwaited) {
    Json bar = node("bar", "AXMenuBar", {{"children", Json::array({node("view", "AXMenuBarItem", {
        {"title", "View"}, {"actions", Json::array()}, {"frame", {100, 10, 40, 20}},
        {"children", {node("view_menu", "AXMenu", {{"hidden", true}, {"children", {
            node("toolbar", "AXMenuItem", {{"title", "Toolbar"}, {"hidden", true}})}}})}}})})}});
    DispatcherHarness harness(Json{{"apps", {{{"name", "Factory"}, {"pid", 40}, {"active", true}, {"menu_bar", bar}}}}});
    harness.desktop().onEvent([](FakeDesktop& desktop, const p::Event& event) {
        const auto* click = std::get_if<p::MouseEvent>(&event);
        if (click && click->type == p::MouseEventType::leftUp) desktop.show("view_menu");
    });
    int pauses = 0;
    harness.clock().onPause = [&] {
        if (++pauses == 4) harness.desktop().show("toolbar");
    };
    const Json moved = {{"mouse", 5}, {"at", {120, 20}}, {"button", 0}, {"click", 0}, {"flags", 0}};
    const Json opened = Json::array({press("view"), moved, pause(0.05), mouse(1, 120, 20), mouse(2, 120, 20),
                                     pause(0.1), pause(0.05), pause(0.05)});

    EXPECT_EQ(harness.result("menu_click", {{"path", "View > Toolbar"}})["ok"], true);
    Json clicked = opened;
    clicked.push_back(press("toolbar"));
    EXPECT_EQ(took(harness), clicked);

    harness.desktop().hide("view_menu");
    harness.desktop().hide("toolbar");
    pauses = 0;
    EXPECT_EQ(harness.result("menu_list", {{"menu", "View"}})["items"], Json::parse(R"([{"title": "Toolbar", "enabled": true}])"));
    Json listed = opened;
    for (const auto& key : escape()) listed.push_back(key);
    EXPECT_EQ(took(harness), listed);

    // An item that has no action and no position is not clicked anywhere.
    harness.desktop().failRead("view", "AXPosition", -25212);
    EXPECT_EQ(harness.error("menu_click", {{"path", "View > Nope"}})["code"], -32001);
    const Json timeline = took(harness);
    EXPECT_TRUE(std::ranges::none_of(timeline, [](const Json& entry) { return entry.contains("mouse"); })) << timeline;
}

TEST_F(MenusTest, ListsTopLevelMenusAndOneMenusItems) {
    EXPECT_EQ(harness.result("menu_list"), Json({{"ok", true}, {"items", {{{"title", "File"}}, {{"title", "Edit"}}}}}));
    EXPECT_EQ(took(harness), Json::array()) << "no key without a menu";

    // The separator has no title; Export's submenu is closed, so it has no children.
    EXPECT_EQ(harness.result("menu_list", {{"menu", "file"}}),
              Json({{"ok", true},
                    {"menu", "file"},
                    {"items",
                     {{{"title", "New"}, {"enabled", true}},
                      {{"title", "Open…"}, {"enabled", true}},
                      {{"title", "Export"}, {"enabled", true}}}}}));
    Json expected = Json::array({press("file"), pause(0.1)});
    for (const auto& key : escape()) expected.push_back(key);
    EXPECT_EQ(took(harness), expected);

    EXPECT_EQ(harness.result("menu_list", {{"menu", "Edit"}})["items"],
              Json({{{"title", "Undo"}, {"enabled", false}}, {{"title", "Copy"}, {"enabled", true}}}));
    took(harness);

    EXPECT_EQ(harness.error("menu_list", {{"menu", "Nope"}}), error(-32001, "Menu not found: Nope"));
    EXPECT_EQ(took(harness), escape());
    EXPECT_EQ(harness.error("menu_list", {{"app", "Nothing"}}), error(-32600, "Could not access menu bar"));

    // A bar whose children cannot be read lists nothing, with or without a menu.
    harness.desktop().failRead("menubar", "AXChildren", -25202);
    EXPECT_EQ(harness.result("menu_list", {{"menu", "File"}}), Json({{"ok", true}, {"items", Json::array()}}));
    EXPECT_EQ(took(harness), Json::array());
}

// A chain of submenus seven items deep below "Deep", each item opening an
// AXMenu with the next; a group inside the first menu hides its item.
Json deepMenuScene() {
    Json inner = node("item7", "AXMenuItem", {{"title", "Item 7"}});
    for (int level = 6; level >= 1; --level) {
        const std::string n = std::to_string(level);
        inner = node("item" + n, "AXMenuItem",
                     {{"title", "Item " + n}, {"children", Json::array({node("menu" + n, "AXMenu", {{"children", {inner}}})})}});
    }
    Json menu = node("deep_menu", "AXMenu", {{"children", {
        inner,
        node("group", "AXGroup", {{"children", Json::array({node("hidden_item", "AXMenuItem", {{"title", "In Group"}})})}}),
        node("odd", "AXMenuItem", {{"title", "Odd"}, {"enabled", "yes"}}),
        node("untitled", "AXMenuItem", {{"children", Json::array({node("under_untitled", "AXMenuItem", {{"title", "Lost"}})})}})}}});
    Json bar = node("bar", "AXMenuBar", {{"children", Json::array({node("top", "AXMenuBarItem", {{"title", "Deep"}, {"children", {menu}}})})}});
    return {{"apps", {{{"name", "Nest"}, {"pid", 20}, {"active", true}, {"menu_bar", bar}}}}};
}

// The titles of the records, nested as the records are.
Json titles(const Json& records) {
    Json out = Json::array();
    for (const auto& record : records) {
        Json entry = {{"title", record["title"]}};
        if (record.contains("children")) entry["below"] = titles(record["children"]);
        out.push_back(entry);
    }
    return out;
}

TEST(MenuWalkTest, DepthAndRoles) {
    DispatcherHarness harness(deepMenuScene());
    // One level below the opened menu's items without "all"; five with it.
    // A group ends the descent, an untitled item is left out with what is
    // below it, a non-boolean "enabled" reads as true.
    const Json shallow = harness.result("menu_list", {{"menu", "deep"}})["items"];
    EXPECT_EQ(titles(shallow), Json::parse(R"([{"title": "Item 1", "below": [{"title": "Item 2"}]},
                                               {"title": "Odd"}])"));
    EXPECT_EQ(shallow[1]["enabled"], true);
    const Json all = harness.result("menu_list", {{"menu", "Deep"}, {"all", true}})["items"];
    EXPECT_EQ(titles(all)[0], Json::parse(R"({"title": "Item 1", "below": [{"title": "Item 2", "below": [
        {"title": "Item 3", "below": [{"title": "Item 4", "below": [{"title": "Item 5", "below": [
        {"title": "Item 6"}]}]}]}]}]})"));
}

TEST(MenuExtrasTest, ListsOnlyTheSystemProcessesExtras) {
    Json extras = node("extras", "AXMenuBar", {{"children", {node("wifi", "AXMenuBarExtra", {{"title", "Wi-Fi"}}),
                                                            node("blank", "AXMenuBarExtra")}}});
    DispatcherHarness none(scenes::menuBar());
    EXPECT_EQ(none.result("menubar"), Json({{"ok", true}, {"extras", Json::array()}}));

    DispatcherHarness harness(Json{{"apps",
                                {{{"name", "Control Centre"}, {"bundle_id", "com.apple.controlcenter"}, {"pid", 30},
                                  {"extras_menu_bar", extras}},
                                 {{"bundle_id", "com.apple.systemuiserver"}, {"pid", 31}, {"extras_menu_bar",
                                   node("extras2", "AXMenuBar", {{"children", Json::array({node("clock", "AXMenuBarExtra", {{"title", "Clock"}})})}})}},
                                 {{"name", "Imitator"}, {"bundle_id", "com.apple.controlcenter.helper"}, {"pid", 32},
                                  {"extras_menu_bar", node("extras3", "AXMenuBar", {{"children", Json::array({node("fake", "AXMenuBarExtra", {{"title", "Fake"}})})}})}}}}});
    EXPECT_EQ(harness.result("menubar"),
              Json({{"ok", true},
                    {"extras",
                     {{{"title", "Wi-Fi"}, {"app", "Control Centre"}},
                      {{"title", "(unnamed)"}, {"app", "Control Centre"}},
                      {{"title", "Clock"}, {"app", "Unknown"}}}}}));
}

class DialogTest : public ::testing::Test {
protected:
    DispatcherHarness harness{scenes::dialogWithSheet()};
};

TEST_F(DialogTest, DescribesTheSheetBeforeTheModalWindow) {
    EXPECT_EQ(harness.result("dialog"),
              Json({{"ok", true},
                    {"found", true},
                    {"dialog",
                     {{"type", "sheet"},
                      {"buttons", {{{"title", "Save"}}, {{"title", "Don't Save"}}, {{"title", "Cancel"}}}},
                      {"message", "Save changes? Your edits will be lost."}}}}));
    // Without the sheet, the modal window: a bare record with its title.
    harness.desktop().remove("sheet");
    EXPECT_EQ(harness.result("dialog", {{"app", "WRITER"}})["dialog"], Json({{"type", "modal"}, {"title", "Preferences"}}));
    harness.desktop().setStored("preferences", "AXModal", p::Value::integer(1));
    EXPECT_EQ(harness.result("dialog"), Json({{"ok", true}, {"found", false}})) << "AXModal must be a boolean";

    EXPECT_EQ(harness.error("dialog", {{"app", "com.example.writer"}}),
              error(-32004, "Could not find app: com.example.writer"));
    harness.desktop().apps[0].info.active = false;
    EXPECT_EQ(harness.error("dialog"), error(-32004, "Could not find app"));
}

TEST_F(DialogTest, AnswersWithTheDefaultAndCancelButtons) {
    EXPECT_EQ(harness.result("dialog_accept"), Json({{"ok", true}, {"action", "accept"}}));
    EXPECT_EQ(took(harness), Json::array({press("save")}));
    ASSERT_TRUE(harness.desktop().addNode("report", node("sheet2", "AXSheet", {{"attrs", {{"AXCancelButton", {{"element", "keep"}}}}},
        {"children", {node("no", "AXButton", {{"title", "No"}}), node("keep", "AXButton", {{"title", "Keep"}})}}})));
    EXPECT_EQ(harness.result("dialog_cancel"), Json({{"ok", true}, {"action", "cancel"}}));
    EXPECT_EQ(took(harness), Json::array({press("keep")})) << "the cancel button before the titles";
    harness.desktop().remove("sheet2");
    harness.desktop().remove("preferences");
    EXPECT_EQ(harness.error("dialog_accept"), error(-32001, "No dialog found"));
    EXPECT_EQ(harness.error("dialog_cancel"), error(-32001, "No dialog found"));
    EXPECT_EQ(harness.result("dialog"), Json({{"ok", true}, {"found", false}}));
}

// "Tool" (pid 600, frontmost) with one window whose children are given.
Json toolScene(Json windowExtra, Json children) {
    Json window = node("win", "AXWindow", {{"title", "Tool"}, {"children", std::move(children)}});
    window.update(windowExtra);
    return {{"apps", {{{"name", "Tool"}, {"pid", 600}, {"active", true}, {"windows", {window}}}}}};
}

// A button `depth` levels below the dialog (1: its direct child).
Json nested(const std::string& id, int depth, Json leaf) {
    for (int level = depth - 1; level >= 1; --level) {
        leaf = node(id + "_g" + std::to_string(level), "AXGroup", {{"children", {leaf}}});
    }
    return leaf;
}

TEST(DialogButtonsTest, TitleListsWalkOrderAndDepth) {
    const Json modal = {{"attrs", {{"AXModal", true}}}};
    struct Row {
        const char* what;
        Json children;
        Json acceptPresses;  // null: "No accept button found in dialog"
        Json cancel;         // the timeline of dialog_cancel
    };
    const Row rows[] = {
        {"Delete comes before Cancel in walk order",
         {node("delete", "AXButton", {{"title", "Delete"}}), node("cancel", "AXButton", {{"title", "Cancel"}})},
         "delete", Json::array({press("cancel")})},
        {"titles match after lowercasing, exactly",
         {node("okish", "AXButton", {{"title", "OK!"}}), node("ok", "AXButton", {{"title", "OK"}}),
          node("dismiss", "AXButton", {{"title", "DISMISS"}})},
         "ok", Json::array({press("dismiss")})},
        {"a typographic apostrophe is not the plain one",
         {node("dont", "AXButton", {{"title", "Don\u2019t Save"}}), node("apply", "AXButton", {{"title", "Apply"}})},
         nullptr, escape()},
        {"only buttons count",
         {node("text", "AXStaticText", {{"title", "OK"}}), node("check", "AXCheckBox", {{"title", "No"}})},
         nullptr, escape()},
        {"five levels down is found", Json::array({nested("d5", 5, node("yes5", "AXButton", {{"title", "Yes"}}))}), "yes5", escape()},
        {"six levels down is not", {nested("d6", 6, node("yes6", "AXButton", {{"title", "Yes"}})),
                                     nested("c6", 6, node("no6", "AXButton", {{"title", "No"}}))},
         nullptr, escape()},
    };
    for (const auto& row : rows) {
        DispatcherHarness harness(toolScene(modal, row.children));
        if (row.acceptPresses.is_null()) {
            EXPECT_EQ(harness.error("dialog_accept"), error(-32001, "No accept button found in dialog")) << row.what;
        } else {
            EXPECT_EQ(harness.result("dialog_accept"), Json({{"ok", true}, {"action", "accept"}})) << row.what;
        }
        EXPECT_EQ(took(harness), row.acceptPresses.is_null() ? Json::array() : Json::array({press(row.acceptPresses.get<std::string>())}))
            << row.what;
        const Json cancel = harness.result("dialog_cancel");
        EXPECT_EQ(cancel.value("method", "") == "escape", row.cancel == escape()) << row.what << ": " << cancel;
        EXPECT_EQ(took(harness), row.cancel) << row.what;
    }
}

TEST(DialogRecordTest, ButtonsAndTextsFromFiveLevelsInWalkOrder) {
    Json children = {
        nested("t", 2, node("hello", "AXStaticText", {{"value", "Hello"}})),
        node("empty_text", "AXStaticText", {{"value", ""}}),
        node("b1", "AXButton", {{"title", "First"}, {"children", Json::array({node("b2", "AXButton", {{"title", "Inner"}})})}}),
        node("untitled", "AXButton"),
        nested("b5", 5, node("five", "AXButton", {{"title", "Five"}})),
        nested("b6", 6, node("six", "AXButton", {{"title", "Six"}})),
        nested("t5", 5, node("world", "AXStaticText", {{"value", "world"}})),
        nested("t6", 6, node("lost", "AXStaticText", {{"value", "lost"}})),
    };
    DispatcherHarness harness(toolScene({{"role", "AXDialog"}, {"description", "Asks"}}, children));
    EXPECT_EQ(harness.result("dialog")["dialog"],
              Json({{"type", "alert"},
                    {"title", "Tool"},
                    {"description", "Asks"},
                    {"buttons", {{{"title", "First"}}, {{"title", "Inner"}}, {{"title", "Five"}}}},
                    {"message", "Hello world"}}));
}

TEST(FileDialogTest, WritesThePathIntoTheFirstFieldOfASheetOrModalWindow) {
    DispatcherHarness harness(scenes::dialogWithSheet());
    EXPECT_EQ(harness.error("dialog_file"), error(-32602, "Missing path parameter"));
    EXPECT_EQ(harness.result("dialog_file", {{"path", "/tmp/report.txt"}}), Json({{"ok", true}, {"path", "/tmp/report.txt"}}));
    EXPECT_EQ(took(harness), Json::array({write("name_field", "AXFocused", true), pause(0.1),
                                          write("name_field", "AXValue", "/tmp/report.txt"), pause(0.1)}))
        << "nothing is pressed";
    auto written = harness.desktop().storedAttribute("name_field", "AXValue");
    ASSERT_TRUE(written && written->asString());
    EXPECT_EQ(*written->asString(), "/tmp/report.txt");
    // The modal window has no field.
    harness.desktop().remove("sheet");
    EXPECT_EQ(harness.error("dialog_file", {{"path", "/x"}}), error(-32001, "No filename text field found in dialog"));
    EXPECT_EQ(harness.error("dialog_file", {{"path", "/x"}, {"app", "nothing"}}), error(-32004, "Could not find app: nothing"));

    // A text field wins over an earlier text area, which wins over an
    // earlier combo box; eight levels down is the limit.
    const std::pair<Json, Json> rows[] = {
        {{node("combo", "AXComboBox"), node("area", "AXTextArea"), nested("f", 8, node("field", "AXTextField"))}, "field"},
        {{node("combo", "AXComboBox"), node("area", "AXTextArea"), nested("f", 9, node("field", "AXTextField"))}, "area"},
        {Json::array({node("combo", "AXComboBox")}), "combo"},
    };
    for (const auto& [children, field] : rows) {
        DispatcherHarness tool(toolScene({{"attrs", {{"AXModal", true}}}}, children));
        EXPECT_EQ(tool.result("dialog_file", {{"path", "/p"}})["ok"], true);
        EXPECT_EQ(tool.desktop().writes.front().element, field.get<std::string>());
    }
    // A dialog that is not modal is an alert, never a file dialog.
    DispatcherHarness alert(toolScene({{"role", "AXDialog"}}, {node("field", "AXTextField"), node("ok", "AXButton", {{"title", "OK"}})}));
    EXPECT_EQ(alert.result("dialog")["dialog"]["type"], "alert");
    EXPECT_EQ(alert.error("dialog_file", {{"path", "/p"}}), error(-32001, "No file dialog found"));
    EXPECT_EQ(alert.result("dialog_accept")["ok"], true);
    EXPECT_EQ(actionsJson(alert.desktop()), Json::parse(R"([{"element": "ok", "action": "AXPress", "status": 0}])"));
}

// GTK 4 holds a chooser's name field a dozen levels down, next to the
// fields of pages it does not show; an open chooser shows none until asked
// for a location with Control+L.
TEST(FileDialogTest, DeepFieldsCountWhenShownAndAnOpenChooserIsAskedForItsLocation) {
    const Json modal = {{"attrs", {{"AXModal", true}}}};
    const Json hidden = nested("h", 12, node("search", "AXTextField", {{"frame", {0, 0, 0, 0}}}));
    const Json shown = nested("s", 12, node("location", "AXTextField", {{"frame", {10, 10, 300, 30}}}));

    DispatcherHarness deep(toolScene(modal, {hidden, shown}));
    EXPECT_EQ(deep.result("dialog_file", {{"path", "/tmp/a.txt"}})["ok"], true);
    EXPECT_EQ(took(deep), Json::array({write("location", "AXFocused", true), pause(0.1),
                                       write("location", "AXValue", "/tmp/a.txt"), pause(0.1)}));

    // Control+L ("cmd+l", key 37 with the command flag), then the field that
    // shows up is written.
    constexpr int L_KEY = 37;
    constexpr std::uint64_t COMMAND = 0x100000;
    const Json shortcut = Json::array({{{"key", L_KEY}, {"down", true}, {"text", ""}, {"flags", COMMAND}},
                                       {{"key", L_KEY}, {"down", false}, {"text", ""}, {"flags", COMMAND}}});
    DispatcherHarness asked(toolScene(modal, Json::array({hidden})));
    asked.desktop().onEvent([&](FakeDesktop& desktop, const p::Event& event) {
        const auto* key = std::get_if<p::KeyEvent>(&event);
        if (key && key->keyCode == L_KEY && !key->keyDown) {
            ASSERT_TRUE(desktop.addNode("win", shown));
        }
    });
    EXPECT_EQ(asked.result("dialog_file", {{"path", "/tmp/b.txt"}})["ok"], true);
    Json expected = shortcut;
    for (const Json& step : {pause(0.05), write("location", "AXFocused", true), pause(0.1),
                             write("location", "AXValue", "/tmp/b.txt"), pause(0.1)}) {
        expected.push_back(step);
    }
    EXPECT_EQ(took(asked), expected);

    // No field ever shows: looked for during 1 s, then the error.
    DispatcherHarness none(toolScene(modal, Json::array({hidden})));
    EXPECT_EQ(none.error("dialog_file", {{"path", "/x"}}), error(-32001, "No filename text field found in dialog"));
    expected = shortcut;
    for (int poll = 0; poll < 20; ++poll) expected.push_back(pause(0.05));
    EXPECT_EQ(took(none), expected);
}

TEST(FileDialogTest, AcceptPressesAgainOnlyWhileTheDialogStaysAsItWas) {
    const Json scene = toolScene({{"attrs", {{"AXModal", true}}}},
                                 {node("name", "AXTextField", {{"value", "report.txt"}}),
                                  node("save", "AXButton", {{"title", "Save"}})});
    const Json accepted = {{"ok", true}, {"action", "accept"}};
    const Json watch = Json::array({pause(0.05), pause(0.05), pause(0.05), pause(0.05), pause(0.05)});
    auto then = [](Json a, const Json& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };

    // Dropped once, then taken: pressed again after 250 ms unchanged, and
    // done at the first look after the dialog closed.
    DispatcherHarness dropped(scene);
    int presses = 0;
    dropped.desktop().onAction("save", "AXPress", [&](FakeDesktop& desktop) {
        if (++presses == 2) desktop.remove("win");
    });
    EXPECT_EQ(dropped.result("dialog_accept"), accepted);
    EXPECT_EQ(took(dropped), then(then(Json::array({press("save")}), watch), Json::array({press("save"), pause(0.05)})));

    // A press that changed the name (into a folder) or opened another window
    // (a confirmation) is not repeated.
    DispatcherHarness folder(scene);
    folder.desktop().onAction("save", "AXPress", [](FakeDesktop& desktop) {
        desktop.setStored("name", "AXValue", p::Value::string(""));
    });
    EXPECT_EQ(folder.result("dialog_accept"), accepted);
    EXPECT_EQ(took(folder), Json::array({press("save"), pause(0.05)}));
    DispatcherHarness confirm(scene);
    confirm.desktop().onAction("save", "AXPress", [](FakeDesktop& desktop) {
        auto& app = desktop.apps.front();
        ASSERT_TRUE(desktop.addNode(app.rootId, node("question", "AXWindow", {{"title", "Replace?"}})));
        app.windowIds.push_back("question");
    });
    EXPECT_EQ(confirm.result("dialog_accept"), accepted);
    EXPECT_EQ(took(confirm), Json::array({press("save"), pause(0.05)}));

    // Never taken: three more presses, then the answer all the same.
    DispatcherHarness stuck(scene);
    EXPECT_EQ(stuck.result("dialog_accept"), accepted);
    Json expected = Json::array({press("save")});
    for (int again = 0; again < 3; ++again) expected = then(then(expected, watch), Json::array({press("save")}));
    EXPECT_EQ(took(stuck), expected);
}

}  // namespace
}  // namespace kest::fake
