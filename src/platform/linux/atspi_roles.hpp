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
    bool parentIsMenuBar = false;       // menus and menu items: directly in a menu bar
    bool parentIsMenuItem = false;      // menus: the pop-over a menu item opens (GTK 4)
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
// True for the roles a top level of no window role has: GTK 4 gives its file
// chooser dialog the generic role, which reads as a filler (or a panel).
bool isGenericTopLevelRole(AtspiRole role);
// Menu items of every kind (menu item, check and radio menu items).
bool isMenuItemRole(AtspiRole role);
// The roles whose AX role depends on the parent's role (menus, menu items,
// file choosers, generic top levels).
bool roleDependsOnParent(AtspiRole role);

}  // namespace kest::platform::linux_desktop
