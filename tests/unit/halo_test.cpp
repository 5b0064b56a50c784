// The halo on the fake desktop: what grab, ungrab and click schedule on the
// main thread, the overlay's frame and ring, tracking tick by tick, stacking,
// and work that runs after its overlay or dispatcher is gone.
#include <gtest/gtest.h>

#include "support/dispatcher_harness.hpp"

namespace kest::fake {
namespace {

// Editor (pid 10) with its window 101 at (100, 100), 800 x 600, and Notes
// (pid 20) with window 201, on a 1440 x 900 main screen. Front-most first.
Json haloScene() {
    return Json::parse(R"({
      "screens": [{"id": 1, "frame": [0, 0, 1440, 900], "visible": [0, 0, 1440, 875]}],
      "main_screen": 0,
      "apps": [
        {"name": "Editor", "pid": 10, "active": true,
         "windows": [{"id": "doc", "role": "AXWindow", "title": "Doc", "window": 101,
                      "children": [{"id": "ok", "role": "AXButton", "title": "OK",
                                    "attrs": {"AXPosition": {"point": [200, 300]}, "AXSize": {"size": [80, 20]}}}]}]},
        {"name": "Notes", "pid": 20,
         "windows": [{"id": "notes", "role": "AXWindow", "title": "Notes", "window": 201}]}],
      "windows": [
        {"number": 101, "pid": 10, "title": "Doc", "bounds": [100, 100, 800, 600]},
        {"number": 201, "pid": 20, "title": "Notes", "bounds": [300, 200, 400, 300]}]
    })");
}

class Halo : public ::testing::Test {
protected:
    DispatcherHarness harness{haloScene()};
    FakeDesktop& desktop = harness.desktop();

    void runMainLoop(int times = 1) {
        for (int i = 0; i < times; ++i) desktop.overlay().runMainLoop(std::chrono::milliseconds(100));
    }
    void grab(const std::string& ref = "@w1") {
        harness.result("windows");
        harness.result("grab", {{"ref", ref}});
    }
    std::shared_ptr<HaloOverlay> overlay() { return harness.dispatcher().halo->overlay; }
    // The surface operations recorded since `from`, as [operation, window].
    Json surfaceCalls(std::size_t from = 0) {
        Json out = Json::array();
        for (std::size_t i = from; i < desktop.calls.size(); ++i) {
            const auto& call = desktop.calls[i];
            const std::string op = call["operation"];
            if (op == "windowList") continue;
            out.push_back(Json::array({op, call.value("window", Json())}));
        }
        return out;
    }
    // The first surface's window number.
    p::WindowNumber own() { return desktop.callsTo("createSurface").at(0)["window"]; }
    Json onOwn(std::initializer_list<const char*> operations) {
        Json out = Json::array();
        for (const char* op : operations) out.push_back(Json::array({op, own()}));
        return out;
    }
    std::vector<p::WindowNumber> stacking() {
        std::vector<p::WindowNumber> numbers;
        for (const auto& w : desktop.windows) numbers.push_back(static_cast<p::WindowNumber>(*w.record.number));
        return numbers;
    }
    void moveWindow(p::WindowNumber number, double x, double y, double width, double height) {
        desktop.windowByNumber(number)->record.bounds = p::WindowBounds{x, y, width, height};
    }
};

TEST_F(Halo, GrabSchedulesTheOverlayAroundTheTargetAboveIt) {
    grab();
    // Nothing happens until the main thread runs.
    EXPECT_TRUE(desktop.callsTo("createSurface").empty());
    EXPECT_FALSE(overlay());
    runMainLoop();

    ASSERT_TRUE(overlay());
    EXPECT_EQ(overlay()->windowID(), 101u);
    const auto created = desktop.callsTo("createSurface");
    ASSERT_EQ(created.size(), 1u);
    // 40 points around the target, flipped against the screen's 900: y = 900 − 60 − 680.
    EXPECT_EQ(created[0]["frame"], Json::parse("[60.0, 160.0, 880.0, 680.0]"));
    const auto rings = desktop.callsTo("setRing");
    ASSERT_EQ(rings.size(), 1u);
    EXPECT_EQ(rings[0]["rect"], Json::parse("[35.0, 35.0, 810.0, 610.0]"));
    EXPECT_EQ(rings[0]["corner_radius"], 12.0);
    // Shown, then placed directly above the target, and tracked.
    const auto ordered = desktop.callsTo("orderWindowAbove");
    ASSERT_EQ(ordered.size(), 1u);
    EXPECT_EQ(ordered[0]["target"], 101);
    EXPECT_EQ(stacking(), (std::vector<p::WindowNumber>{own(), 101, 201}));
    EXPECT_TRUE(overlay()->isTracking());
}

TEST_F(Halo, GrabReplacesTheHaloAndUngrabRemovesIt) {
    grab("@w1");
    runMainLoop();
    grab("@w2");
    runMainLoop();
    ASSERT_TRUE(overlay());
    EXPECT_EQ(overlay()->windowID(), 201u);
    EXPECT_EQ(desktop.callsTo("removeSurface").size(), 1u);
    EXPECT_EQ(desktop.callsTo("removeSurface")[0]["window"], own());

    // The first overlay's timer went with it: ticks only move the second.
    moveWindow(101, 110, 100, 800, 600);
    const std::size_t mark = desktop.calls.size();
    runMainLoop(3);
    for (const auto& call : surfaceCalls(mark)) EXPECT_NE(call[1], own()) << call;

    harness.result("ungrab");
    EXPECT_TRUE(overlay());  // only scheduled
    runMainLoop();
    EXPECT_FALSE(overlay());
    EXPECT_EQ(desktop.callsTo("removeSurface").size(), 2u);
    EXPECT_EQ(stacking(), (std::vector<p::WindowNumber>{101, 201}));
}

TEST_F(Halo, RefWithoutWindowNumberSchedulesNothingAndKeepsTheHalo) {
    grab();
    runMainLoop();
    auto before = overlay();
    const std::size_t mark = desktop.calls.size();
    harness.dispatcher().showHalo("@w9");
    harness.dispatcher().showHalo("nonsense");
    runMainLoop();
    EXPECT_EQ(overlay(), before);
    EXPECT_TRUE(desktop.callsTo("removeSurface").empty());
    EXPECT_TRUE(desktop.callsTo("createSurface").size() == 1u);
    // What ran was a tick of the kept halo: no surface was touched.
    EXPECT_EQ(surfaceCalls(mark), Json::array());
}

TEST_F(Halo, TicksFollowTheTargetAndTouchNothingWhenItStays) {
    grab();
    runMainLoop();
    std::size_t mark = desktop.calls.size();
    runMainLoop();  // one tick, nothing moved: one single-window query, no surface call
    ASSERT_EQ(desktop.calls.size(), mark + 1);
    EXPECT_EQ(desktop.calls[mark]["operation"], "windowList");
    EXPECT_EQ(desktop.calls[mark]["options"], 8);
    EXPECT_EQ(desktop.calls[mark]["relative_to"], 101);

    moveWindow(101, 110, 100, 800, 600);  // 10 points right
    mark = desktop.calls.size();
    runMainLoop();
    EXPECT_EQ(surfaceCalls(mark), onOwn({"setFrame", "setRing"}));
    EXPECT_EQ(desktop.callsTo("setFrame").back()["frame"], Json::parse("[70.0, 160.0, 880.0, 680.0]"));
    EXPECT_EQ(desktop.callsTo("setRing").back()["rect"], Json::parse("[35.0, 35.0, 810.0, 610.0]"));

    moveWindow(101, 110, 100, 900, 500);  // resized: a new ring for the new size
    runMainLoop();
    EXPECT_EQ(desktop.callsTo("setFrame").back()["frame"], Json::parse("[70.0, 260.0, 980.0, 580.0]"));
    EXPECT_EQ(desktop.callsTo("setRing").back()["rect"], Json::parse("[35.0, 35.0, 910.0, 510.0]"));
    mark = desktop.calls.size();
    runMainLoop();
    EXPECT_EQ(surfaceCalls(mark), Json::array());
}

TEST_F(Halo, ClosedTargetHidesTheHaloWhichReturnsWithinTwelveTicks) {
    grab();
    runMainLoop();
    auto closed = *desktop.windowByNumber(101);
    std::erase_if(desktop.windows, [](const FakeWindow& w) { return w.record.number == 101; });
    std::size_t mark = desktop.calls.size();
    runMainLoop(3);
    EXPECT_EQ(surfaceCalls(mark), onOwn({"orderOut", "orderOut", "orderOut"}));
    ASSERT_TRUE(overlay());
    EXPECT_TRUE(overlay()->isTracking());
    EXPECT_FALSE(desktop.windowByNumber(own())->record.isOnscreen.value_or(true));

    // The target is back (as when a window is restored): shown again by the
    // next stacking check, directly above it.
    desktop.windows.push_back(closed);
    mark = desktop.calls.size();
    runMainLoop(HaloOverlay::STACKING_CHECK_TICKS);
    EXPECT_EQ(desktop.callsTo("orderFront").size(), 2u);
    EXPECT_TRUE(desktop.windowByNumber(own())->record.isOnscreen.value_or(false));
    EXPECT_EQ(stacking(), (std::vector<p::WindowNumber>{201, own(), 101}));
}

TEST_F(Halo, OffScreenTargetCountsAsGone) {
    grab();
    runMainLoop();
    desktop.windowByNumber(101)->record.isOnscreen = false;  // minimised
    const std::size_t mark = desktop.calls.size();
    runMainLoop();
    EXPECT_EQ(surfaceCalls(mark), onOwn({"orderOut"}));
}

TEST_F(Halo, EveryTwelfthTickPutsACoveredOverlayBackAboveTheTarget) {
    grab();
    runMainLoop();
    // The target is raised over its halo.
    auto target = *desktop.windowByNumber(101);
    std::erase_if(desktop.windows, [](const FakeWindow& w) { return w.record.number == 101; });
    desktop.windows.insert(desktop.windows.begin(), target);
    ASSERT_EQ(stacking(), (std::vector<p::WindowNumber>{101, own(), 201}));

    // Ticks counted since set-up (the first ran with it) up to one before the check.
    runMainLoop(static_cast<int>(HaloOverlay::STACKING_CHECK_TICKS - 1 - overlay()->zOrderTickCount()));
    EXPECT_EQ(desktop.callsTo("orderWindowAbove").size(), 1u);  // only set-up's
    runMainLoop();
    EXPECT_EQ(overlay()->zOrderTickCount(), HaloOverlay::STACKING_CHECK_TICKS);
    EXPECT_EQ(desktop.callsTo("orderFront").size(), 2u);
    EXPECT_EQ(desktop.callsTo("orderWindowAbove").size(), 2u);
    EXPECT_EQ(stacking(), (std::vector<p::WindowNumber>{own(), 101, 201}));
    // Not covered: the check still places it, without ordering it front.
    runMainLoop(HaloOverlay::STACKING_CHECK_TICKS);
    EXPECT_EQ(desktop.callsTo("orderFront").size(), 2u);
    EXPECT_EQ(desktop.callsTo("orderWindowAbove").size(), 3u);
}

TEST_F(Halo, UnreadableBoundsAtGrabLeaveAnInertOverlayWithoutRipples) {
    harness.result("windows");
    harness.result("grab", {{"ref", "@w1"}});
    desktop.knobs.windowListUnavailable = true;
    runMainLoop();
    desktop.knobs.windowListUnavailable = false;
    ASSERT_TRUE(overlay());
    EXPECT_FALSE(overlay()->hasSurface());
    EXPECT_FALSE(overlay()->isTracking());
    harness.result("click", {{"x", 500}, {"y", 400}});
    runMainLoop(3);
    EXPECT_TRUE(desktop.callsTo("createSurface").empty());
    EXPECT_TRUE(desktop.callsTo("showRipple").empty());
}

TEST_F(Halo, ClickAsksForARippleAtWhatItClicked) {
    grab();
    runMainLoop();
    harness.result("click", {{"x", 500}, {"y", 400}});
    EXPECT_TRUE(desktop.callsTo("showRipple").empty());  // scheduled, not waited for
    runMainLoop();
    auto ripples = desktop.callsTo("showRipple");
    ASSERT_EQ(ripples.size(), 1u);
    // In the surface's bottom-left coordinates: (500 − 60, 900 − 400 − 160).
    EXPECT_EQ(ripples[0]["at"], Json::parse("[440.0, 340.0]"));

    // By ref: the element's centre, (240, 310).
    harness.result("snapshot");
    harness.result("click", {{"ref", "@b1"}});
    runMainLoop();
    ripples = desktop.callsTo("showRipple");
    ASSERT_EQ(ripples.size(), 2u);
    EXPECT_EQ(ripples[1]["at"], Json::parse("[180.0, 430.0]"));

    // Hover and mouse show none; neither does a click whose halo was hidden first.
    harness.result("hover", {{"x", 10}, {"y", 10}});
    harness.result("ungrab");
    harness.result("click", {{"x", 500}, {"y", 400}});
    runMainLoop();
    EXPECT_EQ(desktop.callsTo("showRipple").size(), 2u);
}

TEST(HaloLifetime, WorkQueuedForAGoneDispatcherOrOverlayTouchesNothing) {
    auto desktop = std::move(FakeDesktop::fromScene(haloScene()).value());
    {
        Dispatcher dispatcher(*desktop);
        dispatcher.windowManager.listWindows(*desktop);
        dispatcher.showHalo("@w1");
        dispatcher.showRipple(p::Point{500, 400});
    }
    desktop->overlay().runMainLoop(std::chrono::milliseconds(100));
    EXPECT_TRUE(desktop->callsTo("createSurface").empty());
    EXPECT_TRUE(desktop->callsTo("showRipple").empty());

    // A dispatcher that goes with its halo showing takes it along; the ripple
    // it queued last finds nothing.
    {
        Dispatcher dispatcher(*desktop);
        dispatcher.windowManager.listWindows(*desktop);
        dispatcher.showHalo("@w1");
        desktop->overlay().runMainLoop(std::chrono::milliseconds(100));
        ASSERT_EQ(desktop->callsTo("createSurface").size(), 1u);
        dispatcher.showRipple(p::Point{500, 400});
    }
    EXPECT_EQ(desktop->callsTo("removeSurface").size(), 1u);
    const std::size_t mark = desktop->calls.size();
    desktop->overlay().runMainLoop(std::chrono::milliseconds(100));
    EXPECT_EQ(desktop->calls.size(), mark);  // neither the ripple nor a tick
}

TEST(HaloLifetime, ARemovedOverlayIgnoresItsLastTickAndRipples) {
    auto desktop = std::move(FakeDesktop::fromScene(haloScene()).value());
    auto overlay = HaloOverlay::create(*desktop, 101);
    ASSERT_TRUE(overlay->hasSurface());
    overlay->remove();
    EXPECT_FALSE(overlay->hasSurface());
    EXPECT_FALSE(overlay->isTracking());
    overlay->showRipple(p::Point{500, 400});
    const std::size_t mark = desktop->calls.size();
    desktop->overlay().runMainLoop(std::chrono::milliseconds(100));
    EXPECT_EQ(desktop->calls.size(), mark);
}

}  // namespace
}  // namespace kest::fake
