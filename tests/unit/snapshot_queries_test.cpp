// changed/diff, find, read/title/is/box/children and wait over the fake desktop.
#include <gtest/gtest.h>

#include <limits>

#include "snapshot/diff.hpp"
#include "support/dispatcher_harness.hpp"
#include "support/fake_scenes.hpp"

namespace kest::fake {
namespace {

using scenes::node;

// "Form" (pid 700, frontmost) with window "Settings" holding `nodes`; grabbed as @w1.
Json formScene(const Json& nodes) {
    return {{"apps", Json::array({{{"name", "Form"}, {"bundle_id", "com.example.form"}, {"pid", 700}, {"active", true},
                                   {"windows", Json::array({{{"id", "win"}, {"role", "AXWindow"}, {"title", "Settings"},
                                                             {"window", {{"number", 71}, {"bounds", {0, 0, 500, 400}}}},
                                                             {"children", nodes}}})}}})}};
}

void grabForm(DispatcherHarness& harness) {
    harness.dispatcher().grabbedWindow = "@w1";
    harness.dispatcher().windowManager.windowInfoCache["@w1"] = {{"ref", "@w1"}, {"title", "Settings"}, {"app", "Form"},
                                                                 {"process_id", 700}};
}

Json formNodes() {
    return Json::array({
        node("save", "AXButton", {{"title", "Save"}, {"enabled", true}}),
        node("save_as", "AXButton", {{"title", "Save As…"}}),
        node("group", "AXGroup", {{"title", "Saved searches"}, {"children", {
            node("name", "AXTextField", {{"value", "unsaved changes"}}),
            node("cancel", "AXButton", {{"title", "Cancel"}, {"enabled", false}})}}}),
        node("anon", "AXStaticText"),
        node("check", "AXCheckBox", {{"title", "Remember"}, {"value", 1}, {"frame", {5, 6, 20, 0}}}),
    });
}

const Json NOT_FOUND = {{"code", -32001}, {"message", "Element not found: @b9. Take a snapshot first."}};

TEST(Diff, ChangedAndDiff) {
    DispatcherHarness harness(formScene(formNodes()));
    grabForm(harness);
    const Json noPrevious = {{"code", -32600}, {"message", "No previous snapshot to compare. Take a snapshot first."}};
    EXPECT_EQ(harness.error("changed"), noPrevious);
    EXPECT_EQ(harness.error("diff"), noPrevious);

    harness.result("snapshot");
    EXPECT_EQ(harness.result("changed"), Json({{"ok", true}, {"changed", false}}));
    EXPECT_EQ(harness.result("diff"), Json::parse(R"({"ok": true, "changed": false, "added": [], "removed": []})"));

    // A value changes: the same ref leaves and comes back.
    harness.desktop().setStored("name", "AXValue", platform::Value::string("draft"));
    EXPECT_EQ(harness.result("changed"), Json({{"ok", true}, {"changed", true}, {"added_count", 1}, {"removed_count", 1}}));
    EXPECT_EQ(harness.result("diff"), Json::parse(R"({"ok": true, "changed": true,
        "added": [{"role": "textfield", "ref": "@t1", "value": "draft"}],
        "removed": [{"role": "textfield", "ref": "@t1", "value": "unsaved changes"}]})"));
    // Both compare with the stored snapshot, which they leave alone; their refs are usable.
    EXPECT_EQ(harness.result("changed")["added_count"], 1);
    EXPECT_EQ(harness.result("read", {{"ref", "@t1"}})["value"], "draft");

    // A button inserted first shifts the refs of every later button.
    harness.result("snapshot");
    ASSERT_TRUE(harness.desktop().addNode("win", node("new", "AXButton", {{"title", "New"}})));
    harness.desktop().nodes.at("win").children.pop_back();
    harness.desktop().nodes.at("win").children.insert(harness.desktop().nodes.at("win").children.begin(), "new");
    Json shifted = harness.result("diff");
    Json added = Json::array();
    Json removed = Json::array();
    for (const Json& r : shifted["added"]) added.push_back(r["ref"].get<std::string>() + " " + r["label"].get<std::string>());
    for (const Json& r : shifted["removed"]) removed.push_back(r["ref"].get<std::string>() + " " + r["label"].get<std::string>());
    EXPECT_EQ(added, Json({"@b1 New", "@b2 Save", "@b3 Save As…", "@b4 Cancel"}));
    EXPECT_EQ(removed, Json({"@b1 Save", "@b2 Save As…", "@b3 Cancel"}));
}

TEST(Diff, SignaturesAndSimplifiedRecords) {
    const Json button = {{"ref", "@b1"}, {"role", "button"}, {"label", "OK"}, {"value", nullptr}, {"enabled", true}};
    EXPECT_EQ(Diff::elementSignature(button), "button|OK|null|@b1");
    Json emptyLabel = button;
    emptyLabel["label"] = "";
    Json nullLabel = button;
    nullLabel["label"] = nullptr;
    EXPECT_EQ(Diff::elementSignature(emptyLabel), Diff::elementSignature(nullLabel));
    Json stringValue = button;
    stringValue["value"] = "null";
    EXPECT_NE(Diff::elementSignature(stringValue), Diff::elementSignature(button));
    EXPECT_NE(Diff::elementSignature(button, true), Diff::elementSignature(button));
    Json noValue = button;
    noValue.erase("value");
    EXPECT_NE(Diff::elementSignature(noValue), Diff::elementSignature(button));
    EXPECT_EQ(Diff::elementSignature(Json({{"ref", 3}, {"role", nullptr}})), "|||");

    EXPECT_EQ(Diff::simplifyElement(button), Json({{"ref", "@b1"}, {"role", "button"}, {"label", "OK"}, {"value", nullptr}}));
    EXPECT_EQ(Diff::simplifyElement(Json({{"ref", 1}, {"label", nullptr}})), Json::object());
    EXPECT_EQ(Diff::extractElementList(Json({{"elements", "x"}})), Json::array());
}

TEST(Diff, StoredSnapshotsOfAnotherShape) {
    DispatcherHarness harness(formScene(Json::array({node("g", "AXGroup", {{"children", {node("ok", "AXButton", {{"title", "OK"}})}}})})));
    grabForm(harness);
    // Interactive: same refs, but the container's null value is not a record's.
    harness.result("snapshot", {{"interactive", true}});
    EXPECT_EQ(harness.result("diff"), Json::parse(R"({"ok": true, "changed": true,
        "added": [{"ref": "@g1", "role": "group", "value": null}],
        "removed": [{"ref": "@g1", "role": "group", "value": null}]})"));
    // Shallower: the deeper records are new.
    harness.result("snapshot", {{"depth", 1}});
    EXPECT_EQ(harness.result("changed"), Json({{"ok", true}, {"changed", true}, {"added_count", 1}, {"removed_count", 0}}));
}

// Records with equal signatures count once in changed and are each listed in diff.
TEST(Diff, DuplicateSignatures) {
    DispatcherHarness harness(formScene(Json::array({node("t1", "AXStaticText", {{"value", "a"}})})));
    grabForm(harness);
    const Json twin = {{"role", "text"}, {"label", nullptr}, {"value", "b"}, {"ref", "@e1"}};
    harness.dispatcher().lastSnapshotData = Json{{"elements", Json::array({twin, twin, {{"role", "text"}, {"label", "x"}}})}};
    EXPECT_EQ(harness.result("changed"), Json({{"ok", true}, {"changed", true}, {"added_count", 1}, {"removed_count", 2}}));
    Json result = harness.result("diff");
    EXPECT_EQ(result["added"], Json::parse(R"([{"role": "text", "ref": "@e1", "value": "a"}])"));
    EXPECT_EQ(result["removed"], Json::parse(R"([{"role": "text", "ref": "@e1", "value": "b"},
        {"role": "text", "ref": "@e1", "value": "b"}, {"role": "text", "label": "x"}])"));
}

TEST(Find, MatchingAndOrder) {
    DispatcherHarness harness(formScene(formNodes()));
    grabForm(harness);
    auto refs = [&](const Json& params) {
        Json result = harness.result("find", params);
        Json out = Json::array();
        for (const Json& e : result["elements"]) {
            EXPECT_FALSE(e.contains("children"));
            out.push_back(e["ref"]);
        }
        EXPECT_EQ(result["count"], out.size());
        return out;
    };
    const std::pair<Json, Json> rows[] = {
        {{{"role", "button"}}, {"@b1", "@b2", "@b3"}},
        {{{"role", "button"}, {"first", true}}, {"@b1"}},
        {{{"text", "SAVE"}}, {"@b1", "@b2", "@g1", "@t1"}},  // labels and a value alike; the group before its children
        {{{"text", "save"}, {"role", "textfield"}}, {"@t1"}},
        {{{"role", "AXButton"}}, Json::array()},
        {{{"text", "zzz"}, {"first", true}}, Json::array()},
        {{{"text", ""}}, {"@b1", "@b2", "@g1", "@t1", "@b3", "@e1", "@c1"}},
    };
    for (const auto& [params, expected] : rows) EXPECT_EQ(refs(params), expected) << params.dump();
    EXPECT_EQ(harness.error("find", {{"first", true}}), Json({{"code", -32602}, {"message", "Either text or --role is required"}}));
    EXPECT_EQ(harness.error("find", {{"text", "x"}, {"app", "Nope"}}), Json({{"code", -32004}, {"message", "Application not found: Nope"}}));

    // find renumbers the refs; the stored snapshot stays.
    harness.result("snapshot", {{"interactive", true}});
    const Json stored = *harness.dispatcher().lastSnapshotData;
    EXPECT_EQ(harness.desktop().idOf(harness.dispatcher().lastRefMap.at("@g1")), "group");
    harness.result("find", {{"text", "cancel"}});
    EXPECT_EQ(harness.desktop().idOf(harness.dispatcher().lastRefMap.at("@e1")), "anon");
    EXPECT_EQ(*harness.dispatcher().lastSnapshotData, stored);
}

TEST(Read, Queries) {
    Json nodes = formNodes();
    nodes.push_back(node("kinds", "AXSlider", {{"value", 0.25}, {"attrs", {
        {"AXInt", 7}, {"AXBool", false}, {"AXPoint", {{"point", {1.5, 2}}}}, {"AXSize", {{"size", {3, 4}}}},
        {"AXEl", {{"element", "save"}}}, {"AXEls", {{"elements", {"save", "name"}}}}, {"AXRange", {{"other", "{0, 5}"}}},
        {"AXNull", nullptr}}}}));
    DispatcherHarness harness(formScene(nodes));
    grabForm(harness);
    harness.result("snapshot");
    auto attr = [&](const std::string& ref, const std::string& name) {
        return harness.result("read", {{"ref", ref}, {"attr", name}})["value"];
    };
    const std::pair<std::string, Json> kinds[] = {
        {"AXValue", 0.25}, {"AXInt", 7}, {"AXBool", false}, {"AXPoint", "x=1.5 y=2"}, {"AXSize", "w=3 h=4"},
        {"AXEl", "<element>"}, {"AXEls", "<2 elements>"}, {"AXRange", "{0, 5}"}, {"AXNull", nullptr}, {"AXMissing", nullptr},
    };
    for (const auto& [name, expected] : kinds) EXPECT_EQ(attr("@s1", name), expected) << name;
    EXPECT_EQ(harness.result("read", {{"ref", "@s1"}, {"attr", "AXRole"}}),
              Json({{"ok", true}, {"ref", "@s1"}, {"attr", "AXRole"}, {"value", "AXSlider"}}));
    EXPECT_EQ(harness.result("read", {{"ref", "@t1"}}),
              Json({{"ok", true}, {"ref", "@t1"}, {"value", "unsaved changes"}, {"label", nullptr}, {"role", "AXTextField"}}));
    // The label is the title alone; numbers are no value here.
    EXPECT_EQ(harness.result("read", {{"ref", "@c1"}}),
              Json({{"ok", true}, {"ref", "@c1"}, {"value", nullptr}, {"label", "Remember"}, {"role", "AXCheckBox"}}));

    // is
    const std::tuple<std::string, std::string, bool> states[] = {
        {"enabled", "@b1", true}, {"enabled", "@b3", false}, {"focused", "@b1", false}, {"checked", "@c1", true},
        {"checked", "@t1", false}, {"visible", "@c1", false}, {"visible", "@b1", false},
    };
    for (const auto& [state, ref, value] : states) {
        EXPECT_EQ(harness.result("is", {{"state", state}, {"ref", ref}}),
                  Json({{"ok", true}, {"ref", ref}, {"state", state}, {"value", value}})) << state << " " << ref;
    }
    harness.desktop().setStored("name", "AXValue", platform::Value::string("1"));
    EXPECT_EQ(harness.result("is", {{"state", "checked"}, {"ref", "@t1"}})["value"], false);
    harness.desktop().setStored("save", "AXSize", platform::Value::size({10, 5}));
    EXPECT_EQ(harness.result("is", {{"state", "visible"}, {"ref", "@b1"}})["value"], true);
    EXPECT_EQ(harness.error("is", {{"state", "Visible"}, {"ref", "@b1"}}),
              Json({{"code", -32602}, {"message", "Unknown state: Visible. Use: visible, enabled, focused, checked"}}));
    EXPECT_EQ(harness.error("is", {{"state", "Visible"}, {"ref", "@b9"}}), NOT_FOUND);
    EXPECT_EQ(harness.error("is", {{"ref", "@b1"}}), Json({{"code", -32602}, {"message", "Missing state parameter"}}));
    EXPECT_EQ(harness.error("is", {{"state", "enabled"}}), Json({{"code", -32602}, {"message", "Missing ref parameter"}}));

    // box and children
    EXPECT_EQ(harness.result("box", {{"ref", "@c1"}}), Json({{"ok", true}, {"ref", "@c1"}, {"bounds", {5, 6, 20, 0}}}));
    EXPECT_EQ(harness.result("children", {{"ref", "@g1"}}), Json::parse(R"({"ok": true, "ref": "@g1", "count": 2,
        "children": [{"role": "textfield", "label": null, "value": "1"},
                     {"role": "button", "label": "Cancel", "value": null}]})"));
    EXPECT_EQ(harness.result("children", {{"ref", "@b1"}}), Json({{"ok", true}, {"ref", "@b1"}, {"children", Json::array()}, {"count", 0}}));
    harness.desktop().failRead("group", "AXChildren", -25205);
    EXPECT_EQ(harness.result("children", {{"ref", "@g1"}})["count"], 0);

    for (const char* method : {"read", "box", "children"}) {
        EXPECT_EQ(harness.error(method, {{"ref", "@b9"}}), NOT_FOUND) << method;
        EXPECT_EQ(harness.error(method, {{"ref", 1}}), Json({{"code", -32602}, {"message", "Missing ref parameter"}})) << method;
    }
    // An element that has gone reads as absent, not as an error.
    harness.desktop().remove("save");
    EXPECT_EQ(harness.result("read", {{"ref", "@b1"}})["role"], nullptr);
    EXPECT_EQ(harness.result("box", {{"ref", "@b1"}})["bounds"], Json({0, 0, 0, 0}));
}

TEST(Read, Title) {
    DispatcherHarness harness(formScene(Json::array()));
    EXPECT_EQ(harness.result("title", {{"app", true}}), Json({{"ok", true}, {"title", "Form"}, {"bundle_id", "com.example.form"}}));
    EXPECT_EQ(harness.result("title"), Json({{"ok", true}, {"title", "Settings"}, {"app", "Form"}}));
    grabForm(harness);
    harness.dispatcher().windowManager.windowInfoCache["@w1"] = {{"title", "Cached"}};
    EXPECT_EQ(harness.result("title"), Json({{"ok", true}, {"title", "Cached"}, {"app", nullptr}}));

    DispatcherHarness empty;
    EXPECT_EQ(empty.result("title"), Json({{"ok", true}, {"title", nullptr}}));
    EXPECT_EQ(empty.result("title", {{"app", true}}), Json({{"ok", true}, {"title", nullptr}}));
}

TEST(Wait, FormsAndTimeouts) {
    Json scene = formScene(formNodes());
    scene["apps"].push_back({{"name", "Loader"}, {"pid", 710}, {"finished", false}});
    DispatcherHarness harness(scene);
    auto timeout = [](const std::string& what) { return Json({{"code", -32003}, {"message", "Timeout waiting for " + what}}); };

    EXPECT_EQ(harness.result("wait", {{"ms", 0}, {"app", "Form"}}), Json({{"ok", true}, {"waited_ms", 0}}));
    EXPECT_EQ(harness.result("wait", {{"ms", 5}}), Json({{"ok", true}, {"waited_ms", 5}}));
    EXPECT_EQ(harness.error("wait", {{"gone", true}}), Json({{"code", -32602}, {"message", "wait requires: ms, --app, --window, --text, or ref"}}));

    // Conditions that hold answer at once, and not at all with no time to check.
    EXPECT_EQ(harness.result("wait", {{"app", "FORM"}}), Json({{"ok", true}, {"app", "FORM"}, {"pid", 700}}));
    EXPECT_EQ(harness.error("wait", {{"app", "Form"}, {"timeout", 0}}), timeout("app: Form"));
    EXPECT_EQ(harness.error("wait", {{"app", "For"}, {"timeout", 30}}), timeout("app: For"));
    EXPECT_EQ(harness.error("wait", {{"app", "Loader"}, {"timeout", 30}}), timeout("app: Loader"));

    Json window = harness.result("wait", {{"window", "sett"}});
    EXPECT_EQ(window["window"]["title"], "Settings");
    EXPECT_EQ(window["window"]["process_id"], 700);
    EXPECT_EQ(harness.error("wait", {{"window", "Settings"}, {"timeout", -5}}), timeout("window: Settings"));
    EXPECT_EQ(harness.error("wait", {{"window", "Other"}, {"timeout", 30}}), timeout("window: Other"));

    // Text needs a grabbed window; a failing build never meets the condition.
    EXPECT_EQ(harness.error("wait", {{"text", "x"}, {"gone", true}, {"timeout", 30}}), timeout("text: x"));
    grabForm(harness);
    EXPECT_EQ(harness.result("wait", {{"text", "UNSAVED"}}), Json({{"ok", true}, {"text", "UNSAVED"}, {"state", "found"}}));
    EXPECT_EQ(harness.result("wait", {{"text", "absent"}, {"gone", true}}), Json({{"ok", true}, {"text", "absent"}, {"state", "gone"}}));
    EXPECT_EQ(harness.error("wait", {{"text", "Remember"}, {"gone", true}, {"timeout", 30}}), timeout("text: Remember"));
    EXPECT_EQ(harness.error("wait", {{"text", "Remember"}, {"timeout", 0}}), timeout("text: Remember"));
    EXPECT_TRUE(harness.dispatcher().lastRefMap.empty());  // text waits leave the refs alone

    // Elements: against the refs of the last snapshot.
    harness.result("snapshot");
    const std::pair<Json, Json> rows[] = {
        {{{"ref", "@b1"}}, {{"ok", true}, {"ref", "@b1"}, {"state", "visible"}}},
        {{{"ref", "@b1"}, {"enabled", true}}, {{"ok", true}, {"ref", "@b1"}, {"state", "enabled"}}},
        {{{"ref", "@b9"}, {"hidden", true}}, {{"ok", true}, {"ref", "@b9"}, {"state", "hidden"}}},
        {{{"ref", "@b9"}, {"hidden", true}, {"enabled", true}}, {{"ok", true}, {"ref", "@b9"}, {"state", "hidden"}}},
    };
    for (const auto& [params, expected] : rows) EXPECT_EQ(harness.result("wait", params), expected) << params.dump();
    harness.desktop().remove("save");  // gone from the screen, still in the map
    EXPECT_EQ(harness.result("wait", {{"ref", "@b1"}})["state"], "visible");
    const std::pair<Json, std::string> timeouts[] = {
        {{{"ref", "@b1"}, {"hidden", true}, {"timeout", 30}}, "@b1"},
        {{{"ref", "@b1"}, {"hidden", true}, {"enabled", true}, {"timeout", 30}}, "@b1"},
        {{{"ref", "@b3"}, {"enabled", true}, {"timeout", 30}}, "@b3"},
        {{{"ref", "@b1"}, {"enabled", true}, {"timeout", 30}}, "@b1"},
        {{{"ref", "@b9"}, {"timeout", 30}}, "@b9"},
        {{{"ref", "@b2"}, {"timeout", 0}}, "@b2"},
    };
    for (const auto& [params, ref] : timeouts) EXPECT_EQ(harness.error("wait", params), timeout("element: " + ref)) << params.dump();
}

// Counts of milliseconds are held within the longest pause where they are
// read, whatever their size or spelling, so that no deadline overflows.
TEST(Wait, HugeCountsOfMillisecondsAreHeldAtTheLongestPause) {
    DispatcherHarness harness(formScene(formNodes()));
    const Json longest = {{"ok", true}, {"waited_ms", Pause::LONGEST_MS}};
    for (const Json& ms : {Json(std::numeric_limits<std::int64_t>::max()), Json(10000000000000000000u), Json(1e30)}) {
        harness.desktop().timeline.clear();
        EXPECT_EQ(harness.result("wait", {{"ms", ms}}), longest) << ms.dump();
        EXPECT_EQ(harness.desktop().timeline, std::vector<Json>{Json({{"pause", Pause::LONGEST_MS / 1000.0}})});
    }
    harness.desktop().timeline.clear();
    EXPECT_EQ(harness.result("wait", {{"ms", std::numeric_limits<std::int64_t>::min()}}),
              Json({{"ok", true}, {"waited_ms", -Pause::LONGEST_MS}}));
    EXPECT_EQ(harness.result("wait", {{"ms", -1e30}}), Json({{"ok", true}, {"waited_ms", -Pause::LONGEST_MS}}));
    EXPECT_TRUE(harness.desktop().timeline.empty());

    // A hugely negative timeout has passed already; a hugely positive one
    // outlasts the default ten seconds (the wait ends by the stop here).
    EXPECT_EQ(harness.error("wait", {{"app", "Form"}, {"timeout", std::numeric_limits<std::int64_t>::min()}}),
              Json({{"code", -32003}, {"message", "Timeout waiting for app: Form"}}));
    EXPECT_EQ(harness.error("wait", {{"app", "Form"}, {"timeout", -1e300}}),
              Json({{"code", -32003}, {"message", "Timeout waiting for app: Form"}}));
    int pauses = 0;
    harness.clock().onPause = [&] {
        if (++pauses == 100) harness.clock().stopping = true;
    };
    for (const Json& timeout : {Json(10000000000000000000u), Json(1e300)}) {
        pauses = 0;
        harness.clock().stopping = false;
        EXPECT_EQ(harness.error("wait", {{"app", "Nobody"}, {"timeout", timeout}}),
                  Json({{"code", -32600}, {"message", STOPPING_MESSAGE}})) << timeout.dump();
        EXPECT_EQ(pauses, 100);
    }

    // A clock that has run to its very end (ten longest pauses outrun it)
    // still orders deadlines: the wait times out instead of wrapping round.
    harness.clock().onPause = nullptr;
    harness.clock().stopping = false;
    for (int i = 0; i < 10; ++i) harness.result("wait", {{"ms", Pause::LONGEST_MS}});
    EXPECT_EQ(harness.clock().now(), Pause::Clock::time_point::max());
    EXPECT_EQ(harness.error("wait", {{"app", "Nobody"}, {"timeout", 10000}}),
              Json({{"code", -32003}, {"message", "Timeout waiting for app: Nobody"}}));
}

}  // namespace
}  // namespace kest::fake
