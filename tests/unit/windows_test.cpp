// Window refs, the window list's filters, grabbing and the window operations,
// driven through the dispatcher over the fake desktop.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "support/dispatcher_harness.hpp"

namespace kest::fake {
namespace {

// Safari (pid 10) with two windows titled "Docs" (the second exactly 50 x 50)
// and a palette in layer 3; Safari Technology Preview (pid 20); Notes (pid 30,
// hidden) whose only window is 49 x 600; a record without a height and one
// without an owner. The list is front-most first.
Json desktopScene() {
    return Json::parse(R"({
      "screens": [{"id": 1, "frame": [0, 0, 1440, 900], "visible": [0, 0, 1440, 875]}],
      "main_screen": 0,
      "apps": [
        {"name": "Safari", "bundle_id": "com.apple.Safari", "pid": 10, "active": true,
         "windows": [
           {"id": "docs_a", "role": "AXWindow", "title": "Docs", "window": 101,
            "attrs": {"AXCloseButton": {"element": "close_a"}, "AXZoomButton": {"element": "zoom_a"}},
            "children": [{"id": "close_a", "role": "AXButton"}, {"id": "zoom_a", "role": "AXButton"}]},
           {"id": "docs_b", "role": "AXWindow", "title": "Docs", "window": 102}]},
        {"name": "Safari Technology Preview", "bundle_id": "com.apple.SafariTechnologyPreview", "pid": 20,
         "windows": [{"id": "stp", "role": "AXWindow", "title": "Start", "window": 201}]},
        {"name": "Notes", "pid": 30, "hidden": true,
         "windows": [{"id": "strip", "role": "AXWindow", "title": "Strip", "window": 301}]}],
      "windows": [
        {"number": 100, "pid": 10, "title": "Palette", "bounds": [0, 0, 300, 300], "layer": 3},
        {"number": 101, "pid": 10, "title": "Docs", "bounds": [10, 20, 800, 600]},
        {"number": 201, "pid": 20, "title": "Start", "bounds": [30, 40, 640, 480]},
        {"number": 301, "pid": 30, "title": "Strip", "bounds": [0, 0, 49, 600]},
        {"number": 102, "pid": 10, "title": "Docs", "bounds": [5, 5, 50, 50]},
        {"number": 400, "pid": 10, "title": "No height", "bounds": {"X": 0, "Y": 0, "Width": 500}},
        {"number": 500, "owner": null, "pid": 10, "title": "No owner", "bounds": [0, 0, 500, 500]},
        {"number": 600, "pid": 99, "owner": "Ghost", "bounds": [1, 2, 300, 200]}]
    })");
}

Json refsOf(const Json& windows) {
    Json refs = Json::array();
    for (const auto& w : windows) refs.push_back(Json::array({w["ref"], w["app"], w["title"]}));
    return refs;
}

TEST(WindowList, FiltersOrderAndRecords) {
    DispatcherHarness harness(desktopScene());
    Json windows = harness.result("windows")["windows"];
    // Layer 3, 49 wide, no height and no owner are left out; 50 x 50 stays.
    EXPECT_EQ(refsOf(windows), Json::parse(R"([["@w1", "Safari", "Docs"], ["@w2", "Safari Technology Preview", "Start"],
                                               ["@w3", "Safari", "Docs"], ["@w4", "Ghost", ""]])"));
    EXPECT_EQ(windows[0], Json::parse(R"({"ref": "@w1", "title": "Docs", "app": "Safari", "bundle_id": "com.apple.Safari",
        "process_id": 10, "bounds": [10.0, 20.0, 800.0, 600.0], "minimized": false, "hidden": false, "fullscreen": false})"));
    // An owner that is no running application has no bundle identifier.
    EXPECT_EQ(windows[3]["bundle_id"], "");
    EXPECT_EQ(windows[3]["process_id"], 99);
}

TEST(WindowList, ApplicationFilterIsWholeNameIgnoringCase) {
    // Filtered or not, every window is numbered in stacking order.
    const std::pair<Json, Json> rows[] = {
        {{{"app", "safari"}}, Json::parse(R"([["@w1", "Safari", "Docs"], ["@w3", "Safari", "Docs"]])")},
        {{{"app", "SAFARI TECHNOLOGY PREVIEW"}}, Json::parse(R"([["@w2", "Safari Technology Preview", "Start"]])")},
        {{{"app", "Safar"}}, Json::array()},
        {{{"app", "Notes"}}, Json::array()},  // its one window is too narrow
        {{{"app", 7}}, Json::parse(R"([["@w1", "Safari", "Docs"], ["@w2", "Safari Technology Preview", "Start"],
                                       ["@w3", "Safari", "Docs"], ["@w4", "Ghost", ""]])")},
    };
    for (const auto& [params, expected] : rows) {
        DispatcherHarness harness(desktopScene());
        EXPECT_EQ(refsOf(harness.result("windows", params)["windows"]), expected) << params;
    }
}

TEST(WindowList, ARefKeepsItsWindowForAsLongAsItExists) {
    DispatcherHarness harness(desktopScene());
    auto& desktop = harness.desktop();
    auto& manager = harness.dispatcher().windowManager;
    auto windowAt = [&](std::int64_t number) {
        return std::ranges::find_if(desktop.windows, [&](const auto& w) { return w.record.number == number; });
    };
    auto listed = [&] { return refsOf(harness.result("windows")["windows"]); };
    Json first = harness.result("windows");
    EXPECT_EQ(harness.result("windows"), first);

    struct Row {
        const char* what;
        std::function<void()> change;
        Json expected;
    };
    const Row rows[] = {
        {"a filtered listing first changes nothing",
         [&] { harness.result("windows", {{"app", "Ghost"}}); },
         Json::parse(R"([["@w1", "Safari", "Docs"], ["@w2", "Safari Technology Preview", "Start"],
                         ["@w3", "Safari", "Docs"], ["@w4", "Ghost", ""]])")},
        {"the stacking changes: the order follows, the refs stay",
         [&] { std::rotate(desktop.windows.begin(), desktop.windows.end() - 1, desktop.windows.end()); },
         Json::parse(R"([["@w4", "Ghost", ""], ["@w1", "Safari", "Docs"], ["@w2", "Safari Technology Preview", "Start"],
                         ["@w3", "Safari", "Docs"]])")},
        {"the front-most goes: the others keep theirs",
         [&] { desktop.windows.erase(windowAt(600)); },
         Json::parse(R"([["@w1", "Safari", "Docs"], ["@w2", "Safari Technology Preview", "Start"],
                         ["@w3", "Safari", "Docs"]])")},
        {"minimised, a window is not listed but keeps its ref",
         [&] { windowAt(201)->record.isOnscreen = false; },
         Json::parse(R"([["@w1", "Safari", "Docs"], ["@w3", "Safari", "Docs"]])")},
        {"and has it again when it comes back",
         [&] { windowAt(201)->record.isOnscreen = true; },
         Json::parse(R"([["@w1", "Safari", "Docs"], ["@w2", "Safari Technology Preview", "Start"],
                         ["@w3", "Safari", "Docs"]])")},
        {"a new window takes the next number, never a freed one",
         [&] {
             FakeWindow another = *windowAt(101);
             another.record.number = 700;
             desktop.windows.insert(desktop.windows.begin(), another);
         },
         Json::parse(R"([["@w5", "Safari", "Docs"], ["@w1", "Safari", "Docs"], ["@w2", "Safari Technology Preview", "Start"],
                         ["@w3", "Safari", "Docs"]])")},
        {"a number taken again by another process is another window",
         [&] { windowAt(201)->record.ownerPID = 10; windowAt(201)->record.ownerName = "Safari"; },
         Json::parse(R"([["@w5", "Safari", "Docs"], ["@w1", "Safari", "Docs"], ["@w6", "Safari", "Start"],
                         ["@w3", "Safari", "Docs"]])")},
    };
    for (const auto& row : rows) {
        row.change();
        EXPECT_EQ(listed(), row.expected) << row.what;
    }
    EXPECT_FALSE(manager.getWindowInfo("@w2"));
    EXPECT_FALSE(manager.getWindowInfo("@w4"));

    // Without a list from the window server the refs stay as they were.
    desktop.knobs.windowListUnavailable = true;
    EXPECT_EQ(harness.result("windows"), Json({{"windows", Json::array()}}));
    EXPECT_EQ(manager.getWindowID("@w6"), 201u);
}

TEST(WindowManagerLookups, AccessibilityWindowByTitleElseFirst) {
    DispatcherHarness harness(desktopScene());
    auto& manager = harness.dispatcher().windowManager;
    auto& desktop = harness.desktop();
    harness.result("windows");
    // Two "Docs" windows: both refs reach the first in accessibility order.
    EXPECT_EQ(desktop.idOf(manager.getAXWindow(desktop, "@w1")), "docs_a");
    EXPECT_EQ(desktop.idOf(manager.getAXWindow(desktop, "@w3")), "docs_a");
    EXPECT_EQ(manager.getPID("@w2"), 20);
    EXPECT_FALSE(manager.getAXWindow(desktop, "@w9"));
    // A process without accessible windows.
    EXPECT_FALSE(manager.getAXWindow(desktop, "@w4"));

    // A title that matches nothing falls back to the application's first window.
    manager.windowInfoCache["@w2"]["title"] = "Renamed";
    EXPECT_EQ(desktop.idOf(manager.getAXWindow(desktop, "@w2")), "stp");
    manager.windowInfoCache["@w1"]["title"] = "Other";
    EXPECT_EQ(desktop.idOf(manager.getAXWindow(desktop, "@w1")), "docs_a");
}

TEST(Grab, ByApplicationByRefAndPositional) {
    DispatcherHarness harness(desktopScene());
    Json grabbed = harness.result("grab", {{"app", "safari technology preview"}, {"ref", "@w3"}});
    EXPECT_EQ(grabbed["window"]["ref"], "@w2");
    EXPECT_EQ(grabbed["window"]["app"], "Safari Technology Preview");
    Json status = harness.result("status");
    EXPECT_EQ(status["grabbed_window"], "@w2");
    EXPECT_EQ(status["grabbed_app"], "Safari Technology Preview");
    EXPECT_EQ(status["grabbed_pid"], 20);

    EXPECT_EQ(harness.result("grab", {{"_positional", {"@w3"}}})["window"]["title"], "Docs");
    EXPECT_EQ(harness.result("status")["grabbed_pid"], 10);
    EXPECT_EQ(harness.result("grab", {{"ref", "@w2"}})["window"]["app"], "Safari Technology Preview");

    EXPECT_EQ(harness.result("ungrab"), Json({{"ok", true}}));
    EXPECT_TRUE(harness.result("status")["grabbed_window"].is_null());
}

TEST(Grab, TheSnapshotNamesItsWindowsRef) {
    DispatcherHarness harness(desktopScene());
    harness.result("grab", {{"ref", "@w2"}});
    EXPECT_EQ(harness.result("snapshot")["window"]["ref"], "@w2");
    // Named outright: the application's listed window of that title (the
    // older of two), or null for one never listed (Notes' is too narrow).
    EXPECT_EQ(harness.result("snapshot", {{"app", "Safari"}})["window"]["ref"], "@w1");
    EXPECT_EQ(harness.result("snapshot", {{"pid", 30}})["window"]["ref"], nullptr);
}

TEST(Grab, Failures) {
    DispatcherHarness harness(desktopScene());
    harness.result("grab", {{"ref", "@w1"}});
    Json unknown = harness.call("grab", {{"ref", "@w9"}});
    EXPECT_EQ(unknown["error"], Json::parse(R"({"code": -32005, "message": "Window not found: @w9",
        "data": {"available_windows": ["@w1", "@w2", "@w3", "@w4"]}})"));
    EXPECT_EQ(harness.result("status")["grabbed_window"], "@w1");

    const std::pair<Json, Json> rows[] = {
        {Json::object(), {{"code", -32602}, {"message", "Missing window ref or --app name"}}},
        {{{"ref", 1}, {"_positional", {2}}}, {{"code", -32602}, {"message", "Missing window ref or --app name"}}},
        {{{"app", "Safar"}}, {{"code", -32005}, {"message", "No window found for app: Safar"}}},
    };
    for (const auto& [params, expected] : rows) EXPECT_EQ(harness.error("grab", params), expected) << params;
}

TEST(WindowActions, ChangeTheWindowThroughAccessibility) {
    struct Row {
        const char* method;
        Json result;
        Json writes;
        Json actions;
    };
    const Row rows[] = {
        {"minimize", {{"ok", true}, {"ref", "@w1"}},
         Json::parse(R"([{"element": "docs_a", "attr": "AXMinimized", "value": true, "status": 0}])"), Json::array()},
        {"maximize", {{"ok", true}, {"ref", "@w1"}}, Json::array(),
         Json::parse(R"([{"element": "zoom_a", "action": "AXPress", "status": 0}])")},
        {"close", {{"ok", true}, {"ref", "@w1"}}, Json::array(),
         Json::parse(R"([{"element": "close_a", "action": "AXPress", "status": 0}])")},
        // No full-screen attribute reads as false.
        {"fullscreen", {{"ok", true}, {"ref", "@w1"}, {"fullscreen", true}},
         Json::parse(R"([{"element": "docs_a", "attr": "AXFullScreen", "value": true, "status": 0}])"), Json::array()},
    };
    for (const auto& row : rows) {
        DispatcherHarness harness(desktopScene());
        harness.result("grab", {{"ref", "@w1"}});
        EXPECT_EQ(harness.result(row.method), row.result) << row.method;
        EXPECT_EQ(writesJson(harness.desktop()), row.writes) << row.method;
        EXPECT_EQ(actionsJson(harness.desktop()), row.actions) << row.method;
    }
}

TEST(WindowActions, MissingButtonsFullScreenToggleAndRaise) {
    DispatcherHarness harness(desktopScene());
    harness.result("windows");
    // docs_b has no zoom or close button: nothing is pressed, still ok.
    EXPECT_EQ(harness.result("maximize", {{"ref", "@w2"}}), Json({{"ok", true}, {"ref", "@w2"}}));
    EXPECT_EQ(harness.result("close", {{"ref", "@w2"}}), Json({{"ok", true}, {"ref", "@w2"}}));
    EXPECT_EQ(actionsJson(harness.desktop()), Json::array());

    harness.desktop().setStored("stp", "AXFullScreen", platform::Value::boolean(true));
    EXPECT_EQ(harness.result("fullscreen", {{"ref", "@w2"}})["fullscreen"], false);

    harness.desktop().windowByNumber(201)->record.isOnscreen = false;
    harness.desktop().calls.clear();
    EXPECT_EQ(harness.result("raise", {{"ref", "@w2"}}), Json({{"ok", true}, {"ref", "@w2"}}));
    EXPECT_EQ(writesJson(harness.desktop()).back(),
              Json::parse(R"({"element": "stp", "attr": "AXMinimized", "value": false, "status": 0})"));
    EXPECT_EQ(harness.desktop().windowByNumber(201)->record.isOnscreen, true);
    EXPECT_EQ(actionsJson(harness.desktop()).back(), Json::parse(R"({"element": "stp", "action": "AXRaise", "status": 0})"));
    // The raised window is the one brought forward with its application.
    EXPECT_EQ(harness.desktop().callsTo("activate"),
              std::vector<Json>{Json::parse(R"({"operation": "activate", "pid": 20, "options": 2, "window": 201})")});
}

TEST(WindowActions, RefResolutionAndRefresh) {
    DispatcherHarness harness(desktopScene());
    const Json missing = {{"code", -32602}, {"message", "Missing window ref. Grab a window or pass --ref."}};
    const Json gone = {{"code", -32005}, {"message", "Window not found: @w2"}};
    for (const char* method : {"minimize", "maximize", "fullscreen", "close", "raise"}) {
        EXPECT_EQ(harness.error(method), missing) << method;
        EXPECT_EQ(harness.error(method, {{"ref", "@w9"}}), Json({{"code", -32005}, {"message", "Window not found: @w9"}}));
    }

    // A ref named after a listing of another application is still its window.
    harness.result("windows", {{"app", "Safari Technology Preview"}});
    harness.desktop().writes.clear();
    EXPECT_EQ(harness.result("minimize", {{"ref", "@w3"}}), Json({{"ok", true}, {"ref", "@w3"}}));
    EXPECT_EQ(harness.dispatcher().windowManager.getWindowID("@w3"), 102u);
    EXPECT_EQ(writesJson(harness.desktop())[0]["element"], "docs_a");

    // A window gone since the listing: its ref reaches nothing, neither by a
    // window method nor by a grab, and the grab names the refs there are.
    harness.result("grab", {{"ref", "@w2"}});
    harness.desktop().windows.erase(harness.desktop().windows.begin() + 2);  // Start, @w2
    harness.desktop().writes.clear();
    for (const char* method : {"minimize", "close", "raise"}) EXPECT_EQ(harness.error(method), gone) << method;
    EXPECT_EQ(harness.error("move", {{"ref", "@w2"}, {"x", 1}, {"y", 2}}), gone);
    EXPECT_TRUE(harness.desktop().writes.empty());
    // (@w1, minimised above, is not on the screen to be offered.)
    EXPECT_EQ(harness.call("grab", {{"ref", "@w2"}})["error"]["data"],
              Json::parse(R"({"available_windows": ["@w3", "@w4"]})"));
}

TEST(MoveResizeBounds, ParameterErrors) {
    struct Row {
        const char* method;
        Json params;
        std::int64_t code;
        std::string message;
    };
    const Row rows[] = {
        {"move", {{"x", 1}, {"y", 2}}, -32602, "Missing window ref"},
        {"move", {{"ref", "@w1"}, {"x", 1}}, -32602, "Missing x or y coordinate"},
        {"move", {{"ref", "@w1"}, {"x", "1"}, {"y", 2}}, -32602, "Missing x or y coordinate"},
        {"move", {{"ref", "@w9"}, {"x", 1}, {"y", 2}}, -32005, "Window not found: @w9"},
        {"resize", Json::object(), -32602, "Missing window ref"},
        {"resize", {{"ref", "@w1"}, {"height", 2}}, -32602, "Missing width or height"},
        {"bounds", Json::object(), -32602, "Missing window ref"},
        {"bounds", {{"ref", "@w1"}, {"x", 0}, {"y", 0}, {"width", 10}}, -32602,
         "Missing bounds (x, y, width, height) or --preset"},
        {"bounds", {{"ref", "@w1"}, {"preset", "Left-Half"}}, -32602,
         "Unknown preset: Left-Half. Use: left-half, right-half, top-half, bottom-half, center, fill"},
        {"bounds", {{"ref", "@w9"}, {"preset", "fill"}}, -32005, "Window not found: @w9"},
    };
    for (const auto& row : rows) {
        DispatcherHarness harness(desktopScene());
        EXPECT_EQ(harness.error(row.method, row.params), Json({{"code", row.code}, {"message", row.message}}))
            << row.method << " " << row.params;
    }
}

TEST(MoveResizeBounds, WritesPositionAndSize) {
    DispatcherHarness harness(desktopScene());
    harness.result("grab", {{"ref", "@w2"}});
    EXPECT_EQ(harness.result("move", {{"x", 15}, {"y", 25.5}}),
              Json::parse(R"({"ok": true, "ref": "@w2", "position": [15.0, 25.5]})"));
    EXPECT_EQ(harness.result("resize", {{"width", 700}, {"height", 500}}),
              Json::parse(R"({"ok": true, "ref": "@w2", "size": [700.0, 500.0]})"));
    // A preset wins over numbers given with it.
    EXPECT_EQ(harness.result("bounds", {{"preset", "fill"}, {"x", 1}, {"y", 1}, {"width", 1}, {"height", 1}}),
              Json::parse(R"({"ok": true, "ref": "@w2", "bounds": [0.0, 25.0, 1440.0, 875.0]})"));
    EXPECT_EQ(writesJson(harness.desktop()), Json::parse(R"([
        {"element": "stp", "attr": "AXPosition", "value": {"point": [15.0, 25.5]}, "status": 0},
        {"element": "stp", "attr": "AXSize", "value": {"size": [700.0, 500.0]}, "status": 0},
        {"element": "stp", "attr": "AXPosition", "value": {"point": [0.0, 25.0]}, "status": 0},
        {"element": "stp", "attr": "AXSize", "value": {"size": [1440.0, 875.0]}, "status": 0}])"));

    harness.desktop().knobs.geometryValuesFail = true;
    EXPECT_EQ(harness.error("move", {{"x", 1}, {"y", 2}}), Json({{"code", -32600}, {"message", "Failed to create position value"}}));
    EXPECT_EQ(harness.error("resize", {{"width", 1}, {"height", 2}}), Json({{"code", -32600}, {"message", "Failed to create size value"}}));
    // Setting bounds skips values it cannot make and still answers.
    EXPECT_EQ(harness.result("bounds", {{"x", 1}, {"y", 2}, {"width", 3}, {"height", 4}})["bounds"],
              Json::parse("[1.0, 2.0, 3.0, 4.0]"));
}

TEST(MoveResizeBounds, PresetsOnAScreenWithAMenuBar) {
    const std::pair<const char*, Json> rows[] = {
        {"left-half", Json::parse("[0.0, 25.0, 720.0, 875.0]")},
        {"right-half", Json::parse("[720.0, 25.0, 720.0, 875.0]")},
        {"top-half", Json::parse("[0.0, 25.0, 1440.0, 437.5]")},
        {"bottom-half", Json::parse("[0.0, 462.5, 1440.0, 437.5]")},
        {"center", Json::parse("[288.0, 200.0, 864.0, 525.0]")},
        {"fill", Json::parse("[0.0, 25.0, 1440.0, 875.0]")},
    };
    for (const auto& [preset, bounds] : rows) {
        DispatcherHarness harness(desktopScene());
        EXPECT_EQ(harness.result("bounds", {{"ref", "@w2"}, {"preset", preset}})["bounds"], bounds) << preset;
        Json writes = writesJson(harness.desktop());
        ASSERT_EQ(writes.size(), 2u) << preset;
        EXPECT_EQ(writes[0]["value"]["point"], Json::array({bounds[0], bounds[1]})) << preset;
        EXPECT_EQ(writes[1]["value"]["size"], Json::array({bounds[2], bounds[3]})) << preset;
    }
    // The main screen is checked before the name.
    Json scene = desktopScene();
    scene["main_screen"] = nullptr;
    DispatcherHarness noScreen(scene);
    EXPECT_EQ(noScreen.error("bounds", {{"ref", "@w2"}, {"preset", "Left-Half"}}),
              Json({{"code", -32600}, {"message", "No main screen found"}}));
}

}  // namespace
}  // namespace kest::fake
