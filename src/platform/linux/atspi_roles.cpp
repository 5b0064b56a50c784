// AT-SPI role → AX role name.
#include "platform/linux/atspi_roles.hpp"

#include <algorithm>
#include <utility>

namespace kest::platform::linux_desktop {
namespace {

// Roles whose AX name depends on nothing else. The context-dependent ones
// (text kinds, combo boxes, menus, file choosers) are decided in axRoleFor.
constexpr std::pair<AtspiRole, std::string_view> AX_ROLE_TABLE[] = {
    {ATSPI_ROLE_PUSH_BUTTON, "AXButton"},
    {ATSPI_ROLE_PUSH_BUTTON_MENU, "AXButton"},
    {ATSPI_ROLE_TOGGLE_BUTTON, "AXCheckBox"},
    {ATSPI_ROLE_CHECK_BOX, "AXCheckBox"},
    {ATSPI_ROLE_RADIO_BUTTON, "AXRadioButton"},
    {ATSPI_ROLE_SLIDER, "AXSlider"},
    {ATSPI_ROLE_SPIN_BUTTON, "AXIncrementor"},
    {ATSPI_ROLE_LABEL, "AXStaticText"},
    {ATSPI_ROLE_STATIC, "AXStaticText"},
    {ATSPI_ROLE_CAPTION, "AXStaticText"},
    {ATSPI_ROLE_HEADING, "AXStaticText"},
    {ATSPI_ROLE_PARAGRAPH, "AXStaticText"},
    {ATSPI_ROLE_LINK, "AXLink"},
    {ATSPI_ROLE_IMAGE, "AXImage"},
    {ATSPI_ROLE_ICON, "AXImage"},
    {ATSPI_ROLE_ANIMATION, "AXImage"},
    {ATSPI_ROLE_PANEL, "AXGroup"},
    {ATSPI_ROLE_FILLER, "AXGroup"},
    {ATSPI_ROLE_GROUPING, "AXGroup"},
    {ATSPI_ROLE_SECTION, "AXGroup"},
    {ATSPI_ROLE_FORM, "AXGroup"},
    {ATSPI_ROLE_VIEWPORT, "AXGroup"},
    {ATSPI_ROLE_LAYERED_PANE, "AXGroup"},
    {ATSPI_ROLE_ROOT_PANE, "AXGroup"},
    {ATSPI_ROLE_INTERNAL_FRAME, "AXGroup"},
    {ATSPI_ROLE_OPTION_PANE, "AXGroup"},
    {ATSPI_ROLE_FRAME, "AXWindow"},
    {ATSPI_ROLE_WINDOW, "AXWindow"},
    {ATSPI_ROLE_DIALOG, "AXDialog"},
    {ATSPI_ROLE_ALERT, "AXDialog"},
    {ATSPI_ROLE_TABLE, "AXTable"},
    {ATSPI_ROLE_TREE_TABLE, "AXTable"},
    {ATSPI_ROLE_TREE, "AXOutline"},
    {ATSPI_ROLE_LIST, "AXList"},
    {ATSPI_ROLE_LIST_BOX, "AXList"},
    {ATSPI_ROLE_TABLE_ROW, "AXRow"},
    {ATSPI_ROLE_LIST_ITEM, "AXRow"},
    {ATSPI_ROLE_TREE_ITEM, "AXRow"},
    {ATSPI_ROLE_TABLE_CELL, "AXCell"},
    {ATSPI_ROLE_TABLE_COLUMN_HEADER, "AXCell"},
    {ATSPI_ROLE_TABLE_ROW_HEADER, "AXCell"},
    {ATSPI_ROLE_COLUMN_HEADER, "AXCell"},
    {ATSPI_ROLE_ROW_HEADER, "AXCell"},
    {ATSPI_ROLE_PAGE_TAB_LIST, "AXTabGroup"},
    {ATSPI_ROLE_PAGE_TAB, "AXTab"},
    {ATSPI_ROLE_MENU_BAR, "AXMenuBar"},
    {ATSPI_ROLE_POPUP_MENU, "AXMenu"},
    {ATSPI_ROLE_TEAROFF_MENU_ITEM, "AXMenuItem"},
    {ATSPI_ROLE_SCROLL_PANE, "AXScrollArea"},
    {ATSPI_ROLE_TOOL_BAR, "AXToolbar"},
    {ATSPI_ROLE_PROGRESS_BAR, "AXProgressIndicator"},
    {ATSPI_ROLE_SPLIT_PANE, "AXSplitGroup"},
    {ATSPI_ROLE_DOCUMENT_WEB, "AXWebArea"},
    {ATSPI_ROLE_DOCUMENT_FRAME, "AXWebArea"},
};

constexpr AtspiRole TEXT_ROLES[] = {ATSPI_ROLE_ENTRY, ATSPI_ROLE_TEXT, ATSPI_ROLE_PASSWORD_TEXT, ATSPI_ROLE_EDITBAR};
constexpr AtspiRole CHECKABLE_ROLES[] = {ATSPI_ROLE_CHECK_BOX, ATSPI_ROLE_TOGGLE_BUTTON, ATSPI_ROLE_RADIO_BUTTON,
                                         ATSPI_ROLE_CHECK_MENU_ITEM, ATSPI_ROLE_RADIO_MENU_ITEM};
constexpr AtspiRole WINDOW_ROLES[] = {ATSPI_ROLE_FRAME, ATSPI_ROLE_WINDOW, ATSPI_ROLE_DIALOG, ATSPI_ROLE_ALERT,
                                      ATSPI_ROLE_FILE_CHOOSER};
constexpr AtspiRole MENU_ITEM_ROLES[] = {ATSPI_ROLE_MENU_ITEM, ATSPI_ROLE_CHECK_MENU_ITEM, ATSPI_ROLE_RADIO_MENU_ITEM};

}  // namespace

bool isTextRole(AtspiRole role) { return std::ranges::find(TEXT_ROLES, role) != std::end(TEXT_ROLES); }
bool isCheckableRole(AtspiRole role) {
    return std::ranges::find(CHECKABLE_ROLES, role) != std::end(CHECKABLE_ROLES);
}
bool isWindowRole(AtspiRole role) { return std::ranges::find(WINDOW_ROLES, role) != std::end(WINDOW_ROLES); }
bool isGenericTopLevelRole(AtspiRole role) { return role == ATSPI_ROLE_FILLER || role == ATSPI_ROLE_PANEL; }
bool isMenuItemRole(AtspiRole role) {
    return std::ranges::find(MENU_ITEM_ROLES, role) != std::end(MENU_ITEM_ROLES);
}
bool roleDependsOnParent(AtspiRole role) {
    return role == ATSPI_ROLE_MENU || role == ATSPI_ROLE_FILE_CHOOSER || isMenuItemRole(role) ||
           isGenericTopLevelRole(role);
}

std::string_view axRoleFor(const RoleContext& context) {
    if (isTextRole(context.role)) return context.multiLine ? "AXTextArea" : "AXTextField";
    switch (context.role) {
        case ATSPI_ROLE_COMBO_BOX:
            return context.hasEditableTextChild ? "AXComboBox" : "AXPopUpButton";
        case ATSPI_ROLE_MENU:
            // GTK 3: a menu in the bar or in another menu is the item that
            // opens it, and both carry one virtual AXMenu child holding its
            // items. GTK 4: the menu below a menu item is the pop-over it
            // opens, the AXMenu itself.
            if (context.parentIsMenuBar) return "AXMenuBarItem";
            return context.parentIsMenuItem ? "AXMenu" : "AXMenuItem";
        case ATSPI_ROLE_MENU_ITEM:
        case ATSPI_ROLE_CHECK_MENU_ITEM:
        case ATSPI_ROLE_RADIO_MENU_ITEM:
            // Qt and GTK 4 put menu items in the bar, each with its menu below.
            return context.parentIsMenuBar ? "AXMenuBarItem" : "AXMenuItem";
        case ATSPI_ROLE_FILE_CHOOSER:
            return context.topLevel ? "AXDialog" : "AXGroup";
        case ATSPI_ROLE_FILLER:
        case ATSPI_ROLE_PANEL:
            return context.topLevel ? "AXDialog" : "AXGroup";
        default:
            break;
    }
    for (const auto& [role, name] : AX_ROLE_TABLE) {
        if (role == context.role) return name;
    }
    return "AXUnknown";
}

}  // namespace kest::platform::linux_desktop
