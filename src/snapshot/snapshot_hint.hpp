// The hint a snapshot adds for Chromium-based applications.
#pragma once

#include <optional>
#include <string>

#include "desktop/window_manager.hpp"
#include "platform/platform.hpp"

namespace kest {

// The advice to relaunch with a debugging port, when the named application
// (else the grabbed window's, else the front one) is Chromium-based. It looks
// there even when a pid chose another process for the snapshot.
std::optional<std::string> chromiumHint(platform::Platform& platform, const WindowManager& windowManager,
                                        const std::optional<std::string>& grabbedWindow,
                                        const std::optional<std::string>& appName);

}  // namespace kest
