// The Screens service over XRandR: screen records in bottom-left
// coordinates; the main screen is the one holding the focused window.
//
// Ownership: owns its X connection, opened on first use. Threading: request
// thread and main thread, serialised by a mutex.
#pragma once

#include <memory>
#include <mutex>

#include "platform/linux/xrandr_monitors.hpp"
#include "platform/screens.hpp"

namespace kest::platform::linux_desktop {

class XRandrScreens final : public Screens {
public:
    std::vector<Screen> screens() override;
    // The monitor holding the centre of the active window, else the primary
    // monitor, else the first.
    std::optional<Screen> mainScreen() override;
    // Windows are placed in root coordinates, whose origin is the top-left
    // of the whole X screen rather than of the primary monitor.
    Rect toWindowCoordinates(const Rect& rect) override;

private:
    X11Connection* connection();

    std::mutex mutex_;
    std::unique_ptr<X11Connection> connection_;
};

}  // namespace kest::platform::linux_desktop
