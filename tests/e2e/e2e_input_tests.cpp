// End-to-end tests of the input methods (click, hover, mouse, type, key,
// keydown/keyup, fill, focus, select, check, uncheck, set) through a
// dispatcher over the Linux platform, against kest-fixture,
// gtk3-widget-factory and mousepad on the virtual desktop. Every effect is read
// back from the application itself.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "e2e_support.hpp"
#include "platform/linux/linux_platform.hpp"
#include "rpc/dispatcher.hpp"

namespace kest::e2e {
namespace {

namespace ld = platform::linux_desktop;
namespace p = platform;

class InputE2ETest : public DispatcherSession {
protected:
    // A full snapshot of the grabbed window, its records flattened.
    void snapshot() {
        Json result = call("snapshot");
        ASSERT_FALSE(result.contains("error")) << result;
        flat_ = Json::array();
        flatten(result["elements"], flat_);
    }

    // The record whose label (else value) is `text`, and whose role is `role`
    // when given.
    Json record(const std::string& text, const std::string& role = {}) {
        for (const Json& e : flat_) {
            if (!role.empty() && e["role"] != role) continue;
            if (e["label"] == text || e["value"] == text) return e;
        }
        ADD_FAILURE() << "no element " << text << " (" << role << ") in the snapshot";
        return {{"ref", "@missing"}, {"bounds", {0, 0, 0, 0}}};
    }
    std::string ref(const std::string& text, const std::string& role = {}) { return record(text, role)["ref"]; }
    std::string firstOfRole(const std::string& role) {
        for (const Json& e : flat_) {
            if (e["role"] == role) return e["ref"];
        }
        ADD_FAILURE() << "no " << role << " in the snapshot";
        return "@missing";
    }


    Json ok(const std::string& method, const Json& params = Json::object()) {
        Json result = call(method, params);
        EXPECT_FALSE(result.contains("error")) << method << " " << params << ": " << result;
        return result;
    }

    // Focuses a text element by clicking it, selects everything and types.
    void replaceText(const std::string& elementRef, const std::string& text) {
        ok("click", {{"ref", elementRef}});
        ok("key", {{"combo", "cmd+a"}});
        ok("type", {{"text", text}});
    }

    Json flat_ = Json::array();
};

// The number of top levels (windows, pop-up menus) the application shows.
int showingTopLevels(AtspiReader& reader, pid_t pid) {
    AccessiblePtr app = reader.applicationForPid(pid);
    if (!app) return -1;
    auto tops = reader.children(app.get());
    if (!tops) return -1;
    int showing = 0;
    for (const auto& top : *tops) {
        auto states = reader.states(top.get());
        if (states && states->has(ATSPI_STATE_SHOWING)) ++showing;
    }
    return showing;
}

TEST_F(InputE2ETest, ClicksHoversAndButtonsReachTheFixture) {
    auto fixture = start({fixtureApp()});
    grab(fixture.pid());
    snapshot();

    const std::string status = ref("Status: idle");
    const Json pressed = ok("click", {{"ref", ref("Press Me", "button")}});
    EXPECT_EQ(pressed["ref"], ref("Press Me", "button"));
    EXPECT_EQ(pressed["bounds"], record("Press Me", "button")["bounds"]);
    EXPECT_EQ(settlesTo(status, "Status: pressed 1"), "Status: pressed 1");

    // Counted clicks: by ref (pressed twice), "double", then events at the
    // button's centre, once and twice.
    const std::string target = ref("Click Target", "button");
    const std::string clicks = ref("Clicks: 0");
    ok("click", {{"ref", target}, {"count", 2}});
    EXPECT_EQ(settlesTo(clicks, "Clicks: 2"), "Clicks: 2");
    ok("click", {{"ref", target}, {"double", true}, {"count", 7}});
    EXPECT_EQ(settlesTo(clicks, "Clicks: 4"), "Clicks: 4");
    const Json bounds = record("Click Target", "button")["bounds"];
    const double cx = bounds[0].get<double>() + bounds[2].get<double>() / 2;
    const double cy = bounds[1].get<double>() + bounds[3].get<double>() / 2;
    EXPECT_EQ(ok("click", {{"x", cx}, {"y", cy}}), Json({{"ok", true}}));
    EXPECT_EQ(settlesTo(clicks, "Clicks: 5"), "Clicks: 5");
    ok("click", {{"x", cx}, {"y", cy}, {"count", 2}});
    EXPECT_EQ(settlesTo(clicks, "Clicks: 7"), "Clicks: 7");

    // hover leaves the pointer on the element's centre; mouse presses and
    // releases there without moving it.
    ok("hover", {{"ref", target}});
    auto pointer = platform_->events().pointerLocation();
    ASSERT_TRUE(pointer);
    EXPECT_NEAR(pointer->x, cx, 1.0);
    EXPECT_NEAR(pointer->y, cy, 1.0);
    EXPECT_EQ(ok("mouse", {{"action", "down"}}), Json({{"ok", true}, {"button", "left"}, {"action", "down"}}));
    ok("mouse", {{"action", "up"}});
    EXPECT_EQ(settlesTo(clicks, "Clicks: 8"), "Clicks: 8");

    // Modifiers reach the application with the click: cmd is held as Control.
    ok("click", {{"ref", target}, {"modifiers", {"cmd", "Shift"}}});
    EXPECT_EQ(settlesTo(clicks, "Clicks: 9"), "Clicks: 9");
    snapshot();
    Json modifiers;
    for (const Json& e : flat_) {
        for (const char* key : {"label", "value"}) {
            if (e[key].is_string() && e[key].get<std::string>().starts_with("Click Modifiers:")) modifiers = e[key];
        }
    }
    ASSERT_TRUE(modifiers.is_string()) << "the fixture shows no click modifiers";
    EXPECT_NE(modifiers.get<std::string>().find("ctrl"), std::string::npos) << modifiers;
    EXPECT_NE(modifiers.get<std::string>().find("shift"), std::string::npos) << modifiers;

    // A right click opens the entry's context menu: a new top level shows.
    const int before = showingTopLevels(*reader_, fixture.pid());
    ok("click", {{"ref", ref("Name Entry")}, {"right", true}});
    EXPECT_TRUE(waitFor([&] { return showingTopLevels(*reader_, fixture.pid()) > before; }, std::chrono::seconds(5)));
    ok("key", {{"combo", "escape"}});
    EXPECT_TRUE(waitFor([&] { return showingTopLevels(*reader_, fixture.pid()) == before; }, std::chrono::seconds(5)));
}

TEST_F(InputE2ETest, TypedTextArrivesAsWritten) {
    auto fixture = start({fixtureApp()});
    grab(fixture.pid());
    snapshot();

    const std::string entry = ref("Typing Target");
    struct Row {
        std::string text;
        std::size_t length;
    };
    const Row rows[] = {
        {"Hello!", 6},
        {"Grüße, 世界 ✓ 🙂", 13},
        {"e\u0301 \U0001F1E9\U0001F1EA @#$%^&*()_+{}|:\"<>?~", 24},
        {"ÀÉÎÕÜ àéîõü ÿ ß", 15},
    };
    for (const auto& row : rows) {
        ok("click", {{"ref", entry}});
        ok("key", {{"combo", "cmd+a"}});
        EXPECT_EQ(ok("type", {{"text", row.text}}), Json({{"ok", true}, {"length", row.length}})) << row.text;
        EXPECT_EQ(settlesTo(entry, row.text), row.text);
    }

    // Line breaks and tabs in a text view (further down the scrolled
    // controls, so focused rather than clicked).
    const std::string notes = ref("Notes");
    const std::string multiline = "first line\nsecond\tline\n  ünïcödé 🙂 end";
    ok("focus", {{"ref", notes}});
    ok("key", {{"combo", "cmd+a"}});
    ok("type", {{"text", multiline}});
    EXPECT_EQ(settlesTo(notes, multiline), multiline);
}

// The editor is grabbed while two other applications are open and a third,
// zenity's entry, is in front; each request follows the last at once. Keys
// sent before the editor has the focus, or a restore of zenity that lands
// after the next activation, would type into zenity (whose Return ends it).
TEST_F(InputE2ETest, TypingIntoAnEditorsTextView) {
    if (!std::filesystem::exists("/usr/bin/mousepad")) GTEST_SKIP() << "mousepad is not installed (scripts/install-deps.sh)";
    auto editor = start({"mousepad", "--disable-server"});
    auto factory = start({"gtk3-widget-factory"});
    auto prompt = start({"zenity", "--entry", "--title=Kest Prompt"});
    auto frontPid = [&] {
        auto front = platform_->workspace().frontmostApplication();
        return front ? front->pid : -1;
    };
    ASSERT_TRUE(waitFor([&] { return frontPid() == prompt.pid(); }));
    grab(editor.pid());
    snapshot();
    const std::string area = firstOfRole("textarea");
    const std::string text = "Grüße, 世界 ✓ 🙂\nzweite\tZeile: {x} = \"y\";\n";
    for (int round = 0; round < 4; ++round) {
        ok("click", {{"ref", area}});
        EXPECT_EQ(ok("type", {{"text", text}})["length"], 39);
        EXPECT_EQ(settlesTo(area, text), text) << "round " << round;
        // Select all and type again: the selection is replaced.
        ok("key", {{"combo", "cmd+a"}});
        ok("type", {{"text", "replaced"}});
        EXPECT_EQ(settlesTo(area, "replaced"), "replaced") << "round " << round;
        ok("key", {{"combo", "backspace"}, {"repeat", 3}});
        EXPECT_EQ(settlesTo(area, "repla"), "repla") << "round " << round;
        ok("key", {{"combo", "cmd+a"}});
        ok("key", {{"combo", "backspace"}});
        EXPECT_EQ(settlesTo(area, ""), "") << "round " << round;
        // Each action hands the front back before it answers.
        EXPECT_EQ(frontPid(), prompt.pid()) << "round " << round;
    }
    EXPECT_FALSE(prompt.wait(std::chrono::milliseconds(0))) << "keys reached zenity's entry";
}

TEST_F(InputE2ETest, KeysAndHeldModifiers) {
    auto fixture = start({fixtureApp()});
    grab(fixture.pid());
    snapshot();
    const std::string entry = ref("Typing Target");
    replaceText(entry, "abcdef");
    EXPECT_EQ(settlesTo(entry, "abcdef"), "abcdef");

    EXPECT_EQ(ok("key", {{"combo", "backspace"}, {"repeat", 3}}), Json({{"ok", true}, {"combo", "backspace"}, {"count", 3}}));
    EXPECT_EQ(settlesTo(entry, "abc"), "abc");
    EXPECT_EQ(ok("key", {{"combo", "f13"}}), Json({{"ok", true}, {"combo", "f13"}, {"count", 1}}));
    ok("key", {{"combo", "left"}, {"repeat", 2}, {"delay", 10}});
    ok("type", {{"text", "X"}});
    EXPECT_EQ(settlesTo(entry, "aXbc"), "aXbc");

    // Shift held around typing makes capitals, and is released after.
    ok("key", {{"combo", "end"}});
    EXPECT_EQ(ok("keydown", {{"key", "Shift"}}), Json({{"ok", true}, {"key", "Shift"}, {"action", "down"}}));
    ok("type", {{"text", "xyz"}});
    ok("keyup", {{"key", "shift"}});
    ok("type", {{"text", "q"}});
    EXPECT_EQ(settlesTo(entry, "aXbcXYZq"), "aXbcXYZq");

    // Characters typed with shift come out as asked while Control is held.
    ok("keydown", {{"key", "ctrl"}});
    ok("type", {{"text", "A!"}});
    ok("keyup", {{"key", "ctrl"}});
    ok("type", {{"text", "b"}});
    EXPECT_EQ(settlesTo(entry, "aXbcXYZqA!b"), "aXbcXYZqA!b");

    EXPECT_EQ(call("keydown", {{"key", "hyper"}}), Json({{"error", {{"code", -32602}, {"message", "Unknown key: hyper"}}}}));
}

TEST_F(InputE2ETest, FillFocusChecksAndValues) {
    auto fixture = start({fixtureApp()});
    grab(fixture.pid());
    snapshot();

    const std::string name = ref("Name Entry");
    EXPECT_EQ(ok("fill", {{"ref", name}, {"text", "Ada Lovelace"}})["method"], "ax_set_value");
    EXPECT_EQ(settlesTo(name, "Ada Lovelace"), "Ada Lovelace");
    // An element that refuses the value but takes keys is focused and typed into.
    const std::string sink = ref("Key Sink");
    EXPECT_EQ(ok("fill", {{"ref", sink}, {"text", "Typed, not set!"}})["method"], "focus_select_type");
    EXPECT_EQ(settlesTo(sink, "Typed, not set!"), "Typed, not set!");
    EXPECT_EQ(ok("fill", {{"ref", sink}, {"text", "again"}})["method"], "focus_select_type");
    EXPECT_EQ(settlesTo(sink, "again"), "again");

    const std::string typing = ref("Typing Target");
    EXPECT_EQ(ok("focus", {{"ref", typing}}), Json({{"ok", true}, {"ref", typing}}));
    EXPECT_TRUE(waitFor([&] { return call("read", {{"ref", typing}, {"attr", "AXFocused"}})["value"] == true; }));

    const std::string one = ref("Check One", "checkbox");
    const std::string two = ref("Check Two", "checkbox");
    EXPECT_FALSE(checked(one));
    EXPECT_TRUE(checked(two));
    EXPECT_EQ(ok("check", {{"ref", one}}), Json({{"ok", true}, {"ref", one}, {"checked", true}}));
    EXPECT_EQ(ok("uncheck", {{"ref", two}}), Json({{"ok", true}, {"ref", two}, {"checked", false}}));
    EXPECT_TRUE(waitFor([&] { return checked(one) && !checked(two); }));
    // Asking for the state it already has changes nothing.
    ok("check", {{"ref", one}});
    ok("uncheck", {{"ref", two}});
    EXPECT_TRUE(checked(one));
    EXPECT_FALSE(checked(two));

    // Numbers go to a slider and a spin button; an entry takes the string.
    const std::string volume = ref("Volume", "slider");
    EXPECT_EQ(ok("set", {{"ref", volume}, {"value", "75"}}), Json({{"ok", true}, {"ref", volume}, {"value", "75"}}));
    EXPECT_TRUE(waitFor([&] { return call("read", {{"ref", volume}, {"attr", "AXValue"}})["value"] == 75.0; }));
    const std::string quantity = ref("Quantity");
    ok("set", {{"ref", quantity}, {"value", "42"}});
    EXPECT_TRUE(waitFor([&] { return call("read", {{"ref", quantity}, {"attr", "AXValue"}})["value"] == 42.0; }));
    EXPECT_EQ(ok("set", {{"ref", name}, {"value", "12.5 apples"}}), Json({{"ok", true}, {"ref", name}, {"value", "12.5 apples"}}));
    EXPECT_EQ(settlesTo(name, "12.5 apples"), "12.5 apples");
    ok("set", {{"ref", name}, {"value", "1e3"}});  // no number for an entry: the text
    EXPECT_EQ(settlesTo(name, "1e3"), "1e3");
}

TEST_F(InputE2ETest, SelectByEachOutcome) {
    auto fixture = start({fixtureApp()});
    grab(fixture.pid());
    snapshot();

    // A pop-up takes the entry's name as its value.
    const std::string color = ref("Color", "dropdown");
    EXPECT_EQ(ok("select", {{"ref", color}, {"value", "Blue"}}), Json({{"ok", true}, {"ref", color}, {"value", "Blue"}}));
    EXPECT_EQ(settlesTo(color, "Blue"), "Blue");
    // An editable combo box takes the text.
    const std::string size = ref("Font Size", "combobox");
    EXPECT_FALSE(ok("select", {{"ref", size}, {"value", "14"}}).contains("method"));
    EXPECT_EQ(settlesTo(size, "14"), "14");
    // A group of radio buttons: the child of that title is pressed.
    std::string radios;
    for (const Json& e : flat_) {
        if (e["role"] == "radio" && e["label"] == "Radio A") break;
        if (e["role"] == "group") radios = e["ref"];
    }
    const std::string radioB = ref("Radio B", "radio");
    EXPECT_EQ(ok("select", {{"ref", radios}, {"value", "Radio B"}})["method"], "child_press");
    EXPECT_TRUE(waitFor([&] { return checked(radioB); }));
    // No such entry: the pop-up is opened and left open.
    const int before = showingTopLevels(*reader_, fixture.pid());
    EXPECT_EQ(ok("select", {{"ref", color}, {"value", "Purple"}})["method"], "set_value_attempted");
    EXPECT_TRUE(waitFor([&] { return showingTopLevels(*reader_, fixture.pid()) > before; }, std::chrono::seconds(5)));
    ok("key", {{"combo", "escape"}});
    EXPECT_EQ(settlesTo(color, "Blue"), "Blue");
}

TEST_F(InputE2ETest, WidgetFactoryPopUpsTakeTheirEntries) {
    auto factory = start({"gtk3-widget-factory"});
    grab(factory.pid());
    snapshot();
    int tried = 0;
    for (const Json& e : flat_) {
        if (e["role"] != "dropdown" || e["enabled"] != true) continue;
        // The entries of its pop-up, from the application.
        const p::Element element = dispatcher_->lastRefMap.at(e["ref"]);
        auto kids = platform_->accessibility().attribute(element, p::AXAttribute::kChildren);
        ASSERT_TRUE(kids && kids->asElements());
        std::vector<std::string> names;
        for (const auto& menu : *kids->asElements()) {
            auto items = platform_->accessibility().attribute(menu, p::AXAttribute::kChildren);
            if (!items || !items->asElements()) continue;
            for (const auto& holder : *items->asElements()) {
                auto entries = platform_->accessibility().attribute(holder, p::AXAttribute::kChildren);
                if (!entries || !entries->asElements()) continue;
                for (const auto& item : *entries->asElements()) {
                    auto title = platform_->accessibility().attribute(item, p::AXAttribute::kTitle);
                    if (title && title->asString()) names.push_back(*title->asString());
                }
            }
        }
        if (names.size() < 2) continue;
        const std::string choice = names.back() == e["value"] ? names.front() : names.back();
        EXPECT_EQ(ok("select", {{"ref", e["ref"]}, {"value", choice}}),
                  Json({{"ok", true}, {"ref", e["ref"]}, {"value", choice}}));
        EXPECT_EQ(settlesTo(e["ref"], choice), choice);
        ++tried;
    }
    EXPECT_GT(tried, 0) << "gtk3-widget-factory showed no pop-up with entries";
}

TEST_F(InputE2ETest, InputBringsTheGrabbedApplicationForward) {
    auto fixture = start({fixtureApp()});
    auto factory = start({"gtk3-widget-factory"});
    grab(fixture.pid());
    snapshot();
    const std::string entry = ref("Typing Target");
    ok("focus", {{"ref", entry}});

    auto frontPid = [&] {
        auto front = platform_->workspace().frontmostApplication();
        return front ? front->pid : -1;
    };
    Json apps = ok("apps");
    std::string factoryName;
    for (const Json& app : apps["apps"]) {
        if (app["process_id"] == factory.pid()) factoryName = app["name"];
    }
    ASSERT_FALSE(factoryName.empty()) << apps;
    ok("switch", {{"name", factoryName}});
    ASSERT_TRUE(waitFor([&] { return frontPid() == factory.pid(); }));

    // Typing goes to the grabbed window's application, and the former front
    // application is back in front afterwards.
    ok("type", {{"text", "brought forward"}});
    EXPECT_EQ(settlesTo(entry, "brought forward"), "brought forward");
    EXPECT_TRUE(waitFor([&] { return frontPid() == factory.pid(); }));
}

TEST_F(InputE2ETest, PasteAndCopyThroughTheClipboard) {
    auto fixture = start({fixtureApp()});
    grab(fixture.pid());
    snapshot();
    const std::string entry = ref("Typing Target");

    // Paste inserts the text, and the clipboard holds what it held before.
    ok("clipboard_set", {{"text", "kept"}});
    ok("click", {{"ref", entry}});
    EXPECT_EQ(ok("paste", {{"text", "Grüße, 世界 ✓ 🙂"}}), Json({{"ok", true}, {"length", 13}}));
    EXPECT_EQ(settlesTo(entry, "Grüße, 世界 ✓ 🙂"), "Grüße, 世界 ✓ 🙂");
    EXPECT_EQ(ok("clipboard_read")["text"], "kept");
    // With nothing on it before, nothing is left on it after.
    platform_->pasteboard().clear();
    ok("key", {{"combo", "cmd+a"}});
    ok("paste", {{"text", "second"}});
    EXPECT_EQ(settlesTo(entry, "second"), "second");
    EXPECT_EQ(ok("clipboard_read")["text"], nullptr);

    // Copy takes what the front application has selected.
    ok("key", {{"combo", "cmd+a"}});
    EXPECT_EQ(ok("clipboard_copy")["text"], "second");
}

TEST_F(InputE2ETest, PasteAndCopyInAnEditor) {
    if (!std::filesystem::exists("/usr/bin/mousepad")) GTEST_SKIP() << "mousepad is not installed (scripts/install-deps.sh)";
    auto editor = start({"mousepad", "--disable-server"});
    grab(editor.pid());
    snapshot();
    const std::string area = firstOfRole("textarea");
    ok("click", {{"ref", area}});
    const std::string text = "pasted line one\nzwei: Grüße 🙂\n";
    ok("paste", {{"text", text}});
    EXPECT_EQ(settlesTo(area, text), text);
    // Nothing selected: copy answers what was there before.
    ok("clipboard_set", {{"text", "before"}});
    EXPECT_EQ(ok("clipboard_copy")["text"], "before");
    ok("key", {{"combo", "cmd+a"}});
    EXPECT_EQ(ok("clipboard_copy")["text"], text);
}

// The value of the first vertical scroll bar below the application's windows.
std::optional<double> verticalScrollPosition(AtspiReader& reader, pid_t pid) {
    AccessiblePtr app = reader.applicationForPid(pid);
    if (!app) return std::nullopt;
    for (const auto& element : walk(reader, app)) {
        auto role = reader.role(element.get());
        if (!role || *role != ATSPI_ROLE_SCROLL_BAR) continue;
        auto states = reader.states(element.get());
        if (!states || !states->has(ATSPI_STATE_VERTICAL)) continue;
        if (auto value = reader.currentValue(element.get())) return *value;
    }
    return std::nullopt;
}

TEST_F(InputE2ETest, DraggingASliderMovesItsValue) {
    auto factory = start({"gtk3-widget-factory"});
    grab(factory.pid());
    snapshot();
    std::vector<Json> sliders;
    for (const Json& e : flat_) {
        if (e["role"] == "slider" && e["enabled"] == true && e["bounds"][2].get<double>() > 100 &&
            e["bounds"][2].get<double>() > e["bounds"][3].get<double>()) {
            sliders.push_back(e);
        }
    }
    ASSERT_FALSE(sliders.empty()) << "gtk3-widget-factory shows no horizontal slider";
    const Json slider = sliders.front();
    const std::string sliderRef = slider["ref"];
    auto position = [&] { return call("read", {{"ref", sliderRef}, {"attr", "AXValue"}})["value"]; };
    const Json b = slider["bounds"];
    // Inside the trough: the slider's own margins do not take a press.
    const double left = b[0].get<double>() + b[2].get<double>() * 0.15;
    const double right = b[0].get<double>() + b[2].get<double>() * 0.85;
    const double middle = b[1].get<double>() + b[3].get<double>() / 2;

    // By coordinates, from the left end to the right end and back.
    ok("drag", {{"from_x", left}, {"from_y", middle}, {"to_x", right}, {"to_y", middle}, {"duration", 0.2}});
    Json high;
    ASSERT_TRUE(waitFor([&] { return (high = position()).is_number(); }));
    ok("drag", {{"from_x", right}, {"from_y", middle}, {"to_x", left}, {"to_y", middle}, {"duration", 0.2}});
    Json low;
    EXPECT_TRUE(waitFor([&] { return (low = position()).is_number() && low.get<double>() < high.get<double>(); }))
        << high << " then " << low;
    // With refs: from the slider's centre to a point right of it, so the value
    // rises again.
    const Json dragged = ok("drag", {{"from_ref", sliderRef}, {"to_x", right}, {"to_y", middle}});
    EXPECT_NEAR(dragged["from"]["x"].get<double>(), b[0].get<double>() + b[2].get<double>() / 2, 0.01);
    EXPECT_TRUE(waitFor([&] { return position().get<double>() > low.get<double>(); }));
}

TEST_F(InputE2ETest, ScrollingMovesAnEditorsView) {
    if (!std::filesystem::exists("/usr/bin/mousepad")) GTEST_SKIP() << "mousepad is not installed (scripts/install-deps.sh)";
    const std::string path = "/tmp/kest-scroll-" + std::to_string(::getpid()) + ".txt";
    {
        std::string lines;
        for (int i = 1; i <= 400; ++i) lines += "line " + std::to_string(i) + "\n";
        std::FILE* file = std::fopen(path.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fwrite(lines.data(), 1, lines.size(), file);
        std::fclose(file);
    }
    auto editor = start({"mousepad", "--disable-server", path});
    grab(editor.pid());
    snapshot();
    const std::string area = firstOfRole("textarea");
    auto where = [&] { return verticalScrollPosition(*reader_, editor.pid()); };
    ASSERT_TRUE(waitFor([&] { return where().has_value(); })) << "no vertical scroll bar";
    const double top = *where();

    // Down by lines, on the text view: the view moves down.
    ok("scroll", {{"direction", "down"}, {"amount", 10}, {"on", area}});
    double afterLines = top;
    EXPECT_TRUE(waitFor([&] { return (afterLines = where().value_or(top)) > top; })) << top;
    // Up by pixels: back up, about as far as asked.
    ok("scroll", {{"direction", "up"}, {"pixels", 80}, {"on", area}});
    double afterPixels = afterLines;
    EXPECT_TRUE(waitFor([&] { return (afterPixels = where().value_or(afterLines)) < afterLines; })) << afterLines;
    // Smooth, 30 pixels down in 20 steps: about 30 pixels, not 20 wheel clicks.
    ok("scroll", {{"direction", "down"}, {"smooth", true}, {"on", area}});
    double afterSmooth = afterPixels;
    EXPECT_TRUE(waitFor([&] { return (afterSmooth = where().value_or(afterPixels)) > afterPixels; })) << afterPixels;
    EXPECT_LT(afterSmooth - afterPixels, afterLines - top) << "a 30-pixel scroll went further than ten lines";
    std::filesystem::remove(path);
}

TEST_F(InputE2ETest, HumanLikeInputLandsWhereAsked) {
    auto fixture = start({fixtureApp()});
    grab(fixture.pid());
    snapshot();
    const std::string status = ref("Status: idle");
    const std::string press = ref("Press Me", "button");
    EXPECT_EQ(ok("human_click", {{"ref", press}}), Json({{"ok", true}, {"ref", press}, {"human", true}}));
    EXPECT_EQ(settlesTo(status, "Status: pressed 1"), "Status: pressed 1");
    ok("human_click", {{"ref", press}, {"jitter", 0}});
    EXPECT_EQ(settlesTo(status, "Status: pressed 2"), "Status: pressed 2");
    const Json b = record("Press Me", "button")["bounds"];
    auto pointer = platform_->events().pointerLocation();
    ASSERT_TRUE(pointer);
    EXPECT_NEAR(pointer->x, b[0].get<double>() + b[2].get<double>() / 2, 1.0);
    EXPECT_NEAR(pointer->y, b[1].get<double>() + b[3].get<double>() / 2, 1.0);

    ok("human_move", {{"x", 300}, {"y", 200}, {"duration", 0.1}});
    pointer = platform_->events().pointerLocation();
    ASSERT_TRUE(pointer);
    EXPECT_EQ(pointer->x, 300);
    EXPECT_EQ(pointer->y, 200);

    const std::string entry = ref("Typing Target");
    ok("click", {{"ref", entry}});
    // Keys may overtake a click the window manager still holds: type once the
    // entry has the focus.
    EXPECT_TRUE(waitFor([&] { return call("read", {{"ref", entry}, {"attr", "AXFocused"}})["value"] == true; }));
    const std::string text = "Grüße, 世界 ✓ 🙂";
    EXPECT_EQ(ok("human_type", {{"text", text}, {"delay", 5}}), Json({{"ok", true}, {"length", 13}, {"human", true}}));
    EXPECT_EQ(settlesTo(entry, text), text);
}

// The points of one part of the pad's log ("press", "move" or "release").
std::vector<std::pair<int, int>> padPoints(const std::string& log, const std::string& part) {
    std::vector<std::pair<int, int>> points;
    const std::size_t start = log.find(part + " ");
    if (start == std::string::npos) return points;
    const std::size_t end = log.find(';', start);
    std::string body = log.substr(start + part.size() + 1, end == std::string::npos ? std::string::npos : end - start - part.size() - 1);
    for (std::size_t at = 0; at < body.size();) {
        int x = 0, y = 0, used = 0;
        if (std::sscanf(body.c_str() + at, "%d,%d%n", &x, &y, &used) != 2) break;
        points.emplace_back(x, y);
        at += static_cast<std::size_t>(used);
        while (at < body.size() && body[at] == ' ') ++at;
    }
    return points;
}

TEST_F(InputE2ETest, DragsAndCurvedMovesFollowTheirPathOnThePad) {
    auto fixture = start({fixtureApp()});
    grab(fixture.pid());
    snapshot();
    ok("click", {{"ref", ref("Pad", "tab")}});
    ASSERT_TRUE(waitFor([&] {
        snapshot();
        for (const Json& e : flat_) {
            if (e["label"] == "Motion Pad" && e["bounds"][2].get<double>() > 0) return true;
        }
        return false;
    }));
    const Json bounds = record("Motion Pad")["bounds"];
    const double px = bounds[0].get<double>(), py = bounds[1].get<double>();
    std::string logRef;
    for (const Json& e : flat_) {
        for (const char* key : {"label", "value"}) {
            if (e[key].is_string() && e[key].get<std::string>().starts_with("Pad Log:")) logRef = e["ref"];
        }
    }
    ASSERT_FALSE(logRef.empty());
    auto log = [&] {
        Json v = value(logRef);
        return v.is_string() ? v.get<std::string>() : std::string();
    };

    // A drag of 4 steps: the press at the start, the 4 points at i/4 of the
    // way, the release at the end.
    ok("drag", {{"from_x", px + 50}, {"from_y", py + 50}, {"to_x", px + 250}, {"to_y", py + 150}, {"steps", 4}, {"duration", 0.2}});
    std::string seen;
    EXPECT_TRUE(waitFor([&] { return (seen = log()).find("release") != std::string::npos; })) << seen;
    using Points = std::vector<std::pair<int, int>>;
    EXPECT_EQ(padPoints(seen, "press"), (Points{{50, 50}})) << seen;
    EXPECT_EQ(padPoints(seen, "move"), (Points{{100, 75}, {150, 100}, {200, 125}, {250, 150}})) << seen;
    EXPECT_EQ(padPoints(seen, "release"), (Points{{250, 150}})) << seen;

    // A curved move ends exactly at the target, through points off the chord.
    ok("hover", {{"x", px + 20}, {"y", py - 40}});  // out of the pad, then in
    ok("hover", {{"x", px + 20}, {"y", py + 20}});
    ASSERT_TRUE(waitFor([&] { return log().find("press") == std::string::npos; }));
    ok("human_move", {{"x", px + 560}, {"y", py + 300}, {"duration", 0.3}});
    Points path;
    EXPECT_TRUE(waitFor([&] {
        path = padPoints(log(), "move");
        return !path.empty() && path.back() == std::pair{560, 300};
    })) << log();
    ASSERT_GT(path.size(), 10u);
    double farthest = 0;
    for (const auto& [x, y] : path) {
        // Distance from the line through (20, 20) and (560, 300).
        const double dx = 540, dy = 280;
        farthest = std::max(farthest, std::abs(dy * (x - 20) - dx * (y - 20)) / std::hypot(dx, dy));
    }
    EXPECT_GT(farthest, 10.0) << "the path is a straight line";
}

}  // namespace
}  // namespace kest::e2e
