// The Linux backend's service objects and their owner.
#include "platform/linux/linux_platform.hpp"

#include "platform/linux/atspi_accessibility.hpp"
#include "platform/linux/x11_capture.hpp"
#include "platform/linux/x11_overlay.hpp"
#include "platform/linux/x11_pasteboard.hpp"
#include "platform/linux/x11_window_server.hpp"
#include "platform/linux/xrandr_screens.hpp"
#include "platform/linux/xdg_workspace.hpp"
#include "platform/linux/xtest_events.hpp"

namespace kest::platform::linux_desktop {
namespace {

class LinuxPlatform final : public Platform {
public:
    explicit LinuxPlatform(LinuxPlatformOptions options)
        : overlay_(screens_), pasteboard_(std::move(options.clipboardKeeper)) {
        windowServer_.setOwnerNamer([this] { return workspace_.applicationNames(); });
    }

    Accessibility& accessibility() override { return accessibility_; }
    Events& events() override { return events_; }
    WindowServer& windowServer() override { return windowServer_; }
    Workspace& workspace() override { return workspace_; }
    Screens& screens() override { return screens_; }
    Pasteboard& pasteboard() override { return pasteboard_; }
    Capture& capture() override { return capture_; }
    Overlay& overlay() override { return overlay_; }

private:
    AtspiAccessibility accessibility_;
    XTestEvents events_;
    X11WindowServer windowServer_;
    XdgWorkspace workspace_;
    XRandrScreens screens_;
    X11Capture capture_;
    LinuxOverlay overlay_;
    // Last, so destroyed first: the hand-off to a keeper starts as early as
    // possible and depends on no other service.
    X11Pasteboard pasteboard_;
};

}  // namespace

std::unique_ptr<Platform> makeLinuxPlatform(LinuxPlatformOptions options) {
    return std::make_unique<LinuxPlatform>(std::move(options));
}

}  // namespace kest::platform::linux_desktop
