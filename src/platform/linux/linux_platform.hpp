// The Linux desktop backend: owns every platform service for an X11 session
// with the AT-SPI2 accessibility bus.
#pragma once

#include <memory>

#include "platform/platform.hpp"

namespace kest::platform::linux_desktop {

// Builds the backend for the user's DISPLAY and D-Bus session. Connections are
// opened lazily, so building it costs nothing and never fails.
std::unique_ptr<Platform> makeLinuxPlatform();

}  // namespace kest::platform::linux_desktop
