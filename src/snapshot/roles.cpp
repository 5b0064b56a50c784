// The role and prefix tables and ref numbering.
#include "snapshot/roles.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace kest {
namespace {

using RolePair = std::pair<std::string_view, std::string_view>;

constexpr std::array<RolePair, 44> AX_ROLE_MAP = {{
    {"AXButton", "button"},
    {"AXTextField", "textfield"},
    {"AXTextArea", "textarea"},
    {"AXLink", "link"},
    {"AXCheckBox", "checkbox"},
    {"AXRadioButton", "radio"},
    {"AXSlider", "slider"},
    {"AXPopUpButton", "dropdown"},
    {"AXImage", "image"},
    {"AXGroup", "group"},
    {"AXWindow", "window"},
    {"AXTable", "table"},
    {"AXRow", "row"},
    {"AXCell", "cell"},
    {"AXTabGroup", "tabgroup"},
    {"AXTab", "tab"},
    {"AXMenuBar", "menubar"},
    {"AXMenuItem", "menuitem"},
    {"AXScrollArea", "scrollarea"},
    {"AXStaticText", "text"},
    {"AXToolbar", "toolbar"},
    {"AXComboBox", "combobox"},
    {"AXStepper", "stepper"},
    {"AXSplitGroup", "splitgroup"},
    {"AXTimeline", "timeline"},
    {"AXProgressIndicator", "progress"},
    {"AXOutline", "treeview"},
    {"AXWebArea", "webarea"},
    {"AXSheet", "generic"},
    {"AXDrawer", "generic"},
    {"AXValueIndicator", "generic"},
    {"AXBrowser", "generic"},
    {"AXBusyIndicator", "progress"},
    {"AXDisclosureTriangle", "button"},
    {"AXIncrementor", "stepper"},
    {"AXColorWell", "generic"},
    {"AXList", "table"},
    {"AXMenu", "menubar"},
    {"AXMenuButton", "button"},
    {"AXRadioGroup", "group"},
    {"AXRuler", "generic"},
    {"AXSplitter", "generic"},
    {"AXSystemWide", "generic"},
    {"AXUnknown", "generic"},
}};

constexpr std::array<RolePair, 29> ROLE_PREFIX_MAP = {{
    {"button", "b"},     {"textfield", "t"},   {"textarea", "t"},   {"link", "l"},
    {"menuitem", "m"},   {"checkbox", "c"},    {"radio", "r"},      {"slider", "s"},
    {"dropdown", "d"},   {"image", "i"},       {"group", "g"},      {"window", "w"},
    {"table", "x"},      {"row", "o"},         {"cell", "o"},       {"tabgroup", "g"},
    {"tab", "a"},        {"menubar", "g"},     {"scrollarea", "sa"}, {"text", "e"},
    {"toolbar", "g"},    {"combobox", "cb"},   {"stepper", "st"},   {"splitgroup", "sp"},
    {"timeline", "tl"},  {"progress", "pg"},   {"treeview", "tv"},  {"webarea", "wb"},
    {"generic", "e"},
}};

constexpr std::array<std::string_view, 12> INTERACTIVE_ROLES = {
    "button", "textfield", "textarea", "link", "checkbox", "radio",
    "slider", "dropdown",  "combobox", "stepper", "tab",   "menuitem",
};

template <std::size_t N>
std::string_view lookup(const std::array<RolePair, N>& table, std::string_view key, std::string_view fallback) {
    auto it = std::ranges::find(table, key, &RolePair::first);
    return it == table.end() ? fallback : it->second;
}

}  // namespace

std::string_view shortRole(std::string_view axRole) { return lookup(AX_ROLE_MAP, axRole, "generic"); }

std::string_view refPrefix(std::string_view role) { return lookup(ROLE_PREFIX_MAP, role, "e"); }

bool isInteractiveRole(std::string_view role) { return std::ranges::find(INTERACTIVE_ROLES, role) != INTERACTIVE_ROLES.end(); }

std::string RefAssigner::assign(std::string_view role) {
    const std::string_view shortName = role.starts_with("AX") ? shortRole(role) : role;
    const std::string_view prefix = refPrefix(shortName);
    auto it = counters.find(prefix);
    if (it == counters.end()) it = counters.emplace(std::string(prefix), 0).first;
    return "@" + it->first + std::to_string(++it->second);
}

}  // namespace kest
