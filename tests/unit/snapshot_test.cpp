// Refs, the snapshot walk and the snapshot method over the fake desktop.
#include <gtest/gtest.h>

#include "snapshot/roles.hpp"
#include "support/dispatcher_harness.hpp"
#include "support/fake_scenes.hpp"

namespace kest::fake {
namespace {

// One application "App" (pid 700) with one window whose children are `nodes`;
// the harness grabs it as @w1.
Json appScene(const Json& nodes, const Json& appExtra = Json::object()) {
    Json app = {{"name", "App"}, {"bundle_id", "com.example.app"}, {"pid", 700}, {"active", true},
                {"windows", Json::array({{{"id", "win"}, {"role", "AXWindow"}, {"title", "Doc"},
                                          {"frame", {10, 20, 640, 480}}, {"children", nodes}}})}};
    app.update(appExtra);
    return {{"apps", Json::array({app})}};
}

void grab(DispatcherHarness& harness, std::int64_t pid = 700) {
    harness.dispatcher().grabbedWindow = "@w1";
    harness.dispatcher().windowManager.windowInfoCache["@w1"] = {{"ref", "@w1"}, {"process_id", pid}};
}

using scenes::node;

// [ref, role, label, children refs...] per record, in tree order.
Json outline(const Json& elements) {
    Json out = Json::array();
    for (const Json& e : elements) {
        Json row = {e["ref"], e["role"], e["label"]};
        if (e.contains("children")) row.push_back(outline(e["children"]));
        out.push_back(row);
    }
    return out;
}

TEST(RefAssigner, NumbersPerPrefix) {
    const std::pair<std::vector<std::string>, std::vector<std::string>> rows[] = {
        {{"AXSheet", "AXUnknown", "AXNoSuchRole", "AXStaticText"}, {"@e1", "@e2", "@e3", "@e4"}},
        {{"text", "generic"}, {"@e1", "@e2"}},
        {{"textfield", "textarea", "AXTextField"}, {"@t1", "@t2", "@t3"}},
        {{"AXCheckBox", "checkbox"}, {"@c1", "@c2"}},
        {{"row", "cell", "AXRow"}, {"@o1", "@o2", "@o3"}},
        {{"group", "tabgroup", "menubar", "toolbar", "AXRadioGroup"}, {"@g1", "@g2", "@g3", "@g4", "@g5"}},
        {{"whatever", "Button", "AXWindow", "scrollarea", "AXList"}, {"@e1", "@e2", "@w1", "@sa1", "@x1"}},
    };
    for (const auto& [roles, refs] : rows) {
        RefAssigner assigner;
        std::vector<std::string> got;
        for (const auto& role : roles) got.push_back(assigner.assign(role));
        EXPECT_EQ(got, refs) << roles.front();
    }
    RefAssigner assigner;
    assigner.assign("button");
    assigner.assign("button");
    assigner.reset();
    EXPECT_EQ(assigner.assign("AXButton"), "@b1");
}

TEST(Roles, ShortRolesAndInteractiveSet) {
    EXPECT_EQ(shortRole("AXDisclosureTriangle"), "button");
    EXPECT_EQ(shortRole("AXMenu"), "menubar");
    EXPECT_EQ(shortRole("button"), "generic");  // only accessibility roles are keys
    for (const char* role : {"button", "textfield", "textarea", "link", "checkbox", "radio", "slider", "dropdown",
                             "combobox", "stepper", "tab", "menuitem"}) {
        EXPECT_TRUE(isInteractiveRole(role)) << role;
    }
    for (const char* role : {"image", "group", "text", "row", "cell", "Button", "generic", ""}) {
        EXPECT_FALSE(isInteractiveRole(role)) << role;
    }
}

TEST(Snapshot, RecordsAndWindow) {
    DispatcherHarness harness(scenes::windowWithButton());
    grab(harness, 100);
    Json result = harness.result("snapshot");
    EXPECT_TRUE(result["snapshot_id"].is_string());
    EXPECT_EQ(result["snapshot_id"].get<std::string>().size(), 8u);
    EXPECT_EQ(result["snapshot_id"].get<std::string>().find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_TRUE(result.contains("fallback") && result["fallback"].is_null());
    EXPECT_FALSE(result.contains("hint"));
    EXPECT_EQ(result["window"], Json::parse(R"({"ref": "@w1", "title": "Main", "app": "Demo",
        "bundle_id": "com.example.demo", "process_id": 100, "bounds": [100, 100, 800, 600],
        "minimized": false, "hidden": false, "fullscreen": false})"));
    EXPECT_EQ(result["elements"], Json::parse(R"([{"ref": "@g1", "role": "group", "label": null, "value": null,
        "enabled": true, "focused": false, "bounds": [110, 130, 400, 200], "children": [
          {"ref": "@b1", "role": "button", "label": "OK", "value": null, "enabled": true, "focused": false,
           "bounds": [120, 140, 80, 30]},
          {"ref": "@t1", "role": "textfield", "label": null, "value": "hello", "enabled": true,
           "focused": false, "bounds": [220, 140, 200, 24]}]}])"));

    // The stored state: the refs, the id and the result itself.
    Dispatcher& d = harness.dispatcher();
    EXPECT_EQ(d.lastSnapshotId, result["snapshot_id"].get<std::string>());
    ASSERT_TRUE(d.lastSnapshotData);
    EXPECT_EQ(*d.lastSnapshotData, result);
    std::vector<std::string> refs;
    for (const auto& [ref, element] : d.lastRefMap) refs.push_back(ref + "=" + harness.desktop().idOf(element).value_or("?"));
    EXPECT_EQ(refs, (std::vector<std::string>{"@b1=ok", "@g1=group", "@t1=field"}));

    // Each element's reads are bounded by the messaging timeout.
    auto timeouts = harness.desktop().callsTo("setMessagingTimeout");
    ASSERT_FALSE(timeouts.empty());
    EXPECT_EQ(timeouts.front()["seconds"], 2.0);
}

TEST(Snapshot, LabelsValuesAndDefaults) {
    Json nodes = Json::array({
        node("a", "AXButton", {{"title", ""}, {"description", "described"}}),
        node("b", "AXButton", {{"description", "described"}}),
        node("c", "AXCheckBox", {{"title", "Check"}, {"value", 1}}),
        node("d", "AXSlider", {{"value", 0.5}, {"enabled", false}, {"focused", true}}),
        node("e", "AXTextField", {{"attrs", {{"AXPosition", {{"point", {5.5, 6}}}}}}}),
        node("f", "AXImage", {{"title", 3}, {"attrs", {{"AXEnabled", 0}}}}),
    });
    DispatcherHarness harness(appScene(nodes));
    grab(harness);
    Json rows = Json::array();
    const Json elements = harness.result("snapshot")["elements"];
    for (const Json& e : elements) {
        rows.push_back({e["ref"], e["label"], e["value"], e["enabled"], e["focused"], e["bounds"]});
    }
    EXPECT_EQ(rows, Json::parse(R"([
        ["@b1", "", null, true, false, [0, 0, 0, 0]],
        ["@b2", "described", null, true, false, [0, 0, 0, 0]],
        ["@c1", "Check", null, true, false, [0, 0, 0, 0]],
        ["@s1", null, null, false, true, [0, 0, 0, 0]],
        ["@t1", null, null, true, false, [5.5, 6, 0, 0]],
        ["@i1", null, null, true, false, [0, 0, 0, 0]]])"));
}

TEST(Snapshot, DepthAndRolelessElements) {
    Json nodes = Json::array({
        node("g", "AXGroup", {{"children", {node("inner", "AXButton", {{"title", "Inner"}})}}}),
        // No readable role: dropped with its subtree, and not counted.
        node("x", "AXButton", {{"fail", {{"read", {{"AXRole", -25200}}}}},
                               {"children", {node("hidden_kid", "AXButton")}}}),
        node("after", "AXButton", {{"title", "After"}}),
    });
    DispatcherHarness harness(appScene(nodes));
    grab(harness);
    const std::pair<Json, Json> rows[] = {
        {{{"depth", 0}}, Json::array()},
        {{{"depth", -3}}, Json::array()},
        {{{"depth", 1}}, Json::parse(R"([["@g1", "group", null], ["@b1", "button", "After"]])")},
        {{{"depth", 2}}, Json::parse(R"([["@g1", "group", null, [["@b1", "button", "Inner"]]], ["@b2", "button", "After"]])")},
        {Json::object(), Json::parse(R"([["@g1", "group", null, [["@b1", "button", "Inner"]]], ["@b2", "button", "After"]])")},
    };
    for (const auto& [params, expected] : rows) {
        Json result = harness.result("snapshot", params);
        EXPECT_EQ(outline(result["elements"]), expected) << params.dump();
        EXPECT_TRUE(result.contains("window") && result.contains("fallback") && result.contains("snapshot_id"));
    }
}

TEST(Snapshot, InteractiveContainersAndCompactOrder) {
    Json nodes = Json::array({
        node("g", "AXGroup", {{"title", "Box"}, {"value", "ignored"}, {"enabled", false}, {"frame", {1, 2, 3, 4}},
                              {"children", {node("t", "AXStaticText", {{"value", "caption"}}),
                                            node("ok", "AXButton", {{"title", "OK"}})}}}),
        node("plain", "AXGroup", {{"children", {node("t2", "AXStaticText")}}}),
        node("tb", "AXToolbar", {{"children", {node("grp", "AXGroup", {{"children", {node("l", "AXLink")}}})}}}),
    });
    DispatcherHarness harness(appScene(nodes));
    grab(harness);
    Json tree = harness.result("snapshot", {{"interactive", true}})["elements"];
    // Containers take their refs after their descendants; branches without
    // interactive elements are dropped.
    EXPECT_EQ(outline(tree), Json::parse(R"([["@g1", "group", "Box", [["@b1", "button", "OK"]]],
        ["@g3", "toolbar", null, [["@g2", "group", null, [["@l1", "link", null]]]]]])"));
    EXPECT_EQ(tree[0]["value"], nullptr);
    EXPECT_EQ(tree[0]["enabled"], true);
    EXPECT_EQ(tree[0]["bounds"], Json({1, 2, 3, 4}));

    Json flat = harness.result("snapshot", {{"interactive", true}, {"compact", true}})["elements"];
    std::vector<std::string> refs;
    for (const Json& e : flat) {
        refs.push_back(e["ref"]);
        EXPECT_FALSE(e.contains("children"));
    }
    EXPECT_EQ(refs, (std::vector<std::string>{"@g1", "@b1", "@g3", "@g2", "@l1"}));

    // Nothing interactive: an empty list.
    DispatcherHarness bare(appScene(Json::array({node("t", "AXStaticText")})));
    grab(bare);
    EXPECT_EQ(bare.result("snapshot", {{"interactive", true}})["elements"], Json::array());
}

TEST(Snapshot, FiveHundredElementCap) {
    DispatcherHarness harness(scenes::largeWindow(1200));
    harness.dispatcher().grabbedWindow = "@w1";
    harness.dispatcher().windowManager.windowInfoCache["@w1"] = {{"process_id", 400}};
    Json flat = harness.result("snapshot", {{"compact", true}})["elements"];
    ASSERT_EQ(flat.size(), 500u);
    EXPECT_EQ(flat[0]["ref"], "@x1");  // the list
    EXPECT_EQ(flat[499]["ref"], "@o250");
    EXPECT_EQ(harness.dispatcher().lastRefMap.size(), 500u);

    // Interactive mode counts the elements it passes over: a button after 600
    // non-interactive elements is never reached.
    ASSERT_TRUE(harness.desktop().addNode("items", node("late", "AXButton", {{"title", "Late"}})));
    EXPECT_EQ(harness.result("snapshot", {{"interactive", true}})["elements"], Json::array());
    // A subtree gets a fresh budget of its own.
    Json sub = harness.result("snapshot", {{"subtree", "@x1"}, {"compact", true}})["elements"];
    EXPECT_EQ(sub.size(), 500u);
    EXPECT_EQ(sub[0]["ref"], "@o1");
}

TEST(Snapshot, SubtreeRenumbersFromTheFullWalk) {
    Json nodes = Json::array({
        node("b0", "AXButton", {{"title", "Top"}}),
        node("g", "AXGroup", {{"children", {node("b1", "AXButton", {{"title", "Inner"}}),
                                            node("g2", "AXGroup", {{"children", {node("b2", "AXButton")}}})}}}),
    });
    DispatcherHarness harness(appScene(nodes));
    grab(harness);
    // @g1 names the group in the full non-interactive walk.
    Json sub = harness.result("snapshot", {{"subtree", "@g1"}});
    EXPECT_EQ(outline(sub["elements"]), Json::parse(R"([["@b1", "button", "Inner"], ["@g1", "group", null, [["@b2", "button", null]]]])"));
    EXPECT_EQ(harness.desktop().idOf(harness.dispatcher().lastRefMap.at("@b1")), "b1");
    // Interactive within the subtree.
    EXPECT_EQ(outline(harness.result("snapshot", {{"subtree", "@g1"}, {"interactive", true}})["elements"]),
              Json::parse(R"([["@b1", "button", "Inner"], ["@g1", "group", null, [["@b2", "button", null]]]])"));
    // A ref the full walk does not hand out.
    EXPECT_EQ(harness.error("snapshot", {{"subtree", "@g7"}}),
              Json({{"code", -32001}, {"message", "Subtree root not found: @g7"}}));
}

TEST(Snapshot, TargetProcessAndErrors) {
    Json scene = scenes::merged(scenes::windowWithButton(), appScene(Json::array({node("x", "AXButton", {{"title", "X"}})})));
    scene["apps"].push_back({{"name", "Finder Clone"}, {"bundle_id", "com.apple.finder"}, {"pid", 800},
                             {"windows", Json::array({{{"id", "fw"}, {"role", "AXWindow"}, {"title", "Files"}}})}});
    scene["apps"].push_back({{"name", "Windowless"}, {"bundle_id", "com.example.none"}, {"pid", 900}});
    DispatcherHarness harness(scene);
    auto title = [&](const Json& params) { return harness.result("snapshot", params)["window"]["title"]; };
    auto error = [&](const Json& params) { return harness.error("snapshot", params); };

    EXPECT_EQ(error(Json::object()), Json({{"code", -32602}, {"message", "No window grabbed. Use 'kest grab <@w>' first."}}));
    harness.dispatcher().grabbedWindow = "@w9";
    EXPECT_EQ(error(Json::object()), Json({{"code", -32005}, {"message", "Window not found: @w9"}}));
    grab(harness, 100);
    EXPECT_EQ(title(Json::object()), "Main");
    EXPECT_EQ(title({{"app", "app"}}), "Doc");
    EXPECT_EQ(title({{"pid", 700}, {"app", "Demo"}}), "Doc");  // the pid decides
    EXPECT_EQ(title({{"app", "FINDER"}}), "Files");            // a well-known name by its bundle identifier
    EXPECT_EQ(title({{"app", "com.example.app"}}), "Doc");     // a bundle identifier as written
    EXPECT_EQ(error({{"app", "COM.EXAMPLE.APP"}}), Json({{"code", -32004}, {"message", "Application not found: COM.EXAMPLE.APP"}}));
    EXPECT_EQ(error({{"app", "Nope"}}), Json({{"code", -32004}, {"message", "Application not found: Nope"}}));
    EXPECT_EQ(error({{"pid", 900}}), Json({{"code", -32005}, {"message", "No accessible windows found for PID 900"}}));
    EXPECT_EQ(error({{"pid", 4242}}), Json({{"code", -32005}, {"message", "No accessible windows found for PID 4242"}}));
    EXPECT_EQ(error({{"pid", 5000000000}}), Json({{"code", -32602}, {"message", "Invalid pid: 5000000000"}}));
}

TEST(Snapshot, FailedBuildKeepsTheStoredSnapshot) {
    DispatcherHarness harness(scenes::windowWithButton());
    grab(harness, 100);
    Json first = harness.result("snapshot");
    harness.error("snapshot", {{"pid", 4242}});
    EXPECT_EQ(harness.dispatcher().lastSnapshotId, first["snapshot_id"].get<std::string>());
    EXPECT_EQ(harness.dispatcher().lastRefMap.size(), 3u);
}

TEST(Snapshot, WindowRecordDefaults) {
    Json scene = appScene(Json::array(), {{"hidden", true}});
    scene["apps"][0]["windows"][0].erase("title");
    scene["apps"][0]["windows"][0]["attrs"] = {{"AXFullScreen", true}, {"AXMinimized", true}};
    scene["apps"][0].erase("name");
    scene["apps"][0].erase("bundle_id");
    DispatcherHarness harness(scene);
    EXPECT_EQ(harness.result("snapshot", {{"pid", 700}})["window"], Json::parse(R"({"ref": null, "title": "",
        "app": "Unknown", "bundle_id": "", "process_id": 700, "bounds": [10, 20, 640, 480], "minimized": true,
        "hidden": true, "fullscreen": true})"));
}

// An application that stops answering mid-walk costs one timeout: every later
// read of that build counts as absent without asking, so what follows is
// dropped and the records read before stand.
TEST(Snapshot, UnresponsiveApplicationEndsTheWalk) {
    Json nodes = Json::array({
        node("one", "AXButton", {{"title", "One"}}),
        node("two", "AXButton", {{"title", "Two"}, {"value", "v"}, {"fail", {{"read", {{"AXTitle", -25204}}}}}}),
        node("three", "AXButton", {{"title", "Three"}}),
    });
    DispatcherHarness harness(appScene(nodes));
    grab(harness);
    EXPECT_EQ(harness.result("snapshot")["elements"], Json::parse(R"([
        {"ref": "@b1", "role": "button", "label": "One", "value": null, "enabled": true, "focused": false, "bounds": [0, 0, 0, 0]},
        {"ref": "@b2", "role": "button", "label": null, "value": null, "enabled": true, "focused": false, "bounds": [0, 0, 0, 0]}])"));
    // The next build starts afresh.
    harness.desktop().nodes.at("two").readFailures.clear();
    EXPECT_EQ(harness.result("snapshot")["elements"].size(), 3u);
    // Other failures are per read only.
    harness.desktop().failRead("two", "AXTitle", -25200);
    EXPECT_EQ(harness.result("snapshot")["elements"].size(), 3u);
}

TEST(Snapshot, ChromiumHint) {
    Json scene = scenes::windowWithButton();
    scene["apps"].push_back({{"name", "Chat"}, {"bundle_id", "com.example.chat"}, {"pid", 150}, {"bundle", "/Applications/Chat.app"},
                             {"windows", Json::array({{{"id", "cw"}, {"role", "AXWindow"}, {"title", "Chat"}}})}});
    scene["bundles"].push_back({{"location", "/Applications/Chat.app"}, {"frameworks", {"Electron Framework.framework"}}});
    const std::string hint =
        "This is a Chromium/Electron app. Run `kest relaunch chat` to restart it with CDP support for a full accessibility tree.";
    DispatcherHarness harness(scene);
    // By name, as the client typed it.
    Json byName = harness.result("snapshot", {{"app", "chat"}});
    EXPECT_EQ(byName["hint"], hint);
    EXPECT_FALSE(harness.dispatcher().lastSnapshotData->contains("hint"));
    EXPECT_FALSE(harness.result("snapshot", {{"app", "Demo"}}).contains("hint"));
    // Without a name: the grabbed window's process, even when a pid chose another.
    harness.dispatcher().grabbedWindow = "@w1";
    harness.dispatcher().windowManager.windowInfoCache["@w1"] = {{"process_id", 150}};
    EXPECT_EQ(harness.result("snapshot", {{"pid", 100}})["hint"],
              "This is a Chromium/Electron app. Run `kest relaunch Chat` to restart it with CDP support for a full accessibility tree.");
    // No grabbed record: the front application (Demo, not Chromium).
    harness.dispatcher().windowManager.windowInfoCache["@w1"] = {{"process_id", "150"}};
    EXPECT_FALSE(harness.result("snapshot", {{"pid", 150}}).contains("hint"));
}

}  // namespace
}  // namespace kest::fake
