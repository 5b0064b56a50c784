// The fake desktop behaves as the platform services promise: typed attributes
// and statuses, ordered window lists, recorded input, reactions and failures.
#include <gtest/gtest.h>

#include "support/fake_desktop.hpp"
#include "support/fake_scenes.hpp"

namespace kest::fake {
namespace {

namespace S = p::StatusCode;

std::unique_ptr<FakeDesktop> build(const Json& scene) {
    auto desktop = FakeDesktop::fromScene(scene);
    if (!desktop) {
        ADD_FAILURE() << desktop.error();
        return std::make_unique<FakeDesktop>();
    }
    return std::move(*desktop);
}

// A read as the scene encodes values, or {"status": s} when it failed.
Json read(FakeDesktop& d, std::string_view id, std::string_view attribute) {
    auto result = d.accessibility().attribute(d.element(id), attribute);
    if (!result) return {{"status", result.error()}};
    return toJson(*result, d);
}

std::vector<std::string> ids(FakeDesktop& d, const p::AttributeResult& result) {
    std::vector<std::string> out;
    if (!result || !result->asElements()) return out;
    for (auto& e : *result->asElements()) out.push_back(d.idOf(e).value_or("?"));
    return out;
}

TEST(FakeDesktopTest, AttributesReadBackWithTheirKinds) {
    auto d = build(Json::parse(R"({"apps": [{"name": "A", "pid": 1, "windows": [
      {"id": "w", "role": "AXWindow", "children": [
        {"id": "x", "role": "AXCheckBox", "title": "Agree", "value": 1, "enabled": true, "frame": [1, 2, 3, 4],
         "attrs": {"AXRatio": 0.5, "AXNothing": null, "AXRange": {"other": "{0, 5}"}, "AXOwner": {"element": "w"},
                   "AXPair": {"elements": ["w", "x"]}},
         "fail": {"read": {"AXHelp": -25204}}}]}]}]})"));
    const struct {
        const char* attribute;
        Json expected;
    } ROWS[] = {
        {"AXRole", "AXCheckBox"},
        {"AXTitle", "Agree"},
        {"AXValue", 1},
        {"AXEnabled", true},
        {"AXRatio", 0.5},
        {"AXNothing", nullptr},
        {"AXPosition", {{"point", {1, 2}}}},
        {"AXSize", {{"size", {3, 4}}}},
        {"AXRange", {{"other", "{0, 5}"}}},
        {"AXOwner", {{"element", "w"}}},
        {"AXPair", {{"elements", {"w", "x"}}}},
        {"AXChildren", {{"elements", Json::array()}}},
        {"AXDescription", {{"status", S::kAttributeUnsupported}}},
        {"AXHelp", {{"status", S::kCannotComplete}}},
    };
    for (auto& row : ROWS) EXPECT_EQ(read(*d, "x", row.attribute), row.expected) << row.attribute;

    auto value = d->accessibility().attribute(d->element("x"), "AXValue");
    ASSERT_TRUE(value);
    EXPECT_FALSE(value->asBool()) << "an integer is not a boolean";
    EXPECT_EQ(value->asTruth(), true);
    EXPECT_EQ(value->asString(), nullptr);
}

TEST(FakeDesktopTest, ApplicationElementListsWindowsMenuBarAndFocus) {
    auto d = build(scenes::menuBar());
    auto& ax = d->accessibility();
    auto app = ax.applicationElement(200);
    EXPECT_EQ(ids(*d, ax.attribute(app, "AXWindows")), std::vector<std::string>{"editor_window"});
    EXPECT_EQ(ids(*d, ax.attribute(app, "AXChildren")), (std::vector<std::string>{"editor_window", "menubar"}));
    EXPECT_EQ(d->idOf(ax.attribute(app, "AXMenuBar")->asElement()), "menubar");
    EXPECT_EQ(d->idOf(ax.attribute(app, "AXFocusedWindow")->asElement()), "editor_window");
    EXPECT_EQ(ax.attribute(app, "AXExtrasMenuBar").error(), S::kAttributeUnsupported);
    EXPECT_EQ(ax.attribute(ax.applicationElement(999), "AXWindows").error(), S::kInvalidElement);
    EXPECT_EQ(ax.attribute(p::Element(), "AXRole").error(), S::kIllegalArgument);
}

TEST(FakeDesktopTest, GoneElementsAndApplicationsFailEveryCall) {
    auto d = build(scenes::windowWithButton());
    auto ok = d->element("ok");
    d->remove("group");
    auto& ax = d->accessibility();
    EXPECT_EQ(ax.attribute(ok, "AXRole").error(), S::kInvalidElement);
    EXPECT_EQ(ax.performAction(ok, "AXPress"), S::kInvalidElement);
    EXPECT_EQ(ax.setAttribute(ok, "AXFocused", p::Value::boolean(true)), S::kInvalidElement);
    EXPECT_EQ(ids(*d, ax.attribute(d->element("main"), "AXChildren")), std::vector<std::string>{});

    d->applicationGone(100);
    EXPECT_EQ(ax.attribute(d->element("main"), "AXTitle").error(), S::kInvalidElement);
    EXPECT_TRUE(d->workspace().runningApplications().empty());
    EXPECT_TRUE(d->windowServer().windowList(17, 0)->empty());
}

TEST(FakeDesktopTest, WindowListFiltersByOptionsFrontToBack) {
    auto d = build(Json::parse(R"({
      "apps": [{"name": "A", "pid": 1}],
      "windows": [
        {"number": 5, "pid": 1, "title": "front", "bounds": [0, 0, 100, 100]},
        {"number": 6, "pid": 1, "title": "minimised", "onscreen": false},
        {"number": 7, "owner": "Dock", "pid": 2, "layer": 20},
        {"number": 8, "owner": "Desktop", "desktop": true},
        {"number": 9, "pid": 1, "owner": null, "title": null, "bounds": {"X": 3, "Width": 40}, "onscreen": null}]})"));
    auto numbers = [&](p::WindowListOptions options, p::WindowNumber relativeTo) {
        std::vector<std::int64_t> out;
        auto records = d->windowServer().windowList(options, relativeTo);
        for (auto& record : records.value()) out.push_back(record.number.value_or(-1));
        return out;
    };
    const struct {
        p::WindowListOptions options;
        p::WindowNumber relativeTo;
        std::vector<std::int64_t> expected;
    } ROWS[] = {
        {17, 0, {5, 7, 9}},
        {1, 0, {5, 7, 8, 9}},
        {0, 0, {5, 6, 7, 8, 9}},
        {8, 6, {6}},
        {8, 42, {}},
        {1 | 2, 9, {5, 7, 8}},
        {1 | 4, 5, {7, 8, 9}},
    };
    for (auto& row : ROWS) EXPECT_EQ(numbers(row.options, row.relativeTo), row.expected) << row.options;

    auto records = *d->windowServer().windowList(17, 0);
    EXPECT_EQ(records[0].ownerName, "A") << "the owner defaults to the pid's application";
    EXPECT_EQ(records[0].bounds, (p::WindowBounds{0, 0, 100, 100}));
    EXPECT_EQ(records[2].ownerName, std::nullopt);
    EXPECT_EQ(records[2].name, std::nullopt);
    EXPECT_EQ(records[2].isOnscreen, std::nullopt);
    EXPECT_EQ(records[2].bounds, (p::WindowBounds{3, std::nullopt, 40, std::nullopt}));

    EXPECT_TRUE(d->windowServer().orderWindowAbove(9, 5));
    EXPECT_EQ(numbers(17, 0), (std::vector<std::int64_t>{9, 5, 7}));
    EXPECT_FALSE(d->windowServer().orderWindowAbove(9, 404));
    d->knobs.windowListUnavailable = true;
    EXPECT_EQ(d->windowServer().windowList(17, 0), std::nullopt);
}

TEST(FakeDesktopTest, PostedEventsAreRecordedInOrder) {
    auto d = build(Json::object());
    auto& events = d->events();
    auto down = events.createMouseEvent(p::MouseEventType::rightDown, {10, 20}, p::MouseButton::right);
    ASSERT_TRUE(down);
    down->clickState = 2;
    down->flags = p::EventFlag::kCommand | p::EventFlag::kShift;
    events.post(*down);
    auto key = events.createKeyEvent(0, false);
    ASSERT_TRUE(key);
    key->text = "é";
    events.post(*key);
    events.post(*events.createScrollEvent(p::ScrollUnit::pixel, -120, 3));

    EXPECT_EQ(eventsJson(*d), Json::parse(R"([
      {"mouse": 3, "at": [10.0, 20.0], "button": 1, "click": 2, "flags": 1179648},
      {"key": 0, "down": false, "text": "é", "flags": 0},
      {"scroll": "pixel", "wheels": [-120, 3], "flags": 0}])"));
    EXPECT_EQ(events.pointerLocation(), (p::Point{10, 20})) << "the pointer follows posted mouse events";

    d->knobs.failingMouseEvents = {p::MouseEventType::moved};
    d->knobs.keyEventsFail = true;
    d->knobs.scrollEventsFail = true;
    d->knobs.pointerUnavailable = true;
    EXPECT_FALSE(events.createMouseEvent(p::MouseEventType::moved, {0, 0}, p::MouseButton::left));
    EXPECT_TRUE(events.createMouseEvent(p::MouseEventType::leftDown, {0, 0}, p::MouseButton::left));
    EXPECT_FALSE(events.createKeyEvent(36, true));
    EXPECT_FALSE(events.createScrollEvent(p::ScrollUnit::line, 1, 0));
    EXPECT_FALSE(events.pointerLocation());
}

TEST(FakeDesktopTest, ActionsAndWritesAreRecordedWithTheirElement) {
    auto d = build(scenes::windowWithButton());
    d->failWrite("field", "AXValue", S::kFailure);
    auto& ax = d->accessibility();
    EXPECT_EQ(ax.performAction(d->element("ok"), "AXPress"), S::kSuccess);
    EXPECT_EQ(ax.performAction(d->element("group"), "AXPress"), S::kActionUnsupported);
    EXPECT_EQ(ax.setAttribute(d->element("field"), "AXValue", p::Value::string("x")), S::kFailure);
    EXPECT_EQ(ax.setAttribute(d->element("field"), "AXFocused", p::Value::boolean(true)), S::kSuccess);
    EXPECT_EQ(ax.setAttribute(d->element("field"), "AXChildren", p::Value::elements({})), S::kIllegalArgument);
    EXPECT_EQ(actionsJson(*d), Json::parse(R"([
      {"element": "ok", "action": "AXPress", "status": 0},
      {"element": "group", "action": "AXPress", "status": -25206}])"));
    EXPECT_EQ(writesJson(*d), Json::parse(R"([
      {"element": "field", "attr": "AXValue", "value": "x", "status": -25200},
      {"element": "field", "attr": "AXFocused", "value": true, "status": 0},
      {"element": "field", "attr": "AXChildren", "value": {"elements": []}, "status": -25201}])"));
    EXPECT_EQ(read(*d, "field", "AXValue"), "hello") << "a refused write changes nothing";
}

TEST(FakeDesktopTest, WindowElementWritesMoveTheWindowRecord) {
    auto d = build(scenes::windowWithButton());
    auto& ax = d->accessibility();
    auto window = d->element("main");
    EXPECT_EQ(read(*d, "main", "AXPosition"), Json({{"point", {100, 100}}}));
    ax.setAttribute(window, "AXPosition", p::Value::point({5, 6}));
    ax.setAttribute(window, "AXSize", p::Value::size({300, 200}));
    EXPECT_EQ(d->windowServer().windowList(17, 0)->front().bounds, (p::WindowBounds{5, 6, 300, 200}));
    ax.setAttribute(window, "AXMinimized", p::Value::boolean(true));
    EXPECT_EQ(read(*d, "main", "AXMinimized"), true);
    EXPECT_TRUE(d->windowServer().windowList(17, 0)->empty());
}

TEST(FakeDesktopTest, ScriptedReactionsChangeTheTree) {
    auto d = build(scenes::merged(scenes::menuBar(), scenes::dialogWithSheet()));
    auto& ax = d->accessibility();
    EXPECT_EQ(ids(*d, ax.attribute(d->element("file"), "AXChildren")), std::vector<std::string>{});
    ax.performAction(d->element("file"), "AXPress");
    EXPECT_EQ(ids(*d, ax.attribute(d->element("file"), "AXChildren")), std::vector<std::string>{"file_menu"});
    EXPECT_EQ(ids(*d, ax.attribute(d->element("file_menu"), "AXChildren")),
              (std::vector<std::string>{"new", "open", "separator", "export"}));

    d->failAction("cancel", "AXPress", -25204);
    ax.performAction(d->element("cancel"), "AXPress");
    EXPECT_TRUE(d->isPresent("sheet")) << "a failed press runs no reaction";
    ax.performAction(d->element("save"), "AXPress");
    EXPECT_FALSE(d->isPresent("sheet"));
    EXPECT_EQ(ids(*d, ax.attribute(d->element("report"), "AXChildren")), std::vector<std::string>{});

    auto t = build(Json::parse(R"({"apps": [{"name": "T", "pid": 9, "windows": [{"id": "w", "role": "AXWindow", "children": [
      {"id": "box", "role": "AXCheckBox", "value": 0, "on": {"AXPress": [{"do": "toggle"}]}},
      {"id": "go", "role": "AXButton", "on": {"AXPress": [{"do": "set", "id": "box", "attr": "AXTitle", "value": "Done"},
                                                           {"do": "hide", "id": "go"}]}}]}]}]})"));
    t->accessibility().performAction(t->element("box"), "AXPress");
    EXPECT_EQ(read(*t, "box", "AXValue"), 1);
    t->accessibility().performAction(t->element("box"), "AXPress");
    EXPECT_EQ(read(*t, "box", "AXValue"), 0);
    int pressed = 0;
    t->onAction("go", "AXPress", [&](FakeDesktop&) { ++pressed; });
    t->accessibility().performAction(t->element("go"), "AXPress");
    EXPECT_EQ(read(*t, "box", "AXTitle"), "Done");
    EXPECT_FALSE(t->isPresent("go"));
    EXPECT_EQ(pressed, 1);
}

TEST(FakeDesktopTest, LargeWindowPassesFiveHundredElements) {
    auto d = build(scenes::largeWindow());
    int count = 0;
    std::vector<p::Element> stack{d->element("items")};
    while (!stack.empty()) {
        auto e = stack.back();
        stack.pop_back();
        ++count;
        if (auto children = d->accessibility().attribute(e, "AXChildren"); children && children->asElements()) {
            for (auto& child : *children->asElements()) stack.push_back(child);
        }
    }
    EXPECT_GT(count, 500);
}

TEST(FakeDesktopTest, SystemSurfacesAndTheirFailureKnobs) {
    auto d = build(Json::parse(R"({"screens": [{"frame": [0, 0, 1440, 900], "visible": [0, 0, 1440, 875], "scale": 2},
                                                {"frame": [-1280, 0, 1280, 1024]}],
                                   "main_screen": 0, "pasteboard": "copied"})"));
    ASSERT_EQ(d->screens().screens().size(), 2u);
    EXPECT_EQ(d->screens().mainScreen()->visibleFrame, (p::Rect{0, 0, 1440, 875}));
    EXPECT_EQ(d->pasteboard().readText(), "copied");
    d->pasteboard().clear();
    EXPECT_EQ(d->pasteboard().readText(), std::nullopt);

    auto shot = d->capture().capture({std::nullopt, p::ImageFormat::jpeg, "/tmp/kest/a.jpg"});
    ASSERT_TRUE(shot);
    EXPECT_EQ(shot->status, 0);
    EXPECT_EQ(d->capture().imagePixelSize("/tmp/kest/a.jpg"), (p::PixelSize{1920, 1080}));
    d->knobs.captureExit = p::CaptureExit{1, "could not create image from display"};
    EXPECT_EQ(d->capture().capture({5, p::ImageFormat::png, "/tmp/kest/b.png"})->status, 1);
    EXPECT_FALSE(d->capture().fileExists("/tmp/kest/b.png"));
    d->knobs.captureStartError = "no such tool";
    EXPECT_EQ(d->capture().capture({}).error(), "no such tool");
    EXPECT_EQ(d->callsTo("capture").size(), 3u);

    d->knobs.geometryValuesFail = true;
    EXPECT_FALSE(d->accessibility().createPointValue({1, 2}));
    auto noMain = build(Json::parse(R"({"main_screen": null})"));
    EXPECT_EQ(noMain->screens().mainScreen(), std::nullopt);
    EXPECT_EQ(noMain->screens().screens().size(), 1u);
}

TEST(FakeDesktopTest, OverlaySurfaceIsAWindowRecordRunByTheMainLoop) {
    auto d = build(scenes::windowWithButton());  // main screen 1920 x 1080
    auto& overlay = d->overlay();
    auto surface = overlay.createSurface({60, 340, 880, 680});
    ASSERT_TRUE(surface);
    auto number = static_cast<std::int64_t>(surface->windowNumber());
    EXPECT_EQ(d->windowServer().windowList(17, 0)->front().number, 11) << "ordered out until shown";
    surface->orderFront();
    auto front = d->windowServer().windowList(17, 0)->front();
    EXPECT_EQ(front.number, number);
    EXPECT_EQ(front.bounds, (p::WindowBounds{60, 60, 880, 680})) << "bottom-left frame, top-left bounds";
    EXPECT_NE(front.layer, 0);

    int ran = 0;
    int ticks = 0;
    overlay.postToMainThread([&] { ++ran; });
    auto timer = overlay.startRepeatingTimer(std::chrono::milliseconds(16), [&] { ++ticks; });
    EXPECT_EQ(ran, 0) << "nothing runs outside the loop";
    overlay.runMainLoop(std::chrono::milliseconds(100));
    overlay.runMainLoop(std::chrono::milliseconds(100));
    timer.reset();
    overlay.runMainLoop(std::chrono::milliseconds(100));
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(ticks, 2);

    surface.reset();
    EXPECT_EQ(d->windowServer().windowList(8, static_cast<p::WindowNumber>(number))->size(), 0u);
}

TEST(FakeDesktopTest, OpeningABundleStartsItsApplication) {
    auto d = build(Json::parse(R"({"bundles": [
      {"location": "/Applications/Notes.app", "id": "com.example.notes", "name": "Notes",
       "launches": {"pid": 77, "finished": false}},
      {"location": "/Applications/Broken.app", "name": "Broken", "launch_error": "damaged"}]})"));
    auto& ws = d->workspace();
    EXPECT_EQ(ws.locateApplication("com.example.notes"), "/Applications/Notes.app");
    EXPECT_EQ(ws.findApplicationInFolders("Broken"), "/Applications/Broken.app");

    std::optional<p::RunningApplication> opened;
    std::optional<std::string> error;
    auto remember = [&](std::optional<p::RunningApplication> app, std::optional<std::string> e) {
        opened = std::move(app);
        error = std::move(e);
    };
    ws.openApplication("/Applications/Notes.app", {}, remember);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->pid, 77);
    EXPECT_EQ(opened->name, "Notes");
    EXPECT_FALSE(opened->finishedLaunching);
    EXPECT_EQ(ws.frontmostApplication()->pid, 77);
    ws.openApplication("/Applications/Broken.app", {}, remember);
    EXPECT_EQ(error, "damaged");
    EXPECT_FALSE(opened);
}

TEST(FakeDesktopTest, RejectsMalformedScenes) {
    const char* SCENES[] = {
        R"({"apps": [{"name": "no pid"}]})",
        R"({"apps": [{"pid": 1, "windows": [{"id": "a"}, {"id": "a"}]}]})",
        R"({"apps": [{"pid": 1, "windows": [{"frame": [1, 2]}]}]})",
        R"({"apps": [{"pid": 1, "windows": [{"on": {"AXPress": [{"do": "explode"}]}}]}]})",
        R"({"apps": [{"pid": 1, "windows": [{"attrs": {"AXPosition": {"point": [1]}}}]}]})",
    };
    for (auto* scene : SCENES) EXPECT_FALSE(FakeDesktop::fromScene(Json::parse(scene))) << scene;
}

}  // namespace
}  // namespace kest::fake
