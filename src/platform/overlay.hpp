// The overlay surface: a click-through window of the engine's own, kept
// directly above a target window (the halo), and the main thread's loop that
// runs it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "platform/geometry.hpp"
#include "platform/window_server.hpp"

namespace kest::platform {

// The ring drawn on a surface, in the surface's own bottom-left coordinates.
// Colours, pulses and glow are the backend's drawing of it.
struct Ring {
    Rect rect;                // the ring's centre line
    double cornerRadius = 12;
    double borderWidth = 3.5;
    double glowWidth = 12;
    // The target's own rectangle: never painted, so that the target's pixels
    // (and a capture of them) stay its own. Ripples may cross it.
    Rect hole;
    bool operator==(const Ring&) const = default;
};

// One overlay window. Owned by whoever created it; destroying it removes the
// window. Threading: main thread only.
class OverlaySurface {
public:
    virtual ~OverlaySurface() = default;
    // The surface's number in the window list, to order it and to find it there.
    virtual WindowNumber windowNumber() const = 0;
    // Frame in the desktop's bottom-left coordinates.
    virtual Rect frame() const = 0;
    virtual void setFrame(Rect frame) = 0;
    virtual void orderFront() = 0;
    virtual void orderOut() = 0;
    virtual void setRing(const Ring& ring) = 0;
    // A short expanding ripple at a point in the surface's coordinates.
    virtual void showRipple(Point point) = 0;
    // Whether the surface is stacked above `target`, when the backend can tell
    // without listing windows; nothing sends the caller to the window list.
    virtual std::optional<bool> isAbove(WindowNumber target) {
        (void)target;
        return std::nullopt;
    }
};

// A repeating timer on the main thread's loop; destroying it stops it.
class MainLoopTimer {
public:
    virtual ~MainLoopTimer() = default;
};

class Overlay {
public:
    virtual ~Overlay() = default;

    // A new, ordered-out surface at `frame`; nothing when the desktop cannot
    // show one. Main thread only.
    virtual std::unique_ptr<OverlaySurface> createSurface(Rect frame) = 0;

    // Queues work for the main thread; any thread may call. Work queued when
    // no loop runs (the one-shot modes) never runs.
    virtual void postToMainThread(std::function<void()> task) = 0;

    // Calls `tick` on the main thread every `interval` (first after one
    // interval) while runMainLoop runs, until the timer is destroyed. Main
    // thread only.
    virtual std::unique_ptr<MainLoopTimer> startRepeatingTimer(std::chrono::milliseconds interval,
                                                               std::function<void()> tick) = 0;

    // Runs queued work, timers and the surfaces' drawing for at most `maxWait`. Main
    // thread only; the daemon calls it in a loop, checking its stop flag in
    // between, so `maxWait` bounds how late a stop is seen.
    virtual void runMainLoop(std::chrono::milliseconds maxWait) = 0;
};

}  // namespace kest::platform
