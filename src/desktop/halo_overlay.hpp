// The halo: a click-through outline that follows the grabbed window, kept
// directly above it in the stacking order, and the ripple a click leaves.
//
// Threading: main thread only, from creation to destruction. Request handlers
// reach it only through work they post there (Dispatcher::showHalo, hideHalo,
// showRipple), which holds the dispatcher's HaloSlot weakly.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/platform.hpp"

namespace kest {

class HaloOverlay : public std::enable_shared_from_this<HaloOverlay> {
public:
    static constexpr double overlayMargin = 40;
    static constexpr double borderGap = 5;
    static constexpr double borderWidth = 3.5;
    static constexpr double glowWidth = 12;
    static constexpr double cornerRadius = 12;
    static constexpr std::chrono::milliseconds TRACKING_INTERVAL{16};
    // Every this many ticks the stacking is checked and the surface put back
    // directly above the target (about every 0.19 s).
    static constexpr std::int64_t STACKING_CHECK_TICKS = 12;

    // Reads the target's bounds and, when it has them, shows the surface around
    // it and starts tracking; otherwise the halo stays inert (no surface, no
    // timer) until it is replaced.
    static std::shared_ptr<HaloOverlay> create(platform::Platform& platform, platform::WindowNumber windowID);
    ~HaloOverlay();
    HaloOverlay(const HaloOverlay&) = delete;
    HaloOverlay& operator=(const HaloOverlay&) = delete;

    // A ripple at a point in global top-left display coordinates; nothing when
    // the halo is inert or removed.
    void showRipple(platform::Point point);
    // Stops tracking for good and takes the surface away.
    void remove();

    platform::WindowNumber windowID() const { return windowID_; }
    bool hasSurface() const { return overlayWindow_ != nullptr; }
    bool isTracking() const { return trackingTimer_ != nullptr; }
    std::int64_t zOrderTickCount() const { return zOrderTickCount_; }

private:
    HaloOverlay(platform::Platform& platform, platform::WindowNumber windowID);

    void setup();
    // Target bounds (top-left) to the surface's bottom-left frame.
    platform::Rect calcOverlayFrame(const platform::Rect& bounds) const;
    platform::Ring ringFor(const platform::Rect& frame) const;
    std::optional<platform::Rect> queryWindowBounds();
    bool isOverlayAboveTarget();
    void putAboveTarget();
    void startTracking();
    void trackingTick();

    platform::Platform& platform_;
    std::unique_ptr<platform::OverlaySurface> overlayWindow_;
    std::unique_ptr<platform::MainLoopTimer> trackingTimer_;
    platform::WindowNumber windowID_;
    std::int64_t zOrderTickCount_ = 0;
    // Height of the main screen's frame when the halo was set up: the flip
    // between top-left bounds and the surface's bottom-left frame.
    double screenHeight_ = 0;
};

// Where the dispatcher keeps its halo. Only the main thread reads or replaces
// `overlay`; work posted there holds the slot weakly, so work that runs after
// the dispatcher is gone finds nothing to touch.
struct HaloSlot {
    explicit HaloSlot(platform::Platform& platform_) : platform(platform_) {}
    platform::Platform& platform;
    std::shared_ptr<HaloOverlay> overlay;
};

}  // namespace kest
