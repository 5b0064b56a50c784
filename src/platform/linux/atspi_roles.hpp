// The one table from AT-SPI roles (and the states and context that refine
// them) to the engine's AX role names.
#pragma once

#include <atspi/atspi.h>

#include <string_view>

namespace kest::platform::linux_desktop {

// What, besides the role, decides the AX role of an element.
struct RoleContext {
    AtspiRole role = ATSPI_ROLE_UNKNOWN;
    bool multiLine = false;             // text kinds: the multi-line state
    bool hasEditableTextChild = false;  // combo boxes: an entry inside
    bool parentIsMenuBar = false;       // menus: directly in a menu bar
    bool topLevel = false;              // a child of the application
};

std::string_view axRoleFor(const RoleContext& context);

// True for the roles whose AXValue is a checked state (1 or 0).
bool isCheckableRole(AtspiRole role);
// True for the text kinds (entry, text, password text, editbar).
bool isTextRole(AtspiRole role);
// True for top-level roles that read as a window (frame, window, dialog,
// alert, file chooser).
bool isWindowRole(AtspiRole role);

}  // namespace kest::platform::linux_desktop
