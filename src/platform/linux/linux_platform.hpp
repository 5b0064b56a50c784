// The Linux desktop backend: owns every platform service for an X11 session
// with the AT-SPI2 accessibility bus.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.hpp"

namespace kest::platform::linux_desktop {

struct LinuxPlatformOptions {
    // The program that goes on serving a clipboard text this process still
    // owns when the platform is destroyed: kest-core itself, re-executed in its
    // keeper role (see x11_selection_keeper.hpp). Empty: the text goes with the
    // process, as it should for programs that have no keeper role.
    std::string clipboardKeeper;
};

// Builds the backend for the user's DISPLAY and D-Bus session. Connections are
// opened lazily, so building it costs nothing and never fails.
std::unique_ptr<Platform> makeLinuxPlatform(LinuxPlatformOptions options = {});

}  // namespace kest::platform::linux_desktop
