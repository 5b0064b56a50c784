// Screenshots and display records through the dispatcher over the fake
// desktop, and window presets on a desktop of two monitors.
#include <gtest/gtest.h>

#include <regex>

#include "support/dispatcher_harness.hpp"

namespace kest::fake {
namespace {

// Safari's "Docs" window (number 101, 800 x 600 at scale 2) on a Retina
// primary display; a second window, 201, is not in the first enumeration's
// way.
Json captureScene() {
    return Json::parse(R"({
      "screens": [{"id": 1, "frame": [0, 0, 1440, 900], "visible": [0, 0, 1440, 875], "scale": 2}],
      "main_screen": 0,
      "apps": [{"name": "Safari", "pid": 10, "active": true,
                "windows": [{"id": "docs", "role": "AXWindow", "title": "Docs", "window": 101}]}],
      "windows": [{"number": 101, "pid": 10, "title": "Docs", "bounds": [10, 20, 800, 600]},
                  {"number": 201, "pid": 10, "title": "Other", "bounds": [30, 40, 640, 480]}]
    })");
}

Json captureCalls(const FakeDesktop& desktop) {
    Json calls = Json::array();
    for (const auto& call : desktop.callsTo("capture")) calls.push_back(call);
    return calls;
}

TEST(Screenshot, DefaultPathFormatAndTheWholeScreen) {
    DispatcherHarness harness(captureScene());
    Json shot = harness.result("screenshot");
    const std::regex defaultName(R"(/tmp/kest/kest-\d{4}-\d{2}-\d{2}-\d{6}\.png)");
    EXPECT_TRUE(std::regex_match(shot["path"].get<std::string>(), defaultName)) << shot;
    EXPECT_EQ(shot["ok"], true);
    EXPECT_EQ(shot["width"], 1920);
    EXPECT_EQ(shot["height"], 1080);
    // The default directory is made private and its files owner-only; a path
    // the caller gives keeps the usual mode.
    EXPECT_EQ(harness.desktop().callsTo("makePrivateDirectory").at(0)["path"], "/tmp/kest");
    EXPECT_EQ(captureCalls(harness.desktop()).at(0)["owner_only"], true);

    // Exactly "jpeg" makes a .jpg; any other format (even "jpg") is PNG.
    Json jpeg = harness.result("screenshot", {{"format", "jpeg"}});
    EXPECT_TRUE(jpeg["path"].get<std::string>().ends_with(".jpg")) << jpeg;
    Json other = harness.result("screenshot", {{"format", "jpg"}});
    EXPECT_TRUE(other["path"].get<std::string>().ends_with(".png")) << other;
    Json calls = captureCalls(harness.desktop());
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1]["format"], "jpeg");
    EXPECT_EQ(calls[2]["format"], "png");
    for (const auto& call : calls) EXPECT_EQ(call["window"], nullptr);
}

TEST(Screenshot, WindowsByRefGrabAndScreenFlag) {
    DispatcherHarness harness(captureScene());
    harness.result("windows");
    // A window's pixel size is its frame at the display's scale.
    EXPECT_EQ(harness.result("screenshot", {{"ref", "@w1"}, {"path", "/shots/docs.png"}}),
              Json::parse(R"({"ok": true, "path": "/shots/docs.png", "width": 1600, "height": 1200})"));
    EXPECT_EQ(harness.desktop().callsTo("createDirectories").back()["path"], "/shots");
    EXPECT_EQ(captureCalls(harness.desktop()).back()["owner_only"], false);

    harness.result("grab", {{"ref", "@w2"}});
    harness.result("screenshot", {{"path", "/shots/grabbed.png"}});
    // "screen" drops the grabbed window and an explicit ref alike.
    harness.result("screenshot", {{"path", "/shots/screen.png"}, {"screen", true}});
    harness.result("screenshot", {{"path", "/shots/screen2.png"}, {"screen", true}, {"ref", "@w1"}});
    Json calls = captureCalls(harness.desktop());
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0]["window"], 101);
    EXPECT_EQ(calls[1]["window"], 201);
    EXPECT_EQ(calls[2]["window"], nullptr);
    EXPECT_EQ(calls[3]["window"], nullptr);
}

TEST(Screenshot, RefsResolveAfterOneEnumerationElseNothingIsCaptured) {
    DispatcherHarness harness(captureScene());
    // No enumeration yet: the handler runs one and finds @w2.
    EXPECT_EQ(harness.result("screenshot", {{"ref", "@w2"}, {"path", "/s/a.png"}})["width"], 1280);
    EXPECT_EQ(harness.error("screenshot", {{"ref", "@w7"}, {"path", "/s/b.png"}}),
              Json({{"code", -32005}, {"message", "Window not found: @w7"}}));
    EXPECT_EQ(captureCalls(harness.desktop()).size(), 1u);
    EXPECT_FALSE(harness.desktop().files.contains("/s/b.png"));
}

TEST(Screenshot, FailuresCarryTheirCodesAndTexts) {
    DispatcherHarness harness(captureScene());
    auto& knobs = harness.desktop().knobs;
    knobs.captureStartError = "no X server";
    EXPECT_EQ(harness.error("screenshot", {{"path", "/s/a.png"}}),
              Json({{"code", -32600}, {"message", "Failed to run screencapture: no X server"}}));
    knobs.captureStartError.reset();
    knobs.captureExit = platform::CaptureExit{1, "cannot write /s/a.png: Permission denied"};
    EXPECT_EQ(harness.error("screenshot", {{"path", "/s/a.png"}}),
              Json({{"code", -32002},
                    {"message", "screencapture failed (exit 1): cannot write /s/a.png: Permission denied"}}));
    knobs.captureExit.reset();
    knobs.captureWritesFile = false;
    EXPECT_EQ(harness.error("screenshot", {{"path", "/s/a.png"}}),
              Json({{"code", -32600}, {"message", "Screenshot file was not created at /s/a.png"}}));
    // A file whose size cannot be read is no failure: 0 by 0.
    harness.desktop().directories.insert("/s/odd.png");
    EXPECT_EQ(harness.result("screenshot", {{"path", "/s/odd.png"}}),
              Json::parse(R"({"ok": true, "path": "/s/odd.png", "width": 0, "height": 0})"));
    // A default directory that cannot be made private is not written into.
    knobs.captureWritesFile = true;
    knobs.privateDirectoryRefusal = "it belongs to another user (uid 1001)";
    const auto before = captureCalls(harness.desktop()).size();
    EXPECT_EQ(harness.error("screenshot"),
              Json({{"code", -32600},
                    {"message", "Screenshot directory /tmp/kest is not safe to write to: it belongs to another user "
                                "(uid 1001)"}}));
    EXPECT_EQ(captureCalls(harness.desktop()).size(), before);
}

// A 1280 x 1024 monitor left of a 1920 x 1080 primary, tops aligned, a 30-point
// panel along the top of each. In bottom-left coordinates of the primary the
// left monitor starts at y = 1080 - 1024 = 56.
Json twoMonitorScene(int mainScreen) {
    Json scene = Json::parse(R"({
      "screens": [{"id": 1, "frame": [0, 0, 1920, 1080], "visible": [0, 0, 1920, 1050]},
                  {"id": 2, "frame": [-1280, 56, 1280, 1024], "visible": [-1280, 56, 1280, 994], "scale": 2}],
      "apps": [{"name": "Safari", "pid": 10, "active": true,
                "windows": [{"id": "docs", "role": "AXWindow", "title": "Docs", "window": 101}]}],
      "windows": [{"number": 101, "pid": 10, "title": "Docs", "bounds": [10, 20, 800, 600]}]
    })");
    scene["main_screen"] = mainScreen;
    return scene;
}

TEST(Displays, RecordsInOrderWithTheMainOneFlagged) {
    DispatcherHarness harness(twoMonitorScene(1));
    EXPECT_EQ(harness.result("displays"), Json::parse(R"({"displays": [
        {"id": 0, "x": 0, "y": 0, "width": 1920, "height": 1080, "is_main": false, "scale_factor": 1.0},
        {"id": 1, "x": -1280, "y": 56, "width": 1280, "height": 1024, "is_main": true, "scale_factor": 2.0}]})"));
    Json scene = twoMonitorScene(0);
    scene["screens"][1]["frame"] = Json::array({-1279.9, 56.7, 1280.6, 1024.2});
    scene["main_screen"] = nullptr;
    DispatcherHarness fractional(scene);
    Json second = fractional.result("displays")["displays"][1];
    EXPECT_EQ(second, Json::parse(R"({"id": 1, "x": -1279, "y": 56, "width": 1280, "height": 1024, "is_main": false,
                                      "scale_factor": 2.0})"));
}

// Every preset lands inside the main screen's visible frame, on either
// monitor: the left monitor's top edge is the panel, 30 points below the
// primary's top, not 1024 - 56 - 994 = -26 as a flip against its own height
// would put it.
TEST(Displays, PresetsLandOnTheMainScreensOwnVisibleFrame) {
    const std::pair<const char*, Json> left[] = {
        {"left-half", Json::parse("[-1280.0, 30.0, 640.0, 994.0]")},
        {"right-half", Json::parse("[-640.0, 30.0, 640.0, 994.0]")},
        {"bottom-half", Json::parse("[-1280.0, 527.0, 1280.0, 497.0]")},
        {"fill", Json::parse("[-1280.0, 30.0, 1280.0, 994.0]")},
    };
    for (const auto& [preset, bounds] : left) {
        DispatcherHarness harness(twoMonitorScene(1));
        EXPECT_EQ(harness.result("bounds", {{"ref", "@w1"}, {"preset", preset}})["bounds"], bounds) << preset;
    }
    DispatcherHarness primary(twoMonitorScene(0));
    EXPECT_EQ(primary.result("bounds", {{"ref", "@w1"}, {"preset", "left-half"}})["bounds"],
              Json::parse("[0.0, 30.0, 960.0, 1050.0]"));
}

}  // namespace
}  // namespace kest::fake
