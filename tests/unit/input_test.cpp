// Mouse, keyboard, focus and value methods over the fake desktop: what each
// posts, presses and writes, in order with its pauses, and every error.
#include <gtest/gtest.h>

#include <locale.h>

#include <cmath>
#include <set>

#include "common/text.hpp"
#include "input/focus.hpp"
#include "input/gestures.hpp"
#include "input/keys.hpp"
#include "support/dispatcher_harness.hpp"
#include "support/fake_scenes.hpp"

namespace kest::fake {
namespace {

using scenes::node;
using scenes::pause;
using scenes::press;
using scenes::write;

// "Form" (pid 700, frontmost) with window "Settings" (@w1 once grabbed), and
// "Other" (pid 800) in the background.
Json inputScene() {
    Json nodes = Json::array({
        node("ok", "AXButton", {{"title", "OK"}, {"frame", {100, 200, 80, 30}}}),
        node("stuck", "AXButton",
             {{"title", "Stuck"}, {"frame", {10, 20, 30, 40}},
              {"fail", {{"action", {{"AXPress", -25206}}}, {"write", {{"AXFocused", -25205}}}}}}),
        node("ghost", "AXButton", {{"title", "Ghost"}, {"fail", {{"action", {{"AXPress", -25206}}}}}}),
        node("name", "AXTextField", {{"title", "Name"}, {"value", "old"}}),
        node("sink", "AXTextField", {{"title", "Sink"}, {"value", ""}, {"fail", {{"write", {{"AXValue", -25200}}}}}}),
        node("on", "AXCheckBox", {{"title", "On"}, {"value", 1}}),
        node("off", "AXCheckBox", {{"title", "Off"}, {"value", 0}}),
        node("odd", "AXCheckBox", {{"title", "Odd"}}),
        node("textual", "AXCheckBox", {{"title", "Textual"}, {"value", "1"}}),
        node("real", "AXCheckBox", {{"title", "Real"}, {"value", 1.5}}),
        node("huge", "AXCheckBox", {{"title", "Huge"}, {"value", 1e300}}),
        node("color", "AXPopUpButton",
             {{"title", "Color"},
              {"fail", {{"write", {{"AXValue", -25200}}}}},
              {"children",
               {node("red", "AXMenuItem", {{"title", "Red"}}), node("blue", "AXStaticText", {{"value", "Blue"}}),
                node("green", "AXMenuItem", {{"title", "Green"}, {"value", "G"}})}}}),
        node("size", "AXPopUpButton",
             {{"title", "Size"},
              {"fail", {{"write", {{"AXValue", -25200}}}}},
              {"on", {{"AXPress", {{{"do", "show"}, {"id", "large"}}}}}},
              {"children", Json::array({node("large", "AXMenuItem", {{"title", "Large"}, {"value", "L"}, {"hidden", true}})})}}),
        node("font", "AXComboBox", {{"title", "Font"}, {"value", "12"}}),
        node("volume", "AXSlider", {{"title", "Volume"}, {"value", 30}}),
        node("label", "AXStaticText", {{"value", "Read only"}, {"fail", {{"write", {{"AXValue", -25200}}}}}}),
    });
    return {{"pointer", {5, 6}},
            {"apps", Json::array({{{"name", "Form"}, {"pid", 700}, {"active", true},
                                   {"windows", Json::array({{{"id", "win"}, {"role", "AXWindow"}, {"title", "Settings"},
                                                             {"window", {{"number", 71}, {"bounds", {0, 0, 500, 400}}}},
                                                             {"children", nodes}}})}},
                                  {{"name", "Other"}, {"pid", 800}}})}};
}

// A harness with the Form window grabbed and snapshotted, its timeline empty.
class InputTest : public ::testing::Test {
protected:
    void SetUp() override {
        harness.dispatcher().grabbedWindow = "@w1";
        harness.dispatcher().windowManager.windowInfoCache["@w1"] = {
            {"ref", "@w1"}, {"title", "Settings"}, {"app", "Form"}, {"process_id", 700}};
        harness.result("snapshot");
        harness.desktop().timeline.clear();
    }

    // The ref the last snapshot gave the element with this id.
    std::string ref(const std::string& id) {
        for (const auto& [name, element] : harness.dispatcher().lastRefMap) {
            if (harness.desktop().idOf(element) == id) return name;
        }
        ADD_FAILURE() << "no ref for " << id;
        return "@none";
    }

    // What the engine did since the last call, and a fresh start.
    Json took() {
        Json list = harness.desktop().timeline;
        harness.desktop().timeline.clear();
        return list;
    }

    void makeFrontmost(std::int32_t pid) {
        for (auto& app : harness.desktop().apps) app.info.active = app.info.pid == pid;
    }

    DispatcherHarness harness{inputScene()};
};

Json mouse(int type, double x, double y, int button, int click, std::uint64_t flags = 0) {
    return {{"mouse", type}, {"at", {x, y}}, {"button", button}, {"click", click}, {"flags", flags}};
}
Json key(int code, bool down, std::uint64_t flags = 0, const std::string& text = "") {
    return {{"key", code}, {"down", down}, {"text", text}, {"flags", flags}};
}
// A down and an up.
Json keyPress(int code, std::uint64_t flags = 0, const std::string& text = "") {
    return Json::array({key(code, true, flags, text), key(code, false, flags, text)});
}
Json concat(std::initializer_list<Json> parts) {
    Json all = Json::array();
    for (const auto& part : parts) {
        if (part.is_array()) {
            for (const auto& item : part) all.push_back(item);
        } else {
            all.push_back(part);
        }
    }
    return all;
}

constexpr std::uint64_t SHIFT = 0x20000, CONTROL = 0x40000, OPTION = 0x80000, COMMAND = 0x100000;

TEST_F(InputTest, ClickPressesOrPostsEvents) {
    const std::string ok = ref("ok");
    const Json okResult = {{"ok", true}, {"ref", ok}, {"bounds", {100, 200, 80, 30}}};
    // The OK button's centre.
    const double cx = 140, cy = 215;
    struct Row {
        const char* what;
        Json params;
        Json result;
        Json timeline;
    };
    const Row rows[] = {
        {"one press", {{"ref", ok}}, okResult, Json::array({press("ok")})},
        {"count 2 pauses after every press", {{"ref", ok}, {"count", 2}}, okResult,
         {press("ok"), pause(0.05), press("ok"), pause(0.05)}},
        {"double wins over count", {{"ref", ok}, {"double", true}, {"count", 5}}, okResult,
         {press("ok"), pause(0.05), press("ok"), pause(0.05)}},
        {"a count below one clicks once", {{"ref", ok}, {"count", 0}}, okResult, Json::array({press("ok")})},
        {"negative count", {{"x", 1}, {"y", 2}, {"count", -4}}, {{"ok", true}}, {mouse(1, 1, 2, 0, 1), mouse(2, 1, 2, 0, 1)}},
        {"modifiers post events at the centre", {{"ref", ok}, {"modifiers", {"Cmd", "SHIFT"}}}, okResult,
         {mouse(1, cx, cy, 0, 1, COMMAND | SHIFT), mouse(2, cx, cy, 0, 1, COMMAND | SHIFT)}},
        {"unknown modifiers still skip the press", {{"ref", ok}, {"modifiers", {"hyper"}}}, okResult,
         {mouse(1, cx, cy, 0, 1), mouse(2, cx, cy, 0, 1)}},
        {"every modifier name", {{"x", 0}, {"y", 0}, {"modifiers", {"command", "opt", "Alt", "ctrl", "control", "fn"}}},
         {{"ok", true}},
         {mouse(1, 0, 0, 0, 1, COMMAND | OPTION | CONTROL | 0x800000), mouse(2, 0, 0, 0, 1, COMMAND | OPTION | CONTROL | 0x800000)}},
        {"right click", {{"ref", ok}, {"right", true}}, okResult, {mouse(3, cx, cy, 1, 1), mouse(4, cx, cy, 1, 1)}},
        {"coordinates: click states count up, one pause between", {{"x", 7.5}, {"y", 8}, {"count", 2}}, {{"ok", true}},
         {mouse(1, 7.5, 8, 0, 1), mouse(2, 7.5, 8, 0, 1), pause(0.05), mouse(1, 7.5, 8, 0, 2), mouse(2, 7.5, 8, 0, 2)}},
        {"a ref wins over coordinates", {{"ref", ok}, {"x", 1}, {"y", 1}}, okResult, Json::array({press("ok")})},
        {"a refused press falls back to a plain click",
         {{"ref", ref("stuck")}},
         {{"ok", true}, {"ref", ref("stuck")}, {"bounds", {10, 20, 30, 40}}},
         {press("stuck"), mouse(1, 25, 40, 0, 1), mouse(2, 25, 40, 0, 1)}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(harness.result("click", row.params), row.result) << row.what;
        EXPECT_EQ(took(), row.timeline) << row.what;
    }

    EXPECT_EQ(harness.error("click", {{"ref", "@b99"}}),
              Json({{"code", -32001}, {"message", "Element not found: @b99. Take a snapshot first."}}));
    for (const Json& params : {Json::object(), Json{{"x", 1}}, Json{{"y", 1}}, Json{{"x", "1"}, {"y", 2}}}) {
        EXPECT_EQ(harness.error("click", params),
                  Json({{"code", -32602}, {"message", "Either ref or x,y coordinates required"}}))
            << params;
    }
    // Events are never aimed at an element without a position: its centre
    // would read as the corner of the screen.
    const Json nowhere = {{"code", -32600}, {"message", "Element " + ref("ghost") + " has no position on screen"}};
    EXPECT_EQ(harness.error("click", {{"ref", ref("ghost")}}), nowhere);
    EXPECT_EQ(took(), Json::array({press("ghost")}));
    // A count no gesture needs is refused before anything is clicked, not
    // left to click for hours.
    for (const Json& count : {Json(101), Json(INT64_MAX)}) {
        EXPECT_EQ(harness.error("click", {{"ref", ok}, {"count", count}}),
                  Json({{"code", -32602}, {"message", "count must be at most 100"}}));
    }
    EXPECT_EQ(took(), Json::array());
    EXPECT_EQ(harness.error("click", {{"ref", ref("ghost")}, {"right", true}}), nowhere);
    EXPECT_EQ(harness.error("hover", {{"ref", ref("ghost")}}), nowhere);
    EXPECT_EQ(took(), Json::array());
    // One that has gone since the snapshot is not found.
    const std::string stuck = ref("stuck");
    harness.desktop().remove("stuck");
    const Json gone = {{"code", -32001}, {"message", "Element not found: " + stuck + ". Take a snapshot first."}};
    EXPECT_EQ(harness.error("click", {{"ref", stuck}}), gone);
    EXPECT_EQ(harness.error("click", {{"ref", stuck}, {"modifiers", {"cmd"}}}), gone);
    EXPECT_EQ(harness.error("hover", {{"ref", stuck}}), gone);
    EXPECT_EQ(took(), Json::array({press("stuck")}));

    // Events that cannot be made are skipped without an error.
    harness.desktop().knobs.failingMouseEvents = {platform::MouseEventType::leftUp};
    EXPECT_EQ(harness.result("click", {{"x", 1}, {"y", 1}}), Json({{"ok", true}}));
    EXPECT_EQ(took(), Json::array());
}

TEST_F(InputTest, HoverAndBareButtons) {
    EXPECT_EQ(harness.result("hover", {{"ref", ref("ok")}}),
              Json({{"ok", true}, {"ref", ref("ok")}, {"bounds", {100, 200, 80, 30}}}));
    EXPECT_EQ(harness.result("hover", {{"x", 3}, {"y", 4}}), Json({{"ok", true}}));
    EXPECT_EQ(took(), Json({mouse(5, 140, 215, 0, 0), mouse(5, 3, 4, 0, 0)}));
    EXPECT_EQ(harness.error("hover", {{"x", 3}})["code"], -32602);
    harness.desktop().knobs.failingMouseEvents = {platform::MouseEventType::moved};
    EXPECT_EQ(harness.error("hover", {{"x", 3}, {"y", 4}}),
              Json({{"code", -32600}, {"message", "Failed to create mouse move event"}}));

    // mouse: at the pointer, no move, no click state.
    struct Row {
        Json params;
        Json answer;  // the result, or the error
        Json timeline;
    };
    const Row rows[] = {
        {Json::object(), {{"ok", true}, {"button", "left"}, {"action", "down"}}, Json::array({mouse(1, 3, 4, 0, 0)})},
        {{{"action", "up"}, {"button", "right"}}, {{"ok", true}, {"button", "right"}, {"action", "up"}}, Json::array({mouse(4, 3, 4, 1, 0)})},
        {{{"button", "middle"}}, {{"ok", true}, {"button", "middle"}, {"action", "down"}}, Json::array({mouse(25, 3, 4, 2, 0)})},
        {{{"action", "up"}, {"button", "middle"}}, {{"ok", true}, {"button", "middle"}, {"action", "up"}}, Json::array({mouse(26, 3, 4, 2, 0)})},
        {{{"button", "Left"}},
         {{"code", -32602}, {"message", "Invalid mouse button: Left. Use 'left', 'right', or 'middle'."}},
         Json::array()},
        {{{"action", "press"}, {"button", "nose"}},
         {{"code", -32602}, {"message", "Invalid mouse action: press. Use 'down' or 'up'."}},
         Json::array()},
    };
    for (const auto& row : rows) {
        Json response = harness.call("mouse", row.params);
        EXPECT_EQ(response.contains("error") ? response["error"] : response["result"], row.answer) << row.params;
        EXPECT_EQ(took(), row.timeline) << row.params;
    }
    harness.desktop().knobs.pointerUnavailable = true;
    harness.result("mouse", {{"action", "up"}});
    EXPECT_EQ(took(), Json::array({mouse(2, 0, 0, 0, 0)}));
    harness.desktop().knobs.failingMouseEvents = {platform::MouseEventType::leftUp};
    EXPECT_EQ(harness.error("mouse", {{"action", "up"}}),
              Json({{"code", -32600}, {"message", "Failed to create mouse event"}}));
}

TEST_F(InputTest, InputBringsTheGrabbedApplicationForwardAndPutsTheFrontOneBack) {
    makeFrontmost(800);
    // The action follows as soon as the target has the input focus.
    const Json aroundAction = Json::array({Json{{"activate", 700}}});
    const Json restore = Json::array({pause(0.1), Json{{"activate", 800}}});
    harness.result("click", {{"ref", ref("ok")}});
    EXPECT_EQ(took(), concat({aroundAction, press("ok"), restore}));

    // Also when the ref is unknown, and for every keyboard method.
    makeFrontmost(800);
    harness.error("click", {{"ref", "@zz9"}});
    EXPECT_EQ(took(), concat({aroundAction, restore}));
    makeFrontmost(800);
    harness.error("keydown", {{"key", "f13"}});
    EXPECT_EQ(took(), concat({aroundAction, restore}));
    makeFrontmost(800);
    harness.result("hover", {{"x", 1}, {"y", 1}});
    EXPECT_EQ(took(), concat({aroundAction, mouse(5, 1, 1, 0, 0), restore}));

    // Already in front: nothing is activated, nothing waited for.
    makeFrontmost(700);
    harness.result("key", {{"combo", "tab"}});
    EXPECT_EQ(took(), keyPress(48));

    // "app" names the application instead, ignoring case; a missing
    // parameter is refused before anything is activated.
    harness.result("type", {{"text", "a"}, {"app", "OTHER"}});
    EXPECT_EQ(took(), concat({Json{{"activate", 800}}, keyPress(0), pause(0.1), Json{{"activate", 700}}}));
    EXPECT_EQ(harness.error("type", {{"app", "Other"}})["message"], "Missing text parameter");
    EXPECT_EQ(took(), Json::array());

    // An application that is not running is not activated, but the front one
    // still comes back afterwards.
    harness.result("keyup", {{"key", "a"}, {"app", "Ghost"}});
    EXPECT_EQ(took(), concat({key(0, false), pause(0.1), Json{{"activate", 700}}}));

    // A grabbed window missing from the cache makes one enumeration.
    makeFrontmost(800);
    harness.dispatcher().windowManager.windowInfoCache.clear();
    harness.result("key", {{"combo", "tab"}});
    EXPECT_EQ(harness.desktop().callsTo("windowList").size(), 1u);
    EXPECT_EQ(took(), concat({aroundAction, keyPress(48), restore}));

    // Nothing grabbed: no activation; fill, focus and mouse never activate.
    harness.dispatcher().grabbedWindow.reset();
    makeFrontmost(800);
    harness.result("key", {{"combo", "tab"}});
    harness.result("mouse", Json::object());
    harness.dispatcher().grabbedWindow = "@w1";
    harness.result("focus", {{"ref", ref("name")}});
    harness.result("fill", {{"ref", ref("name")}, {"text", "x"}});
    harness.result("mouse", {{"action", "up"}});
    for (const auto& entry : took()) EXPECT_FALSE(entry.contains("activate")) << entry;

    // A target whose window never takes the keyboard focus gets no keys: an
    // error after a bounded wait, and the front application comes back. A
    // click still goes where it points.
    harness.dispatcher().grabbedWindow = "@w1";
    harness.desktop().knobs.focusRefused = {700};
    for (const char* method : {"type", "click"}) {
        makeFrontmost(800);
        const Json answer = harness.call(method, {{"text", "a"}, {"ref", ref("ok")}});
        const Json timeline = took();
        EXPECT_EQ(timeline.front(), Json({{"activate", 700}})) << method;
        EXPECT_EQ(timeline.back(), Json({{"activate", 800}})) << method;
        const bool sent = std::ranges::any_of(timeline, [](const Json& e) { return e.contains("key") || e.contains("action"); });
        if (std::string_view(method) == "type") {
            EXPECT_EQ(answer["error"]["message"], "Form's window did not take the keyboard focus; nothing was sent");
            EXPECT_FALSE(sent);
        } else {
            EXPECT_TRUE(answer.contains("result")) << answer;
            EXPECT_TRUE(sent);
        }
    }
}

TEST_F(InputTest, KeyCombinations) {
    struct Row {
        const char* combo;
        Json timeline;
    };
    const Row rows[] = {
        {"cmd+shift+T", keyPress(17, COMMAND | SHIFT)},
        {"a+b", keyPress(11)},
        {"cmd", keyPress(55)},
        {"cmd+shift", keyPress(56, COMMAND)},
        {"Ctrl+Alt+Delete", keyPress(51, CONTROL | OPTION)},
        {"opt++=", keyPress(24, OPTION)},
        {"fn+f1", keyPress(122, 0x800000)},
        {"f13", Json::array()},
        {"cmd+f13", Json::array()},
        {"", Json::array()},
        {"+", Json::array()},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(harness.result("key", {{"combo", row.combo}}), Json({{"ok", true}, {"combo", row.combo}, {"count", 1}}))
            << row.combo;
        EXPECT_EQ(took(), row.timeline) << row.combo;
    }

    // Repeats pause between presses only: 0.05 s, or the delay given.
    EXPECT_EQ(harness.result("key", {{"combo", "down"}, {"repeat", 3}})["count"], 3);
    EXPECT_EQ(took(), concat({keyPress(125), pause(0.05), keyPress(125), pause(0.05), keyPress(125)}));
    harness.result("key", {{"combo", "up"}, {"repeat", 2}, {"delay", 20}});
    EXPECT_EQ(took(), concat({keyPress(126), pause(0.02), keyPress(126)}));
    for (int repeat : {0, -3}) {
        EXPECT_EQ(harness.result("key", {{"combo", "a"}, {"repeat", repeat}}), Json({{"ok", true}, {"combo", "a"}, {"count", 0}}));
        EXPECT_EQ(took(), Json::array());
    }
    EXPECT_EQ(harness.error("key", {{"repeat", 2}}), Json({{"code", -32602}, {"message", "Missing combo parameter"}}));
    EXPECT_EQ(harness.error("key", {{"combo", "a"}, {"repeat", 1001}}),
              Json({{"code", -32602}, {"message", "repeat must be at most 1000"}}));
    EXPECT_EQ(took(), Json::array());
    // Events that cannot be made post nothing and are not an error.
    harness.desktop().knobs.keyEventsFail = true;
    EXPECT_EQ(harness.result("key", {{"combo", "a"}})["ok"], true);
    EXPECT_EQ(took(), Json::array());
}

TEST_F(InputTest, TypingChoosesKeysOrText) {
    struct Row {
        const char* text;
        std::size_t length;
        Json timeline;
    };
    const Row rows[] = {
        {"Hello!", 6, concat({keyPress(4, SHIFT), keyPress(14), keyPress(37), keyPress(37), keyPress(31), keyPress(18, SHIFT)})},
        {"é\n", 2, concat({keyPress(0, 0, "é"), keyPress(0, 0, "\n")})},
        {"a b\t", 4, concat({keyPress(0), keyPress(0, 0, " "), keyPress(11), keyPress(0, 0, "\t")})},
        {"É~", 2, concat({keyPress(0, 0, "É"), keyPress(50, SHIFT)})},
        {"e\u0301", 1, keyPress(0, 0, "e\u0301")},
        {"\U0001F1E9\U0001F1EA", 1, keyPress(0, 0, "\U0001F1E9\U0001F1EA")},
        {"\r\n", 1, keyPress(0, 0, "\r\n")},
        {"", 0, Json::array()},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(harness.result("type", {{"text", row.text}}), Json({{"ok", true}, {"length", row.length}})) << row.text;
        EXPECT_EQ(took(), row.timeline) << row.text;
    }

    // A delay of at least 1 ms follows every character, the last one too.
    harness.result("type", {{"text", "ab"}, {"delay", 30}});
    EXPECT_EQ(took(), concat({keyPress(0), pause(0.03), keyPress(11), pause(0.03)}));
    harness.result("type", {{"text", "ab"}, {"delay", 0}});
    EXPECT_EQ(took(), concat({keyPress(0), keyPress(11)}));

    EXPECT_EQ(harness.error("type", Json::object()), Json({{"code", -32602}, {"message", "Missing text parameter"}}));
    EXPECT_EQ(harness.error("type", {{"text", 5}})["message"], "Missing text parameter");
    harness.desktop().knobs.keyEventsFail = true;
    EXPECT_EQ(harness.result("type", {{"text", "xy"}}), Json({{"ok", true}, {"length", 2}}));
    EXPECT_EQ(took(), Json::array());
}

TEST_F(InputTest, SingleKeysDownAndUp) {
    struct Row {
        const char* method;
        const char* key;
        Json timeline;
    };
    const Row rows[] = {
        {"keydown", "Shift", Json::array({key(56, true, SHIFT)})},
        {"keyup", "SHIFT", Json::array({key(56, false, SHIFT)})},
        {"keydown", "command", Json::array({key(55, true, COMMAND)})},
        {"keydown", "ctrl", Json::array({key(59, true, CONTROL)})},
        {"keydown", "option", Json::array({key(58, true, OPTION)})},
        {"keydown", "fn", Json::array({key(63, true)})},
        {"keyup", "Return", Json::array({key(36, false)})},
        {"keydown", "a", Json::array({key(0, true)})},
    };
    for (const auto& row : rows) {
        const std::string action = std::string(row.method) == "keydown" ? "down" : "up";
        EXPECT_EQ(harness.result(row.method, {{"key", row.key}}), Json({{"ok", true}, {"key", row.key}, {"action", action}}));
        EXPECT_EQ(took(), row.timeline) << row.key;
    }
    EXPECT_EQ(harness.error("keydown", {{"key", "F13"}}), Json({{"code", -32602}, {"message", "Unknown key: F13"}}));
    EXPECT_EQ(harness.error("keyup", Json::object()), Json({{"code", -32602}, {"message", "Missing key parameter"}}));
    harness.desktop().knobs.keyEventsFail = true;
    EXPECT_EQ(harness.error("keyup", {{"key", "a"}}),
              Json({{"code", -32600}, {"message", "Failed to create keyboard event"}}));
}

TEST_F(InputTest, FillSetsTheValueOrTypesIt) {
    EXPECT_EQ(harness.result("fill", {{"ref", ref("name")}, {"text", "Ada"}}),
              Json({{"ok", true}, {"ref", ref("name")}, {"method", "ax_set_value"}}));
    EXPECT_EQ(took(), Json::array({write("name", "AXValue", "Ada")}));

    EXPECT_EQ(harness.result("fill", {{"ref", ref("sink")}, {"text", "Hi"}}),
              Json({{"ok", true}, {"ref", ref("sink")}, {"method", "focus_select_type"}}));
    EXPECT_EQ(took(), concat({write("sink", "AXValue", "Hi"), write("sink", "AXFocused", true), pause(0.1),
                              keyPress(0, COMMAND), pause(0.05), keyPress(4, SHIFT), keyPress(34)}));

    // The ref is checked before the text, and both before the ref map.
    EXPECT_EQ(harness.error("fill", Json::object()), Json({{"code", -32602}, {"message", "Missing ref parameter"}}));
    EXPECT_EQ(harness.error("fill", {{"ref", "@x9"}}), Json({{"code", -32602}, {"message", "Missing text parameter"}}));
    EXPECT_EQ(harness.error("fill", {{"ref", "@x9"}, {"text", ""}})["code"], -32001);
}

TEST_F(InputTest, FocusCheckAndUncheck) {
    harness.result("focus", {{"ref", ref("name")}});
    EXPECT_EQ(took(), Json::array({write("name", "AXFocused", true)}));
    EXPECT_EQ(harness.result("focus", {{"ref", ref("stuck")}}), Json({{"ok", true}, {"ref", ref("stuck")}}));
    EXPECT_EQ(took(), Json({write("stuck", "AXFocused", true), press("stuck")}));

    struct Row {
        const char* id;
        bool checkPresses;
        bool uncheckPresses;
    };
    // Only a number whose integer value is 1 reads as checked.
    const Row rows[] = {{"on", false, true}, {"off", true, false}, {"odd", true, false},
                        {"textual", true, false}, {"real", false, true}, {"huge", true, false}};
    for (const auto& row : rows) {
        const std::string r = ref(row.id);
        EXPECT_EQ(harness.result("check", {{"ref", r}}), Json({{"ok", true}, {"ref", r}, {"checked", true}}));
        EXPECT_EQ(took(), row.checkPresses ? Json::array({press(row.id)}) : Json::array()) << row.id;
        EXPECT_EQ(harness.result("uncheck", {{"ref", r}}), Json({{"ok", true}, {"ref", r}, {"checked", false}}));
        EXPECT_EQ(took(), row.uncheckPresses ? Json::array({press(row.id)}) : Json::array()) << row.id;
    }
    for (const char* method : {"focus", "check", "uncheck", "select", "set"}) {
        EXPECT_EQ(harness.error(method, Json::object()), Json({{"code", -32602}, {"message", "Missing ref parameter"}}));
        EXPECT_EQ(harness.error(method, {{"ref", "@q1"}, {"value", "v"}})["code"], -32001) << method;
    }
}

// A check box that takes no press (GTK 4's check buttons have no action) is
// clicked at its centre; one whose position cannot be read, or that has no
// area, then fails as a click on it would, instead of answering that it
// changed.
TEST(CheckWithoutActionTest, ClicksTheCentreOrFails) {
    const Json boxes = Json::array({
        node("bare", "AXCheckBox", {{"title", "Bare"}, {"value", 0}, {"actions", Json::array()}, {"frame", {40, 60, 20, 10}}}),
        node("lost", "AXCheckBox", {{"title", "Lost"}, {"value", 1}, {"actions", Json::array()}}),
        node("flat", "AXCheckBox", {{"title", "Flat"}, {"value", 0}, {"actions", Json::array()}, {"frame", {40, 90, 20, 0}}}),
    });
    DispatcherHarness harness(Json{{"apps", {{{"name", "Form"}, {"pid", 700}, {"active", true},
                                              {"windows", {{{"id", "win"}, {"role", "AXWindow"}, {"title", "Settings"},
                                                            {"window", {{"number", 71}, {"bounds", {0, 0, 500, 400}}}},
                                                            {"children", boxes}}}}}}}});
    harness.dispatcher().grabbedWindow = "@w1";
    harness.dispatcher().windowManager.windowInfoCache["@w1"] = {
        {"ref", "@w1"}, {"title", "Settings"}, {"app", "Form"}, {"process_id", 700}};
    harness.result("snapshot");
    std::map<std::string, std::string> refs;
    for (const auto& [name, element] : harness.dispatcher().lastRefMap) {
        if (auto id = harness.desktop().idOf(element)) refs[*id] = name;
    }
    harness.desktop().timeline.clear();

    EXPECT_EQ(harness.result("check", {{"ref", refs["bare"]}}), Json({{"ok", true}, {"ref", refs["bare"]}, {"checked", true}}));
    EXPECT_EQ(harness.desktop().timeline, Json::array({press("bare"), mouse(1, 50, 65, 0, 1), mouse(2, 50, 65, 0, 1)}));
    harness.desktop().timeline.clear();
    EXPECT_EQ(harness.result("uncheck", {{"ref", refs["bare"]}})["ok"], true);
    EXPECT_EQ(harness.desktop().timeline, Json::array()) << "it still reads unchecked";

    EXPECT_EQ(harness.error("uncheck", {{"ref", refs["lost"]}}),
              Json({{"code", -32600}, {"message", "Element " + refs["lost"] + " has no position on screen"}}));
    EXPECT_EQ(harness.desktop().timeline, Json::array({press("lost")})) << "no click";
    harness.desktop().timeline.clear();
    // Nor is one of no area (GTK 4's before it is laid out), by check or click.
    const Json flat = {{"code", -32600}, {"message", "Element " + refs["flat"] + " has no position on screen"}};
    EXPECT_EQ(harness.error("check", {{"ref", refs["flat"]}}), flat);
    EXPECT_EQ(harness.error("click", {{"ref", refs["flat"]}}), flat);
    EXPECT_EQ(harness.desktop().timeline, Json::array({press("flat"), press("flat")})) << "no click";
}

TEST_F(InputTest, SelectTriesValueChildrenThenThePopUp) {
    struct Row {
        const char* id;
        const char* value;
        const char* method;  // nullptr: none
        Json timeline;
    };
    const Row rows[] = {
        {"font", "14", nullptr, Json::array({write("font", "AXValue", "14")})},
        {"color", "Red", "child_press", {write("color", "AXValue", "Red"), press("red")}},
        {"color", "Blue", "child_press", {write("color", "AXValue", "Blue"), press("blue")}},
        // An empty value matches the first child whose title or value is
        // empty or absent: Red has no value.
        {"color", "", "child_press", {write("color", "AXValue", ""), press("red")}},
        // Case matters; the pop-up is opened and its titles compared.
        {"color", "red", "set_value_attempted", {write("color", "AXValue", "red"), press("color"), pause(0.2)}},
        {"size", "Large", "popup_select", {write("size", "AXValue", "Large"), press("size"), pause(0.2), press("large")}},
    };
    for (const auto& row : rows) {
        Json expected = {{"ok", true}, {"ref", ref(row.id)}, {"value", row.value}};
        if (row.method) expected["method"] = row.method;
        EXPECT_EQ(harness.result("select", {{"ref", ref(row.id)}, {"value", row.value}}), expected) << row.value;
        EXPECT_EQ(took(), row.timeline) << row.value;
    }
    // After opening, only titles count: "L" is the item's value, not its title.
    harness.desktop().hide("large");
    EXPECT_EQ(harness.result("select", {{"ref", ref("size")}, {"value", "L"}})["method"], "set_value_attempted");
    EXPECT_EQ(harness.error("select", {{"ref", ref("size")}}),
              Json({{"code", -32602}, {"message", "Missing value parameter"}}));
}

TEST_F(InputTest, SetWritesNumbersFirst) {
    struct Row {
        const char* value;
        std::optional<double> number;  // the first write's number; none: a string write only
    };
    const Row rows[] = {
        {"42", 42},       {"-1.5e3", -1500},  {"+3", 3},         {"0x1p3", 8},       {"0X.8", 0.5},
        {".5", 0.5},      {"1e999", INFINITY}, {"inf", INFINITY}, {"-Infinity", -INFINITY},
        {"42px", {}},     {" 42", {}},        {"42 ", {}},       {"1,5", {}},        {"0x", {}},
        {"", {}},         {"--1", {}},        {"+-1", {}},       {"0xinf", {}},      {"nan(", {}},
        {"e5", {}},       {"infinite", {}},
    };
    for (const auto& row : rows) {
        harness.desktop().writes.clear();
        EXPECT_EQ(harness.result("set", {{"ref", ref("volume")}, {"value", row.value}}),
                  Json({{"ok", true}, {"ref", ref("volume")}, {"value", row.value}}))
            << row.value;
        const auto& writes = harness.desktop().writes;
        ASSERT_EQ(writes.size(), 1u) << row.value;
        if (row.number) {
            ASSERT_EQ(writes[0].value.kind(), platform::Value::Kind::real) << row.value;
            EXPECT_EQ(*writes[0].value.asNumber(), *row.number) << row.value;
        } else {
            ASSERT_NE(writes[0].value.asString(), nullptr) << row.value;
            EXPECT_EQ(*writes[0].value.asString(), row.value);
        }
    }
    harness.desktop().writes.clear();
    harness.result("set", {{"ref", ref("volume")}, {"value", "NaN"}});
    ASSERT_EQ(harness.desktop().writes.size(), 1u);
    EXPECT_TRUE(std::isnan(*harness.desktop().writes[0].value.asNumber()));

    // A refused number falls back to the string; a refused string is noted.
    took();
    EXPECT_EQ(harness.result("set", {{"ref", ref("label")}, {"value", "7"}}),
              Json({{"ok", true}, {"ref", ref("label")}, {"value", "7"}, {"note", "set_value may not have taken effect"}}));
    EXPECT_EQ(took(), Json({write("label", "AXValue", 7.0), write("label", "AXValue", "7")}));
    EXPECT_EQ(harness.error("set", {{"ref", ref("label")}})["message"], "Missing value parameter");
}

TEST_F(InputTest, ClipboardAndPaste) {
    auto& desktop = harness.desktop();
    const Json read = {{"clipboard", "read"}};
    const Json clear = {{"clipboard", "clear"}};
    auto put = [](const std::string& text) { return Json{{"clipboard", "write"}, {"text", text}}; };

    EXPECT_EQ(harness.result("clipboard_read"), Json({{"ok", true}, {"text", nullptr}}));
    EXPECT_EQ(harness.result("clipboard_set", {{"text", "abc"}}), Json({{"ok", true}}));
    EXPECT_EQ(harness.result("clipboard_read"), Json({{"ok", true}, {"text", "abc"}}));
    EXPECT_EQ(took(), Json({read, put("abc"), read}));
    harness.result("clipboard_set", {{"text", ""}});
    EXPECT_EQ(harness.result("clipboard_read")["text"], "");
    EXPECT_EQ(harness.error("clipboard_set", Json::object()),
              Json({{"code", -32602}, {"message", "Missing text parameter"}}));

    // Copy presses cmd+c, waits, and reads whatever is there then.
    desktop.pasteboardText = "before";
    took();
    EXPECT_EQ(harness.result("clipboard_copy"), Json({{"ok", true}, {"text", "before"}}));
    EXPECT_EQ(took(), concat({keyPress(8, COMMAND), pause(0.1), read}));
    desktop.onEvent([](FakeDesktop& d, const platform::Event& event) {
        auto* k = std::get_if<platform::KeyEvent>(&event);
        if (k && k->keyCode == 8 && !k->keyDown) d.pasteboardText = "copied";
    });
    EXPECT_EQ(harness.result("clipboard_copy")["text"], "copied");
    took();

    // Paste puts the text, presses cmd+v, and puts the old text back.
    EXPECT_EQ(harness.result("paste", {{"text", "Grüße e\u0301"}}), Json({{"ok", true}, {"length", 7}}));
    EXPECT_EQ(took(), concat({read, put("Grüße e\u0301"), pause(0.05), keyPress(9, COMMAND), pause(0.1), put("copied")}));
    EXPECT_EQ(desktop.pasteboardText, "copied");
    // With no text before, it is left empty.
    desktop.pasteboardText.reset();
    harness.result("paste", {{"text", "x"}});
    EXPECT_EQ(desktop.pasteboardText, std::nullopt);
    took();
    // A clipboard that refuses the text: nothing is pressed, and the error says so.
    desktop.pasteboardText = "kept";
    desktop.knobs.pasteboardWriteFails = true;
    const Json refused = {{"code", -32600}, {"message", "Failed to put the text on the clipboard"}};
    EXPECT_EQ(harness.error("paste", {{"text", "x"}}), refused);
    // The refused text leaves the clipboard empty, not holding the older
    // text, which a later paste would put in its place.
    EXPECT_EQ(took(), Json({read, put("x"), clear, put("kept"), clear}));
    desktop.pasteboardText = "older";
    EXPECT_EQ(harness.error("clipboard_set", {{"text", "x"}}), refused);
    EXPECT_EQ(desktop.pasteboardText, std::nullopt);
    EXPECT_EQ(harness.error("paste", Json::object()), Json({{"code", -32602}, {"message", "Missing text parameter"}}));

    // Paste activates like typing; the clipboard methods never do.
    desktop.knobs.pasteboardWriteFails = false;
    makeFrontmost(800);
    took();
    harness.result("clipboard_copy");
    harness.result("clipboard_read");
    for (const auto& entry : took()) EXPECT_FALSE(entry.contains("activate")) << entry;
    harness.result("paste", {{"text", "y"}});
    Json timeline = took();
    EXPECT_EQ(timeline.front(), Json({{"activate", 700}}));
    EXPECT_EQ(timeline.back(), Json({{"activate", 800}}));
}

// Draws from a script: each draw53 takes the next value (the middle of the
// range once the script is used up), each coin the next answer (true after).
class ScriptedRandomness final : public Randomness {
public:
    std::vector<std::uint64_t> draws;
    std::vector<bool> coins;
    std::uint64_t draw53() override {
        if (next_ < draws.size()) return draws[next_++];
        return TWO_POW_53 / 2;
    }
    bool coin() override { return nextCoin_ < coins.size() ? coins[nextCoin_++] : true; }
    bool available() override { return !failing; }
    bool failing = false;

private:
    std::size_t next_ = 0;
    std::size_t nextCoin_ = 0;
};

// Only the events of a timeline.
Json eventsOnly(const Json& timeline) {
    Json events = Json::array();
    for (const auto& entry : timeline) {
        if (entry.contains("mouse") || entry.contains("scroll") || entry.contains("key")) events.push_back(entry);
    }
    return events;
}
Json pausesOnly(const Json& timeline) {
    Json pauses = Json::array();
    for (const auto& entry : timeline) {
        if (entry.contains("pause")) pauses.push_back(entry["pause"]);
    }
    return pauses;
}
Json scroll(const char* unit, int vertical, int horizontal) {
    return {{"scroll", unit}, {"wheels", {vertical, horizontal}}, {"flags", 0}};
}

TEST_F(InputTest, DragPressesMovesAndReleases) {
    EXPECT_EQ(harness.result("drag", {{"from_x", 0}, {"from_y", 0}, {"to_x", 100}, {"to_y", 50}, {"steps", 4}, {"duration", 0.2}}),
              Json({{"ok", true}, {"from", {{"x", 0}, {"y", 0}}}, {"to", {{"x", 100}, {"y", 50}}}}));
    EXPECT_EQ(took(), Json({mouse(5, 0, 0, 0, 0), pause(0.05), mouse(1, 0, 0, 0, 0), pause(0.05),
                            mouse(6, 25, 12.5, 0, 0), pause(0.05), mouse(6, 50, 25, 0, 0), pause(0.05),
                            mouse(6, 75, 37.5, 0, 0), pause(0.05), mouse(6, 100, 50, 0, 0), pause(0.05),
                            mouse(2, 100, 50, 0, 0)}));
    // Fewer than 3 steps make 2: the midpoint and the end.
    for (int steps : {0, 1, 2, -5}) {
        harness.result("drag", {{"from_x", 0}, {"from_y", 0}, {"to_x", 10}, {"to_y", 10}, {"steps", steps}});
        Json dragged = Json::array();
        for (const auto& e : eventsOnly(took())) {
            if (e["mouse"] == 6) dragged.push_back(e["at"]);
        }
        EXPECT_EQ(dragged, Json({{5, 5}, {10, 10}})) << steps;
    }
    harness.result("drag", {{"from_x", 0}, {"from_y", 0}, {"to_x", 1}, {"to_y", 1}});
    EXPECT_EQ(eventsOnly(took()).size(), 23u);  // move, down, 20 dragged, up
    // Refs win over coordinates and give the elements' centres.
    EXPECT_EQ(harness.result("drag", {{"from_ref", ref("ok")}, {"from_x", 1}, {"from_y", 1}, {"to_ref", ref("stuck")}, {"steps", 3}}),
              Json({{"ok", true}, {"from", {{"x", 140}, {"y", 215}}}, {"to", {{"x", 25}, {"y", 40}}}}));
    // A bad or missing duration never waits: not a number is no pause.
    took();
    harness.result("drag", {{"from_x", 0}, {"from_y", 0}, {"to_x", 1}, {"to_y", 1}, {"steps", 3}, {"duration", -4}});
    EXPECT_EQ(pausesOnly(took()), Json({0.05, 0.05, 0, 0, 0}));
    // Too many steps are held to the most.
    harness.result("drag", {{"from_x", 0}, {"from_y", 0}, {"to_x", 1}, {"to_y", 1}, {"steps", 1'000'000'000}, {"duration", 0}});
    EXPECT_EQ(eventsOnly(took()).size(), static_cast<std::size_t>(Drag::MOST_STEPS + 3));

    // The start is checked before the end.
    struct Row {
        Json params;
        Json error;
    };
    const Row rows[] = {
        {Json::object(), {{"code", -32602}, {"message", "Missing from position: provide from_ref or from_x/from_y"}}},
        {{{"from_x", 1}, {"to_ref", "@no"}}, {{"code", -32602}, {"message", "Missing from position: provide from_ref or from_x/from_y"}}},
        {{{"from_ref", "@no"}}, {{"code", -32001}, {"message", "From element not found: @no. Take a snapshot first."}}},
        {{{"from_x", 1}, {"from_y", 2}}, {{"code", -32602}, {"message", "Missing to position: provide to_ref or to_x/to_y"}}},
        {{{"from_x", 1}, {"from_y", 2}, {"to_ref", "@no"}}, {{"code", -32001}, {"message", "To element not found: @no. Take a snapshot first."}}},
        {{{"from_ref", ref("ghost")}, {"to_x", 1}, {"to_y", 1}},
         {{"code", -32600}, {"message", "From element " + ref("ghost") + " has no position on screen"}}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(harness.error("drag", row.params), row.error) << row.params;
        EXPECT_EQ(took(), Json::array()) << row.params;
    }
    // Stopping mid-drag still releases the button.
    harness.clock().stopping = true;
    EXPECT_EQ(harness.error("drag", {{"from_x", 0}, {"from_y", 0}, {"to_x", 1}, {"to_y", 1}})["message"],
              "Interrupted: kest-core is shutting down");
    harness.clock().stopping = false;
    EXPECT_EQ(took(), Json::array({mouse(5, 0, 0, 0, 0)}));
}

TEST_F(InputTest, ScrollWheelsAndSteps) {
    struct Row {
        Json params;
        Json events;
        std::int64_t amount;
    };
    const Row rows[] = {
        {{{"direction", "down"}}, Json::array({scroll("line", -3, 0)}), 3},
        {{{"direction", "up"}, {"amount", 5}}, Json::array({scroll("line", 5, 0)}), 5},
        {{{"direction", "left"}}, Json::array({scroll("line", 0, 3)}), 3},
        {{{"direction", "right"}, {"amount", 2}}, Json::array({scroll("line", 0, -2)}), 2},
        {{{"direction", "down"}, {"pixels", 120}}, Json::array({scroll("pixel", -120, 0)}), 3},
        {{{"direction", "sideways"}}, Json::array({scroll("line", 0, 0)}), 3},
        {{{"direction", "Down"}}, Json::array({scroll("line", 0, 0)}), 3},
        {{{"direction", "up"}, {"amount", 10'000'000'000}}, Json::array({scroll("line", 2147483647, 0)}), 10'000'000'000},
        {{{"direction", "down"}, {"pixels", -10'000'000'000}}, Json::array({scroll("pixel", 2147483647, 0)}), 3},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(harness.result("scroll", row.params), Json({{"ok", true}, {"direction", row.params["direction"]}, {"amount", row.amount}}));
        EXPECT_EQ(took(), row.events) << row.params;
    }

    // Smooth: min(total, 20) steps of total / steps, 0.02 s after each.
    struct Smooth {
        Json params;
        std::size_t steps;
        int perStep;
    };
    const Smooth smooth[] = {
        {{{"direction", "down"}}, 20, -1},
        {{{"direction", "up"}, {"pixels", 7}}, 7, 1},
        {{{"direction", "up"}, {"pixels", 100}}, 20, 5},
        {{{"direction", "left"}, {"amount", 1}}, 10, 1},
        {{{"direction", "up"}, {"pixels", 0}}, 0, 0},
        {{{"direction", "up"}, {"amount", -4}}, 0, 0},
    };
    for (const auto& row : smooth) {
        Json params = row.params;
        params["smooth"] = true;
        harness.result("scroll", params);
        Json timeline = took();
        Json events = eventsOnly(timeline);
        ASSERT_EQ(events.size(), row.steps) << params;
        for (const auto& e : events) {
            const bool horizontal = params["direction"] == "left";
            EXPECT_EQ(e, scroll("pixel", horizontal ? 0 : row.perStep, horizontal ? row.perStep : 0)) << params;
        }
        EXPECT_EQ(pausesOnly(timeline), Json(std::vector<double>(row.steps, 0.02))) << params;
    }

    // "on" moves the pointer to the element first.
    harness.result("scroll", {{"direction", "down"}, {"on", ref("ok")}});
    EXPECT_EQ(took(), Json({mouse(5, 140, 215, 0, 0), pause(0.05), scroll("line", -3, 0)}));
    EXPECT_EQ(harness.error("scroll", {{"direction", "down"}, {"on", "@zz"}}),
              Json({{"code", -32001}, {"message", "Element not found: @zz. Take a snapshot first."}}));
    EXPECT_EQ(harness.error("scroll", {{"amount", 3}}), Json({{"code", -32602}, {"message", "Missing direction parameter"}}));
    harness.desktop().knobs.scrollEventsFail = true;
    EXPECT_EQ(harness.result("scroll", {{"direction", "up"}})["ok"], true);
    EXPECT_EQ(took(), Json::array());
}

TEST_F(InputTest, HumanLikeClicksTypingAndMoves) {
    ScriptedRandomness random;
    harness.dispatcher().randomness = &random;
    constexpr std::uint64_t TOP = Randomness::TWO_POW_53;

    // Jitter 0: the exact centre, with the random pauses before and between.
    random.draws = {0, TOP, 0, TOP};
    EXPECT_EQ(harness.result("human_click", {{"ref", ref("ok")}, {"jitter", 0}}),
              Json({{"ok", true}, {"ref", ref("ok")}, {"human", true}}));
    EXPECT_EQ(took(), Json({pause(0.02), mouse(1, 140, 215, 0, 0), pause(0.12), mouse(2, 140, 215, 0, 0)}));
    // The largest jitter either way is kept 2 points inside the edges.
    random = ScriptedRandomness();
    random.draws = {TOP, 0};
    harness.result("human_click", {{"ref", ref("ok")}, {"jitter", 500}});
    EXPECT_EQ(eventsOnly(took())[0]["at"], Json({178, 202}));
    // Negative: its size.
    random = ScriptedRandomness();
    random.draws = {TOP, TOP};
    harness.result("human_click", {{"ref", ref("ok")}, {"jitter", -10}});
    EXPECT_EQ(eventsOnly(took())[0]["at"], Json({150, 225}));

    EXPECT_EQ(harness.error("human_click", Json::object()), Json({{"code", -32602}, {"message", "Missing ref parameter"}}));
    makeFrontmost(800);
    EXPECT_EQ(harness.error("human_click", {{"ref", "@nope"}})["code"], -32001);
    EXPECT_EQ(took(), Json::array());  // nothing activated for an unknown ref
    harness.result("human_click", {{"ref", ref("ok")}});
    Json timeline = took();
    EXPECT_EQ(timeline.front(), Json({{"activate", 700}}));
    EXPECT_EQ(timeline.back(), Json({{"activate", 800}}));
    makeFrontmost(700);

    // Typing: each character as type does, then base × factor by its kind.
    random = ScriptedRandomness();
    random.draws = {0, TOP, 0, TOP};
    EXPECT_EQ(harness.result("human_type", {{"text", "a! é"}, {"delay", 100}}),
              Json({{"ok", true}, {"length", 4}, {"human", true}}));
    EXPECT_EQ(took(), concat({keyPress(0), pause(0.07), keyPress(18, SHIFT), pause(0.3), keyPress(0, 0, " "), pause(0.06),
                              keyPress(0, 0, "é"), pause(0.14)}));
    random = ScriptedRandomness();
    random.draws = {0};
    harness.result("human_type", {{"text", "b"}, {"delay", 0}});
    EXPECT_EQ(pausesOnly(took()), Json({0.035}));  // the base is 50 ms when not above 0
    EXPECT_EQ(harness.result("human_type", {{"text", ""}}), Json({{"ok", true}, {"length", 0}, {"human", true}}));
    EXPECT_EQ(took(), Json::array());
    EXPECT_EQ(harness.error("human_type", Json::object())["message"], "Missing text parameter");

    // A curved move: steps + 1 moves, from the pointer to the target exactly.
    harness.desktop().pointer = {0, 0};
    random = ScriptedRandomness();
    EXPECT_EQ(harness.result("human_move", {{"x", 100}, {"y", 0}, {"duration", 0.05}}), Json({{"ok", true}}));
    timeline = took();
    Json moves = eventsOnly(timeline);
    ASSERT_EQ(moves.size(), 11u);
    EXPECT_EQ(moves.front()["at"], Json({0, 0}));
    EXPECT_EQ(moves.back()["at"], Json({100, 0}));
    // Bowed to the side: the control point is 25 below the middle (offset
    // 0.25 × 100, sign +1), so the curve's middle is 12.5 below the chord.
    EXPECT_DOUBLE_EQ(moves[5]["at"][0].get<double>(), 50);
    EXPECT_DOUBLE_EQ(moves[5]["at"][1].get<double>(), 12.5);
    // Slower in the middle: 0.005 × (1 + 0.5 sin(tπ)).
    Json pauses = pausesOnly(timeline);
    ASSERT_EQ(pauses.size(), 11u);
    EXPECT_DOUBLE_EQ(pauses[0].get<double>(), 0.005);
    EXPECT_DOUBLE_EQ(pauses[5].get<double>(), 0.0075);
    // Default 0.5 s: 50 steps; to the pointer's own place: a straight, still path.
    harness.result("human_move", {{"x", 100}, {"y", 0}});
    EXPECT_EQ(eventsOnly(took()).size(), 51u);
    // A random source that fails sends nothing.
    random.failing = true;
    const std::pair<const char*, Json> calls[] = {
        {"human_click", {{"ref", ref("ok")}}}, {"human_type", {{"text", "a"}}}, {"human_move", {{"x", 1}, {"y", 1}}}};
    for (const auto& [method, params] : calls) {
        EXPECT_EQ(harness.error(method, params), Json({{"code", -32600}, {"message", "The system's random source failed; nothing was sent"}}))
            << method;
    }
    EXPECT_EQ(took(), Json::array());
    random.failing = false;
    harness.result("human_move", {{"x", 100}, {"y", 0}, {"duration", 0}});
    for (const auto& e : eventsOnly(took())) {
        EXPECT_DOUBLE_EQ(e["at"][0].get<double>(), 100);
        EXPECT_DOUBLE_EQ(e["at"][1].get<double>(), 0);
    }
    harness.result("human_move", {{"x", 1}, {"y", 1}, {"duration", 1e300}});
    EXPECT_EQ(eventsOnly(took()).size(), static_cast<std::size_t>(HumanLike::MOST_MOVE_STEPS + 1));
    EXPECT_EQ(harness.error("human_move", {{"x", 1}}), Json({{"code", -32602}, {"message", "Missing x or y coordinate"}}));
}

TEST(Randomness, SystemDrawsStayInRangeAndVary) {
    SystemRandomness random;
    std::set<std::uint64_t> seen;
    int heads = 0;
    for (int i = 0; i < 200; ++i) {
        const std::uint64_t k = random.draw53();
        EXPECT_LE(k, Randomness::TWO_POW_53);
        seen.insert(k);
        const double u = random.uniform(-3, 3);
        EXPECT_GE(u, -3);
        EXPECT_LE(u, 3);
        heads += random.coin() ? 1 : 0;
    }
    EXPECT_GT(seen.size(), 190u);
    EXPECT_GT(heads, 0);
    EXPECT_LT(heads, 200);
}

TEST(NumberSyntax, IgnoresTheProcessLocale) {
    locale_t german = newlocale(LC_ALL_MASK, "de_DE.UTF-8", static_cast<locale_t>(nullptr));
    if (german == nullptr) GTEST_SKIP() << "no de_DE.UTF-8 locale here";
    locale_t previous = uselocale(german);
    EXPECT_EQ(Focus::parseNumber("1.5"), 1.5);
    EXPECT_EQ(Focus::parseNumber("1,5"), std::nullopt);
    uselocale(previous);
    freelocale(german);
}

TEST(KeyTables, SizesAndSharedNames) {
    EXPECT_EQ(KEY_MAP().size(), 85u);
    std::set<platform::KeyCode> codes;
    for (const auto& [name, code] : KEY_MAP()) codes.insert(code);
    EXPECT_EQ(codes.size(), 78u);
    EXPECT_EQ(SHIFT_CHARS().size(), 21u);
    for (const auto& [character, keyName] : SHIFT_CHARS()) EXPECT_TRUE(KEY_MAP().contains(keyName)) << character;
    for (const char* name : {"cmd", "command", "shift", "opt", "option", "alt", "ctrl", "control", "fn"}) {
        EXPECT_TRUE(isModifier(name));
        EXPECT_TRUE(KEY_MAP().contains(name));
    }
    EXPECT_FALSE(isModifier("Shift"));  // callers lowercase first
    EXPECT_FALSE(isModifier("super"));
}

TEST(UnicodeText, ClustersCaseAndMatching) {
    struct Row {
        const char* text;
        std::vector<std::string> clusters;
    };
    const Row rows[] = {
        {"ab", {"a", "b"}},
        {"e\u0301x", {"e\u0301", "x"}},
        {"\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7", {"\U0001F1E9\U0001F1EA", "\U0001F1EB\U0001F1F7"}},
        {"\U0001F44D\U0001F3FD!", {"\U0001F44D\U0001F3FD", "!"}},
        {"a\r\nb", {"a", "\r\n", "b"}},
        {"世界", {"世", "界"}},
        {"\xff" "a", {"\xff", "a"}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(graphemeClusters(row.text), row.clusters) << row.text;
        EXPECT_EQ(graphemeCount(row.text), row.clusters.size()) << row.text;
    }
    EXPECT_EQ(lowercased("ÄRGER über ΣΟΦΊΑ"), "ärger über σοφία");
    EXPECT_EQ(lowercased("Save As…"), "save as…");
    EXPECT_TRUE(containsIgnoringCase("Größe ändern", "GRÖSSE") == false);  // lowercasing, not folding
    EXPECT_TRUE(containsIgnoringCase("Größe ÄNDERN", "änd"));
    for (const char* upper : {"A", "Z", "É", "Σ"}) EXPECT_TRUE(isUppercase(upper)) << upper;
    for (const char* other : {"a", "1", "!", "é", "世", ""}) EXPECT_FALSE(isUppercase(other)) << other;
}

}  // namespace
}  // namespace kest::fake
