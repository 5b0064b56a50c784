// Turning on the desktop's accessibility support for toolkits.
#pragma once

namespace kest::platform::linux_desktop {

// Sets IsEnabled on the accessibility bus's status interface, which makes
// toolkits that load their bridge on demand (Chromium and Electron among
// them) join the accessibility bus from their next start. True when the bus
// took it; bounded by a short D-Bus timeout.
bool enableToolkitAccessibility();

}  // namespace kest::platform::linux_desktop
