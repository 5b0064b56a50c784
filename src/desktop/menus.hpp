// Menus: clicking a menu item by its path ("File > Save As..."), listing the
// top-level menus or the items of one menu, and listing the menu-bar extras
// (status items) of the system's control-centre and system-UI processes.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/pause.hpp"
#include "platform/platform.hpp"
#include "rpc/protocol.hpp"
#include "rpc/result.hpp"

namespace kest {

// Stateless. Every accessibility call goes through the platform passed in;
// the pauses after opening a menu go through the pause (a pause cut short by
// the program stopping answers -32600 STOPPING_MESSAGE). An item is pressed
// with AXPress; one that has no action at all is clicked at its centre (a
// GTK 4 menu-bar item opens only so), the pointer moved there 0.05 s before
// the click. Titles match
// by lowercased equality; application names by lowercased equality with the
// running applications' localized names.
class Menus {
public:
    // Presses each part of the path in turn: a part is looked for anywhere
    // below the current element (pre-order, the first match wins); pressing a
    // part that is not the last opens its menu, and after 0.1 s that menu (the
    // item's first child, else the item itself) becomes the current element;
    // a menu with no items yet is read again every 0.05 s for up to 2 s in all
    // (GTK 4 makes its pop-over as it first opens, in up to a second or so
    // on a busy machine), and a part not found in a menu opened on the way is
    // looked for again as often until those 2 s have passed.
    // {"ok", "path": as given}. Menus opened on the way stay open when a later
    // part is not found.
    static Result<Json> clickByPath(platform::Platform& platform, Pause& pause, const std::string& path,
                                    const std::optional<std::string>& appName);

    // Without a menu: {"ok", "items": [{"title"}]} for the top-level menus.
    // With one: opens it, walks its items (one level below each, or five with
    // `all`), presses Escape and answers {"ok", "menu", "items": [records]},
    // a record being {"title", "enabled", "children"?}.
    static Result<Json> list(platform::Platform& platform, Pause& pause, const std::optional<std::string>& menuName,
                             bool all, const std::optional<std::string>& appName);

    // {"ok", "extras": [{"title", "app"}]}: the items of the extras menu bar
    // of the applications whose bundle identifier is "com.apple.controlcenter"
    // or "com.apple.systemuiserver"; none elsewhere.
    static Json listExtras(platform::Platform& platform);

    // The parts of a path: split at every ">", empty pieces dropped, then each
    // piece trimmed of spaces and tabs (so a piece of spaces is an empty title).
    static std::vector<std::string> splitPath(std::string_view path);

private:
    static platform::Element getMenuBar(platform::Platform& platform, const std::optional<std::string>& appName);
    static platform::Element findMenuItem(platform::Accessibility& accessibility, const platform::Element& element,
                                          const std::string& loweredTitle, int depth);
    static Json walkMenu(platform::Accessibility& accessibility, const platform::Element& element, int depth,
                         int maxDepth);
};

}  // namespace kest
