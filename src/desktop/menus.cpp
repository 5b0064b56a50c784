// Menus by path, menu listings and the menu-bar extras.
#include "desktop/menus.hpp"

#include <array>

#include "common/text.hpp"
#include "desktop/ax_reads.hpp"
#include "input/actions.hpp"
#include "input/keyboard.hpp"

namespace kest {
namespace {

namespace p = platform;

// After pressing an item that opens a menu, before its items are read; a
// menu that has no items by then (GTK 4 makes its pop-over when it opens) is
// looked at again every MENU_OPEN_POLL until MENU_OPEN_LIMIT has passed.
constexpr auto MENU_OPEN_SETTLE = std::chrono::milliseconds(100);
constexpr auto MENU_OPEN_POLL = std::chrono::milliseconds(50);
constexpr auto MENU_OPEN_LIMIT = std::chrono::milliseconds(2000);
// Between bringing the pointer over an item and clicking it.
constexpr auto POINTER_SETTLE = std::chrono::milliseconds(50);
// listing: one level below the opened menu's items, or five with "all".
constexpr int LIST_DEPTH = 1;
constexpr int LIST_ALL_DEPTH = 5;
// findMenuItem searches at any depth; this only keeps a malformed (cyclic or
// absurdly deep) tree from exhausting the stack.
constexpr int SEARCH_DEPTH_GUARD = 128;

constexpr std::array<std::string_view, 2> EXTRAS_BUNDLE_IDS = {"com.apple.controlcenter", "com.apple.systemuiserver"};

constexpr const char* NO_MENU_BAR = "Could not access menu bar";

bool isWhite(char c) { return c == ' ' || c == '\t'; }

bool isMenuItemRole(const std::string& role) { return role == "AXMenuItem" || role == "AXMenuBarItem"; }

void pressEscape(p::Platform& platform) { Keyboard::pressKey(platform.events(), "escape"); }

// Presses the item; one without any action (GTK 4's menu-bar items) is
// clicked at its centre instead, when its position can be read, the pointer
// brought there first: GTK 4's bar opens nothing for a press that comes with
// the pointer's arrival the first time it is clicked. False when a pause was
// cut short.
bool pressItem(p::Platform& platform, Pause& pause, const p::Element& item) {
    auto& accessibility = platform.accessibility();
    if (accessibility.performAction(item, p::AXAction::kPress) != p::StatusCode::kActionUnsupported) return true;
    auto centre = Actions::aimAt(accessibility, {}, item, "Menu item");
    if (!centre) return true;
    auto& events = platform.events();
    if (auto moved = events.createMouseEvent(p::MouseEventType::moved, *centre, p::MouseButton::left)) {
        events.post(*moved);
        if (!pause.sleepFor(POINTER_SETTLE)) return false;
    }
    Actions::clickAt(events, *centre);
    return true;
}

// The menu a pressed item opened: its first child, once that has items (or
// whatever the first child is when the limit passes); the item itself when it
// has no child. Nothing when a pause was cut short. `waited` counts the time
// spent, the first pause included.
std::optional<p::Element> openedMenu(p::Accessibility& accessibility, Pause& pause, const p::Element& item,
                                     Pause::Clock::duration& waited) {
    if (!pause.sleepFor(MENU_OPEN_SETTLE)) return std::nullopt;
    for (waited = MENU_OPEN_SETTLE;; waited += MENU_OPEN_POLL) {
        auto opened = ax::children(accessibility, item);
        p::Element menu = opened && !opened->empty() ? opened->front() : p::Element();
        if (menu) {
            if (auto items = ax::children(accessibility, menu); items && !items->empty()) return menu;
        }
        if (waited >= MENU_OPEN_LIMIT) return menu ? menu : item;
        if (!pause.sleepFor(MENU_OPEN_POLL)) return std::nullopt;
    }
}

}  // namespace

std::vector<std::string> Menus::splitPath(std::string_view path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('>', start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view piece = path.substr(start, end - start);
        if (!piece.empty()) {
            // Dropped only when empty before trimming: spaces make an empty title.
            std::size_t first = 0, last = piece.size();
            while (first < last && isWhite(piece[first])) ++first;
            while (last > first && isWhite(piece[last - 1])) --last;
            parts.emplace_back(piece.substr(first, last - first));
        }
        start = end + 1;
    }
    return parts;
}

p::Element Menus::getMenuBar(p::Platform& platform, const std::optional<std::string>& appName) {
    auto& workspace = platform.workspace();
    std::optional<p::RunningApplication> app;
    if (appName) {
        const std::string wanted = lowercased(*appName);
        for (auto& running : workspace.runningApplications()) {
            if (running.name && lowercased(*running.name) == wanted) {
                app = std::move(running);
                break;
            }
        }
    } else {
        app = workspace.frontmostApplication();
    }
    if (!app) return {};
    auto& accessibility = platform.accessibility();
    return ax::elementOf(accessibility, accessibility.applicationElement(app->pid), p::AXAttribute::kMenuBar);
}

p::Element Menus::findMenuItem(p::Accessibility& accessibility, const p::Element& element,
                               const std::string& loweredTitle, int depth) {
    if (depth > SEARCH_DEPTH_GUARD) return {};
    auto kids = ax::children(accessibility, element);
    if (!kids) return {};
    for (const auto& child : *kids) {
        if (lowercased(ax::stringOr(accessibility, child, p::AXAttribute::kTitle)) == loweredTitle) return child;
        if (auto below = findMenuItem(accessibility, child, loweredTitle, depth + 1)) return below;
    }
    return {};
}

// The menu an item opens ("AXMenu") is not a level of its own: its items are
// walked as the item's children. Every other role that is not a menu item or
// menu-bar item ends the descent there.
Json Menus::walkMenu(p::Accessibility& accessibility, const p::Element& element, int depth, int maxDepth) {
    Json records = Json::array();
    auto kids = ax::children(accessibility, element);
    if (!kids) return records;
    for (const auto& child : *kids) {
        const std::string role = ax::stringOr(accessibility, child, p::AXAttribute::kRole);
        if (role == "AXMenu") {
            for (auto& record : walkMenu(accessibility, child, depth, maxDepth)) records.push_back(std::move(record));
            continue;
        }
        if (!isMenuItemRole(role)) continue;
        const std::string title = ax::stringOr(accessibility, child, p::AXAttribute::kTitle);
        if (title.empty()) continue;  // separators and untitled items
        auto enabled = accessibility.attribute(child, p::AXAttribute::kEnabled);
        const std::optional<bool> flag = enabled ? enabled->asBool() : std::nullopt;
        Json record = {{"title", title}, {"enabled", flag.value_or(true)}};
        if (depth < maxDepth) {
            Json below = walkMenu(accessibility, child, depth + 1, maxDepth);
            if (!below.empty()) record["children"] = std::move(below);
        }
        records.push_back(std::move(record));
    }
    return records;
}

Result<Json> Menus::clickByPath(p::Platform& platform, Pause& pause, const std::string& path,
                                const std::optional<std::string>& appName) {
    p::Element current = getMenuBar(platform, appName);
    if (!current) return fail(ErrorCode::kFailed, NO_MENU_BAR);
    const auto parts = splitPath(path);
    if (parts.empty()) return fail(ErrorCode::kInvalidParams, "Empty menu path");
    auto& accessibility = platform.accessibility();
    // Since the menu searched was opened; nothing for the menu bar.
    std::optional<Pause::Clock::duration> waited;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string title = lowercased(parts[i]);
        p::Element item = findMenuItem(accessibility, current, title, 0);
        // A menu GTK 4 is still filling lacks its later items at first.
        while (!item && waited && *waited < MENU_OPEN_LIMIT) {
            if (!pause.sleepFor(MENU_OPEN_POLL)) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
            *waited += MENU_OPEN_POLL;
            item = findMenuItem(accessibility, current, title, 0);
        }
        if (!item) {
            return fail(ErrorCode::kNotFound, "Menu item not found: " + parts[i] + " (in path: " + path + ")");
        }
        if (!pressItem(platform, pause, item)) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
        if (i + 1 == parts.size()) break;
        auto opened = openedMenu(accessibility, pause, item, waited.emplace());
        if (!opened) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
        current = *opened;
    }
    return Json{{"ok", true}, {"path", path}};
}

Result<Json> Menus::list(p::Platform& platform, Pause& pause, const std::optional<std::string>& menuName, bool all,
                         const std::optional<std::string>& appName) {
    p::Element bar = getMenuBar(platform, appName);
    if (!bar) return fail(ErrorCode::kFailed, NO_MENU_BAR);
    auto& accessibility = platform.accessibility();
    auto top = ax::children(accessibility, bar);
    if (!top) return Json{{"ok", true}, {"items", Json::array()}};
    if (!menuName) {
        Json items = Json::array();
        for (const auto& item : *top) {
            std::string title = ax::stringOr(accessibility, item, p::AXAttribute::kTitle);
            if (!title.empty()) items.push_back({{"title", std::move(title)}});
        }
        return Json{{"ok", true}, {"items", std::move(items)}};
    }
    const std::string wanted = lowercased(*menuName);
    p::Element menu;
    for (const auto& item : *top) {
        if (lowercased(ax::stringOr(accessibility, item, p::AXAttribute::kTitle)) == wanted) {
            menu = item;
            break;
        }
    }
    if (!menu) {
        pressEscape(platform);
        return fail(ErrorCode::kNotFound, "Menu not found: " + *menuName);
    }
    if (!pressItem(platform, pause, menu)) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
    Pause::Clock::duration waited{};
    if (!openedMenu(accessibility, pause, menu, waited)) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
    Json items = Json::array();
    if (auto opened = ax::children(accessibility, menu)) {
        for (const auto& child : *opened) {
            for (auto& record : walkMenu(accessibility, child, 0, all ? LIST_ALL_DEPTH : LIST_DEPTH)) {
                items.push_back(std::move(record));
            }
        }
    }
    pressEscape(platform);
    return Json{{"ok", true}, {"menu", *menuName}, {"items", std::move(items)}};
}

Json Menus::listExtras(p::Platform& platform) {
    auto& accessibility = platform.accessibility();
    Json extras = Json::array();
    for (const auto& app : platform.workspace().runningApplications()) {
        if (!app.bundleIdentifier) continue;
        if (*app.bundleIdentifier != EXTRAS_BUNDLE_IDS[0] && *app.bundleIdentifier != EXTRAS_BUNDLE_IDS[1]) continue;
        p::Element bar = ax::elementOf(accessibility, accessibility.applicationElement(app.pid),
                                       p::AXAttribute::kExtrasMenuBar);
        if (!bar) continue;
        auto kids = ax::children(accessibility, bar);
        if (!kids) continue;
        for (const auto& child : *kids) {
            std::string title = ax::stringOr(accessibility, child, p::AXAttribute::kTitle);
            extras.push_back({{"title", title.empty() ? std::string("(unnamed)") : std::move(title)},
                              {"app", app.name.value_or("Unknown")}});
        }
    }
    return Json{{"ok", true}, {"extras", std::move(extras)}};
}

}  // namespace kest
