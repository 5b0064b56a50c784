// AX attributes and actions over AT-SPI2, with EWMH for window state.
#include "platform/linux/atspi_accessibility.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>

namespace kest::platform::linux_desktop {
namespace {

using namespace StatusCode;

constexpr std::size_t DEFAULT_BUTTON_SEARCH_LIMIT = 2000;
// GTK 4 puts a menu bar deep in its boxes, and the widget factory's below a
// thousand other nodes.
constexpr std::size_t MENU_BAR_SEARCH_LIMIT = 3000;
// A GTK 4 pop-over holds its items about ten boxes down.
constexpr std::size_t MENU_ITEM_SEARCH_LIMIT = 2000;
constexpr int MENU_ITEM_SEARCH_DEPTH = 32;
constexpr int MENU_NESTING_LIMIT = 32;
// Qt's action that opens (and, on a menu already open, closes) a menu.
constexpr std::string_view QT_SHOW_MENU_ACTION = "ShowMenu";

constexpr AtspiRole NUMERIC_VALUE_ROLES[] = {ATSPI_ROLE_SLIDER, ATSPI_ROLE_SPIN_BUTTON, ATSPI_ROLE_PROGRESS_BAR,
                                             ATSPI_ROLE_SCROLL_BAR, ATSPI_ROLE_LEVEL_BAR, ATSPI_ROLE_DIAL};
constexpr AtspiRole STATIC_TEXT_ROLES[] = {ATSPI_ROLE_LABEL, ATSPI_ROLE_STATIC, ATSPI_ROLE_CAPTION, ATSPI_ROLE_HEADING,
                                           ATSPI_ROLE_PARAGRAPH};

template <class T>
bool contains(const T& table, AtspiRole role) {
    return std::ranges::find(table, role) != std::end(table);
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

const AtspiElement* handle(const Element& element) { return dynamic_cast<const AtspiElement*>(element.get()); }

bool isMenuRole(AtspiRole role) { return role == ATSPI_ROLE_MENU || role == ATSPI_ROLE_POPUP_MENU; }

// What a menu lists: items of every kind, separators and GTK 3 submenus.
bool isMenuEntryRole(AtspiRole role) {
    return isMenuItemRole(role) || role == ATSPI_ROLE_MENU || role == ATSPI_ROLE_SEPARATOR ||
           role == ATSPI_ROLE_TEAROFF_MENU_ITEM;
}

// The name with GTK 4's repeated label removed: GTK 4 names a button whose
// label has a mnemonic by that label as written and then as shown ("_Open
// Open", "Cancel Cancel"); a user reads only the second.
std::string withoutRepeatedLabel(const std::string& name) {
    for (std::size_t space = name.find(' '); space != std::string::npos; space = name.find(' ', space + 1)) {
        const std::string_view written(name.data(), space);
        const std::string_view shown = std::string_view(name).substr(space + 1);
        if (shown.empty() || written.size() < shown.size()) continue;
        std::string plain;
        for (std::size_t i = 0; i < written.size(); ++i) {
            if (written[i] == '_' && i + 1 < written.size()) ++i;
            plain += written[i];
        }
        if (plain == shown) return std::string(shown);
    }
    return name;
}

}  // namespace

const AtspiAccessibility::AttributeEntry AtspiAccessibility::ATTRIBUTE_TABLE[] = {
    {"AXRole", &AtspiAccessibility::role},
    {"AXTitle", &AtspiAccessibility::title},
    {"AXDescription", &AtspiAccessibility::description},
    {"AXValue", &AtspiAccessibility::value},
    {"AXEnabled", &AtspiAccessibility::enabled},
    {"AXFocused", &AtspiAccessibility::focused},
    {"AXPosition", &AtspiAccessibility::position},
    {"AXSize", &AtspiAccessibility::size},
    {"AXChildren", &AtspiAccessibility::children},
    {"AXWindows", &AtspiAccessibility::windowList},
    {"AXFocusedWindow", &AtspiAccessibility::focusedWindow},
    {"AXMenuBar", &AtspiAccessibility::menuBar},
    {"AXExtrasMenuBar", &AtspiAccessibility::absent},
    {"AXMinimized", &AtspiAccessibility::minimized},
    {"AXFullScreen", &AtspiAccessibility::fullScreen},
    {"AXModal", &AtspiAccessibility::modal},
    {"AXCloseButton", &AtspiAccessibility::closeButton},
    {"AXZoomButton", &AtspiAccessibility::zoomButton},
    {"AXDefaultButton", &AtspiAccessibility::defaultButton},
    {"AXCancelButton", &AtspiAccessibility::absent},
};

AtspiReader* AtspiAccessibility::reader() {
    if (!reader_) reader_ = AtspiReader::connect();
    return reader_.get();
}

EwmhWindows* AtspiAccessibility::windows() {
    if (!windows_) {
        if (!connection_) connection_ = X11Connection::open();
        if (connection_) windows_ = std::make_unique<EwmhWindows>(*connection_);
    }
    return windows_.get();
}

bool AtspiAccessibility::isProcessTrusted() {
    AtspiReader* r = reader();
    if (!r) return false;
    auto apps = r->applications();
    return apps && !apps->empty();
}

Element AtspiAccessibility::applicationElement(std::int32_t pid) {
    return std::make_shared<AtspiElement>(AtspiElement::Kind::application, AccessiblePtr(), pid);
}

AccessiblePtr AtspiAccessibility::target(const AtspiElement& element) {
    if (element.kind != AtspiElement::Kind::application) return element.object;
    AtspiReader* r = reader();
    return r ? r->applicationForPid(element.pid) : AccessiblePtr();
}

Element AtspiAccessibility::wrap(AccessiblePtr object) {
    return std::make_shared<AtspiElement>(AtspiElement::Kind::accessible, std::move(object));
}

// A top level of the generic role (GTK 4's file chooser dialog) is a window
// too.
bool AtspiAccessibility::isWindow(AtspiAccessible* object) {
    AtspiReader& r = *reader();
    auto objectRole = r.role(object);
    if (!objectRole) return false;
    if (isWindowRole(*objectRole)) return true;
    if (!isGenericTopLevelRole(*objectRole)) return false;
    auto up = r.parent(object);
    auto parentRole = up ? r.role(up->get()) : std::expected<AtspiRole, Status>(std::unexpected(kNoValue));
    return parentRole && *parentRole == ATSPI_ROLE_APPLICATION;
}

std::vector<AccessiblePtr> AtspiAccessibility::topLevels(AtspiAccessible* application) {
    std::vector<AccessiblePtr> result;
    auto kids = reader()->children(application);
    if (!kids) return result;
    for (auto& child : *kids) {
        auto childRole = reader()->role(child.get());
        if (childRole && (isWindowRole(*childRole) || isGenericTopLevelRole(*childRole))) result.push_back(std::move(child));
    }
    return result;
}

// A window is matched by process id, then title, then extents (a GTK frame's
// extents are its outer frame, like the window list's bounds).
std::optional<X11WindowInfo> AtspiAccessibility::xWindowOf(AtspiAccessible* window) {
    if (xWindows_ && window) {
        auto* object = reinterpret_cast<AtspiObject*>(window);
        std::string key = (object->app && object->app->bus_name ? object->app->bus_name : "") + std::string("\n") +
                          (object->path ? object->path : "");
        if (auto known = xWindows_->find(key); known != xWindows_->end()) return known->second;
        auto found = findXWindow(window);
        xWindows_->emplace(std::move(key), found);
        return found;
    }
    return findXWindow(window);
}

std::optional<X11WindowInfo> AtspiAccessibility::findXWindow(AtspiAccessible* window) {
    EwmhWindows* list = windows();
    AtspiReader* r = reader();
    if (!list || !r) return std::nullopt;
    auto pid = r->processId(window);
    if (!pid) return std::nullopt;
    std::vector<X11WindowInfo> candidates;
    for (auto& info : list->list()) {
        if (info.pid == *pid) candidates.push_back(std::move(info));
    }
    if (candidates.size() > 1) {
        const std::string name = r->name(window).value_or("");
        std::vector<X11WindowInfo> titled;
        for (const auto& info : candidates) {
            if (info.title.value_or("") == name) titled.push_back(info);
        }
        if (!titled.empty()) candidates = std::move(titled);
    }
    if (candidates.size() > 1) {
        if (auto extents = r->extents(window)) {
            for (const auto& info : candidates) {
                if (info.bounds.x == static_cast<int>(extents->x) && info.bounds.y == static_cast<int>(extents->y) &&
                    info.bounds.width == static_cast<int>(extents->width) &&
                    info.bounds.height == static_cast<int>(extents->height)) {
                    return info;
                }
            }
        }
    }
    if (candidates.empty()) return std::nullopt;
    return candidates.front();
}

std::vector<AccessiblePtr> AtspiAccessibility::windowsFrontFirst(AtspiAccessible* application) {
    auto frames = topLevels(application);
    EwmhWindows* list = windows();
    if (!list || frames.size() < 2) return frames;
    // Stacking position of each frame's X window; unmatched frames keep their
    // AT-SPI order after the matched ones.
    const auto stacking = list->list();
    std::vector<std::pair<std::size_t, AccessiblePtr>> ranked;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        std::size_t rank = stacking.size() + i;
        if (auto info = xWindowOf(frames[i].get())) {
            for (std::size_t s = 0; s < stacking.size(); ++s) {
                if (stacking[s].id == info->id) rank = s;
            }
        }
        ranked.emplace_back(rank, frames[i]);
    }
    std::ranges::stable_sort(ranked, {}, &std::pair<std::size_t, AccessiblePtr>::first);
    std::vector<AccessiblePtr> result;
    for (auto& [rank, frame] : ranked) result.push_back(std::move(frame));
    return result;
}

// The prefetch's session, and the X windows found while it is open.
class AtspiAccessibility::TreeRead final : public TreeReadSession {
public:
    TreeRead(AtspiAccessibility& owner, std::unique_ptr<TreeReadSession> fetched)
        : owner_(owner), fetched_(std::move(fetched)) {
        owner_.xWindows_.emplace();
    }
    ~TreeRead() override { owner_.xWindows_.reset(); }
    TreeRead(const TreeRead&) = delete;
    TreeRead& operator=(const TreeRead&) = delete;

private:
    AtspiAccessibility& owner_;
    std::unique_ptr<TreeReadSession> fetched_;
};

std::unique_ptr<TreeReadSession> AtspiAccessibility::beginTreeRead(const Element& root, const TreeWalkBounds& bounds) {
    const AtspiElement* e = handle(root);
    if (!e || e->kind != AtspiElement::Kind::accessible || !reader()) return nullptr;
    if (!prefetcher_) prefetcher_ = std::make_unique<AtspiPrefetcher>(reader_->timeout());
    // The walk counts elements as children() shapes them, not as they stand
    // in the application's tree: where menus are brought to one shape, nodes
    // the walk never meets lie before the ones it reads. A tenth more than it
    // counts is fetched; reads beyond that still go one by one.
    TreeWalkBounds reach = bounds;
    if (reach.elements < std::numeric_limits<std::size_t>::max() / 2) {
        reach.elements += std::max<std::size_t>(reach.elements / 10, 50);
    }
    // Only the roles whose value() reads them need text, a current value or
    // a selected child.
    const AtspiFetchPlan plan{
        .wantsText = [](AtspiRole role) { return isTextRole(role) || contains(STATIC_TEXT_ROLES, role); },
        .wantsValue = [](AtspiRole role) { return contains(NUMERIC_VALUE_ROLES, role); },
        .wantsSelection = [](AtspiRole role) { return role == ATSPI_ROLE_COMBO_BOX; },
        .bounds = reach,
    };
    auto fetched = prefetcher_->beginTreeRead(*reader_, e->object, plan);
    if (!fetched) return nullptr;
    return std::make_unique<TreeRead>(*this, std::move(fetched));
}

AttributeResult AtspiAccessibility::attribute(const Element& element, std::string_view name) {
    const AtspiElement* e = handle(element);
    if (!e) return std::unexpected(kIllegalArgument);
    if (!reader()) return std::unexpected(kAPIDisabled);
    for (const auto& entry : ATTRIBUTE_TABLE) {
        if (entry.name == name) return (this->*entry.read)(*e);
    }
    return std::unexpected(kAttributeUnsupported);
}

AttributeResult AtspiAccessibility::role(const AtspiElement& e) {
    switch (e.kind) {
        case AtspiElement::Kind::application:
            if (!target(e)) return std::unexpected(kInvalidElement);
            return Value::string("AXApplication");
        case AtspiElement::Kind::menu:
            return Value::string("AXMenu");
        case AtspiElement::Kind::closeButton:
        case AtspiElement::Kind::zoomButton:
            return Value::string("AXButton");
        case AtspiElement::Kind::accessible:
            break;
    }
    auto axRole = reader()->axRole(e.object.get());
    if (!axRole) return std::unexpected(axRole.error());
    return Value::string(std::string(*axRole));
}

AttributeResult AtspiAccessibility::title(const AtspiElement& e) {
    if (e.kind == AtspiElement::Kind::closeButton || e.kind == AtspiElement::Kind::zoomButton) {
        return std::unexpected(kNoValue);
    }
    auto object = target(e);
    if (!object) return std::unexpected(kInvalidElement);
    auto name = reader()->name(object.get());
    if (!name) return std::unexpected(name.error());
    std::string text = trimmed(*name);
    if (text.empty()) return std::unexpected(kNoValue);
    if (e.kind == AtspiElement::Kind::accessible && text.find(' ') != std::string::npos) {
        auto objectRole = reader()->role(object.get());
        if (objectRole && (*objectRole == ATSPI_ROLE_PUSH_BUTTON || *objectRole == ATSPI_ROLE_TOGGLE_BUTTON) &&
            isGtk4Application(object.get())) {
            text = withoutRepeatedLabel(text);
        }
    }
    return Value::string(std::move(text));
}

AttributeResult AtspiAccessibility::description(const AtspiElement& e) {
    if (e.kind != AtspiElement::Kind::accessible) return std::unexpected(kNoValue);
    auto text = reader()->description(e.object.get());
    if (!text) return std::unexpected(text.error());
    if (text->empty()) return std::unexpected(kNoValue);
    return Value::string(std::move(*text));
}

AttributeResult AtspiAccessibility::value(const AtspiElement& e) {
    if (e.kind != AtspiElement::Kind::accessible) return std::unexpected(kNoValue);
    AtspiReader& r = *reader();
    AtspiAccessible* object = e.object.get();
    auto atspiRole = r.role(object);
    if (!atspiRole) return std::unexpected(atspiRole.error());
    if (isTextRole(*atspiRole)) {
        auto text = r.text(object);
        if (!text) return std::unexpected(text.error());
        return Value::string(std::move(*text));
    }
    if (isCheckableRole(*atspiRole)) {
        auto states = r.states(object);
        if (!states) return std::unexpected(states.error());
        return Value::integer(states->has(ATSPI_STATE_CHECKED) || states->has(ATSPI_STATE_PRESSED) ? 1 : 0);
    }
    if (contains(NUMERIC_VALUE_ROLES, *atspiRole)) {
        auto number = r.currentValue(object);
        if (!number) return std::unexpected(number.error());
        return Value::real(*number);
    }
    if (contains(STATIC_TEXT_ROLES, *atspiRole)) {
        if (auto text = r.text(object)) return Value::string(std::move(*text));
        auto name = r.name(object);
        if (!name) return std::unexpected(name.error());
        return Value::string(std::move(*name));
    }
    if (*atspiRole == ATSPI_ROLE_COMBO_BOX) {
        auto kids = r.children(object);
        if (kids) {
            for (const auto& child : *kids) {
                auto childRole = r.role(child.get());
                if (childRole && isTextRole(*childRole)) {
                    if (auto text = r.text(child.get())) return Value::string(std::move(*text));
                }
            }
        }
        if (auto selected = r.selectedChild(object); selected && *selected) {
            if (auto name = r.name(selected->get()); name && !name->empty()) return Value::string(*name);
        }
        return std::unexpected(kNoValue);
    }
    return std::unexpected(kNoValue);
}

AttributeResult AtspiAccessibility::enabled(const AtspiElement& e) {
    auto object = target(e);
    if (!object) return std::unexpected(kInvalidElement);
    auto states = reader()->states(object.get());
    if (!states) return std::unexpected(states.error());
    return Value::boolean(states->has(ATSPI_STATE_ENABLED) || states->has(ATSPI_STATE_SENSITIVE));
}

AttributeResult AtspiAccessibility::focused(const AtspiElement& e) {
    if (e.kind != AtspiElement::Kind::accessible) return Value::boolean(false);
    auto states = reader()->states(e.object.get());
    if (!states) return std::unexpected(states.error());
    return Value::boolean(states->has(ATSPI_STATE_FOCUSED));
}

// GTK 4 has no screen coordinates on X11: asked for them, it answers with
// coordinates relative to its window widget (warning "Screen coordinates not
// supported"), the window itself at (0, 0). Such an application is told by its
// toolkit and by its top level standing at (0, 0); its extents are moved by
// where the window widget stands on the screen: the X window's outer frame,
// inset by half of what the frame is larger than the widget (the client-side
// decorations' margin, the same on every side without a compositor). The
// top level itself reads as its X window's outer frame, as the window list
// shows it.
std::expected<Rect, Status> AtspiAccessibility::screenExtents(AtspiAccessible* object) {
    AtspiReader& r = *reader();
    auto extents = r.extents(object);
    if (!extents) return extents;
    // An element that is not drawn (a hidden page's) stays at no place at all.
    if (!isGtk4Application(object) ||
        (extents->x == 0 && extents->y == 0 && extents->width == 0 && extents->height == 0)) {
        return extents;
    }

    constexpr int MAX_DEPTH = 128;
    AccessiblePtr top = adoptAccessible(ATSPI_ACCESSIBLE(g_object_ref(object)));
    for (int depth = 0;; ++depth) {
        auto up = r.parent(top.get());
        if (!up || depth >= MAX_DEPTH) return extents;
        auto upRole = r.role(up->get());
        if (!upRole) return extents;
        if (*upRole == ATSPI_ROLE_APPLICATION) break;
        top = std::move(*up);
    }
    auto topExtents = top.get() == object ? extents : r.extents(top.get());
    if (!topExtents || topExtents->x != 0 || topExtents->y != 0) return extents;
    auto window = xWindowOf(top.get());
    if (!window) return extents;
    const Rect frame{static_cast<double>(window->bounds.x), static_cast<double>(window->bounds.y),
                     static_cast<double>(window->bounds.width), static_cast<double>(window->bounds.height)};
    if (top.get() == object) return frame;
    const double insetX = std::max(0.0, std::floor((frame.width - topExtents->width) / 2));
    const double insetY = std::max(0.0, std::floor((frame.height - topExtents->height) / 2));
    return Rect{extents->x + frame.x + insetX, extents->y + frame.y + insetY, extents->width, extents->height};
}

bool AtspiAccessibility::isGtk4Application(AtspiAccessible* object) {
    auto* application = reinterpret_cast<AtspiObject*>(object)->app;
    if (!application || !application->bus_name || !application->root) return false;
    auto [known, fresh] = gtk4Applications_.try_emplace(application->bus_name, false);
    if (fresh) {
        GCharPtr toolkit(atspi_accessible_get_toolkit_name(application->root, nullptr));
        GCharPtr version(atspi_accessible_get_toolkit_version(application->root, nullptr));
        const std::string_view name = toolkit ? toolkit.get() : "";
        known->second = (name == "GTK" || name == "gtk") && version && std::string_view(version.get()).starts_with("4.");
    }
    return known->second;
}

AttributeResult AtspiAccessibility::position(const AtspiElement& e) {
    if (e.kind == AtspiElement::Kind::application) return std::unexpected(kAttributeUnsupported);
    auto extents = screenExtents(e.object.get());
    if (!extents) return std::unexpected(extents.error());
    return Value::point(Point{extents->x, extents->y});
}

AttributeResult AtspiAccessibility::size(const AtspiElement& e) {
    if (e.kind == AtspiElement::Kind::application) return std::unexpected(kAttributeUnsupported);
    auto extents = screenExtents(e.object.get());
    if (!extents) return std::unexpected(extents.error());
    return Value::size(Size{extents->width, extents->height});
}

AttributeResult AtspiAccessibility::children(const AtspiElement& e) {
    switch (e.kind) {
        case AtspiElement::Kind::application:
            return windowList(e);
        case AtspiElement::Kind::closeButton:
        case AtspiElement::Kind::zoomButton:
            return Value::elements({});
        case AtspiElement::Kind::menu:
        case AtspiElement::Kind::accessible:
            break;
    }
    AtspiReader& r = *reader();
    if (e.kind == AtspiElement::Kind::accessible) {
        auto atspiRole = r.role(e.object.get());
        if (!atspiRole) return std::unexpected(atspiRole.error());
        bool isMenu = *atspiRole == ATSPI_ROLE_POPUP_MENU;
        if (*atspiRole == ATSPI_ROLE_MENU) {
            auto up = r.parent(e.object.get());
            auto parentRole = up ? r.role(up->get()) : std::expected<AtspiRole, Status>(std::unexpected(kNoValue));
            isMenu = parentRole && isMenuItemRole(*parentRole);
            if (!isMenu) return Value::elements({std::make_shared<AtspiElement>(AtspiElement::Kind::menu, e.object)});
        }
        if (isMenu) {
            std::vector<Element> items;
            for (auto& item : menuItemsBelow(e.object.get())) items.push_back(wrap(std::move(item)));
            return Value::elements(std::move(items));
        }
        if (isMenuItemRole(*atspiRole)) {
            // Only the menu it opens: GTK 4's label and accelerator boxes
            // repeat what the item's name says.
            auto kids = r.children(e.object.get());
            if (!kids) return std::unexpected(kids.error());
            std::vector<Element> menus;
            for (auto& child : *kids) {
                if (auto childRole = r.role(child.get()); childRole && isMenuRole(*childRole)) menus.push_back(wrap(std::move(child)));
            }
            return Value::elements(std::move(menus));
        }
    }
    auto kids = r.children(e.object.get());
    if (!kids) return std::unexpected(kids.error());
    std::vector<Element> result;
    result.reserve(kids->size());
    for (auto& child : *kids) result.push_back(wrap(std::move(child)));
    return Value::elements(std::move(result));
}

std::vector<AccessiblePtr> AtspiAccessibility::menuItemsBelow(AtspiAccessible* menu) {
    std::vector<AccessiblePtr> items;
    std::size_t visited = 0;
    collectMenuItems(menu, 0, visited, items);
    return items;
}

void AtspiAccessibility::collectMenuItems(AtspiAccessible* node, int depth, std::size_t& visited,
                                          std::vector<AccessiblePtr>& items) {
    if (depth > MENU_ITEM_SEARCH_DEPTH) return;
    AtspiReader& r = *reader();
    auto kids = r.children(node);
    if (!kids) return;
    for (auto& child : *kids) {
        if (++visited > MENU_ITEM_SEARCH_LIMIT) return;
        auto childRole = r.role(child.get());
        if (!childRole) continue;
        if (isMenuEntryRole(*childRole)) {
            items.push_back(std::move(child));
        } else {
            collectMenuItems(child.get(), depth + 1, visited, items);
        }
    }
}

AttributeResult AtspiAccessibility::windowList(const AtspiElement& e) {
    if (e.kind != AtspiElement::Kind::application) return std::unexpected(kAttributeUnsupported);
    auto app = target(e);
    if (!app) return std::unexpected(kInvalidElement);
    std::vector<Element> result;
    for (auto& frame : windowsFrontFirst(app.get())) result.push_back(wrap(std::move(frame)));
    return Value::elements(std::move(result));
}

AttributeResult AtspiAccessibility::focusedWindow(const AtspiElement& e) {
    if (e.kind != AtspiElement::Kind::application) return std::unexpected(kAttributeUnsupported);
    auto app = target(e);
    if (!app) return std::unexpected(kInvalidElement);
    for (auto& frame : topLevels(app.get())) {
        auto states = reader()->states(frame.get());
        if (states && states->has(ATSPI_STATE_ACTIVE)) return Value::element(wrap(std::move(frame)));
    }
    return std::unexpected(kNoValue);
}

AttributeResult AtspiAccessibility::menuBar(const AtspiElement& e) {
    if (e.kind != AtspiElement::Kind::application) return std::unexpected(kAttributeUnsupported);
    auto app = target(e);
    if (!app) return std::unexpected(kInvalidElement);
    AtspiReader& r = *reader();
    auto frames = topLevels(app.get());
    auto active = std::ranges::find_if(frames, [&](const AccessiblePtr& frame) {
        auto states = r.states(frame.get());
        return states && states->has(ATSPI_STATE_ACTIVE);
    });
    if (frames.empty()) return std::unexpected(kNoValue);
    const AccessiblePtr& frame = active != frames.end() ? *active : frames.front();
    // The search reads the window's tree in bulk: GTK 4 puts its bar below a
    // thousand nodes, read one by one in about a second.
    if (!prefetcher_) prefetcher_ = std::make_unique<AtspiPrefetcher>(r.timeout());
    static const AtspiFetchPlan structureOnly{
        .wantsText = [](AtspiRole) { return false; },
        .wantsValue = [](AtspiRole) { return false; },
    };
    const auto fetched = prefetcher_->beginTreeRead(r, frame, structureOnly);
    std::deque<AccessiblePtr> queue{frame};
    for (std::size_t visited = 0; !queue.empty() && visited < MENU_BAR_SEARCH_LIMIT; ++visited) {
        AccessiblePtr node = std::move(queue.front());
        queue.pop_front();
        if (auto nodeRole = r.role(node.get()); nodeRole && *nodeRole == ATSPI_ROLE_MENU_BAR) {
            return Value::element(wrap(std::move(node)));
        }
        if (auto kids = r.children(node.get())) {
            for (auto& child : *kids) queue.push_back(std::move(child));
        }
    }
    return std::unexpected(kNoValue);
}

AttributeResult AtspiAccessibility::absent(const AtspiElement&) { return std::unexpected(kNoValue); }

AttributeResult AtspiAccessibility::minimized(const AtspiElement& e) {
    if (e.kind != AtspiElement::Kind::accessible || !isWindow(e.object.get())) {
        return std::unexpected(kAttributeUnsupported);
    }
    auto info = xWindowOf(e.object.get());
    if (!info) return std::unexpected(kNoValue);
    return Value::boolean(info->states.hidden);
}

AttributeResult AtspiAccessibility::fullScreen(const AtspiElement& e) {
    if (e.kind != AtspiElement::Kind::accessible || !isWindow(e.object.get())) {
        return std::unexpected(kAttributeUnsupported);
    }
    auto info = xWindowOf(e.object.get());
    if (!info) return std::unexpected(kNoValue);
    return Value::boolean(info->states.fullscreen);
}

// A top-level file chooser counts as modal: it always holds its caller's
// task, though GTK gives a parentless chooser no modal state. GTK 4's file
// chooser dialog is the top level of the generic role. Qt gives no modal
// state to a modal dialog; its X window has the window manager's.
AttributeResult AtspiAccessibility::modal(const AtspiElement& e) {
    if (e.kind != AtspiElement::Kind::accessible) return Value::boolean(false);
    AtspiReader& r = *reader();
    auto states = r.states(e.object.get());
    if (!states) return std::unexpected(states.error());
    if (states->has(ATSPI_STATE_MODAL)) return Value::boolean(true);
    auto atspiRole = r.role(e.object.get());
    if (!atspiRole) return Value::boolean(false);
    if (*atspiRole == ATSPI_ROLE_FILE_CHOOSER || isGenericTopLevelRole(*atspiRole)) {
        auto up = r.parent(e.object.get());
        auto parentRole = up ? r.role(up->get()) : std::expected<AtspiRole, Status>(std::unexpected(kNoValue));
        if (parentRole && *parentRole == ATSPI_ROLE_APPLICATION) return Value::boolean(true);
    }
    if (isWindowRole(*atspiRole)) {
        if (auto info = xWindowOf(e.object.get()); info && info->states.modal) return Value::boolean(true);
    }
    return Value::boolean(false);
}

AttributeResult AtspiAccessibility::closeButton(const AtspiElement& e) {
    if (e.kind != AtspiElement::Kind::accessible || !isWindow(e.object.get())) {
        return std::unexpected(kAttributeUnsupported);
    }
    return Value::element(std::make_shared<AtspiElement>(AtspiElement::Kind::closeButton, e.object));
}

AttributeResult AtspiAccessibility::zoomButton(const AtspiElement& e) {
    if (e.kind != AtspiElement::Kind::accessible || !isWindow(e.object.get())) {
        return std::unexpected(kAttributeUnsupported);
    }
    return Value::element(std::make_shared<AtspiElement>(AtspiElement::Kind::zoomButton, e.object));
}

AttributeResult AtspiAccessibility::defaultButton(const AtspiElement& e) {
    if (e.kind != AtspiElement::Kind::accessible) return std::unexpected(kNoValue);
    AtspiReader& r = *reader();
    std::deque<AccessiblePtr> queue;
    if (auto kids = r.children(e.object.get())) queue.assign(kids->begin(), kids->end());
    for (std::size_t visited = 0; !queue.empty() && visited < DEFAULT_BUTTON_SEARCH_LIMIT; ++visited) {
        AccessiblePtr node = std::move(queue.front());
        queue.pop_front();
        if (auto nodeRole = r.role(node.get()); nodeRole && *nodeRole == ATSPI_ROLE_PUSH_BUTTON) {
            auto states = r.states(node.get());
            if (states && states->has(ATSPI_STATE_IS_DEFAULT)) return Value::element(wrap(std::move(node)));
        }
        if (auto kids = r.children(node.get())) {
            for (auto& child : *kids) queue.push_back(std::move(child));
        }
    }
    return std::unexpected(kNoValue);
}

Status AtspiAccessibility::setAttribute(const Element& element, std::string_view name, const Value& value) {
    const AtspiElement* e = handle(element);
    if (!e || e->kind != AtspiElement::Kind::accessible) return kIllegalArgument;
    AtspiReader* r = reader();
    if (!r) return kAPIDisabled;
    AtspiAccessible* object = e->object.get();

    if (name == AXAttribute::kFocused) {
        auto focus = value.asBool();
        if (!focus) return kIllegalArgument;
        return *focus ? r->grabFocus(object) : kFailure;
    }
    if (name == AXAttribute::kValue) {
        if (const std::string* text = value.asString()) {
            auto atspiRole = r->role(object);
            if (atspiRole && *atspiRole == ATSPI_ROLE_COMBO_BOX) return setComboValue(object, *text);
            return r->setText(object, *text);
        }
        if (value.kind() == Value::Kind::integer || value.kind() == Value::Kind::real) {
            return r->setCurrentValue(object, *value.asNumber());
        }
        return kIllegalArgument;
    }

    const bool windowAttribute = name == AXAttribute::kMinimized || name == AXAttribute::kFullScreen ||
                                 name == AXAttribute::kPosition || name == AXAttribute::kSize;
    if (!windowAttribute) return kAttributeUnsupported;
    if (!isWindow(object)) return kAttributeUnsupported;
    auto info = xWindowOf(object);
    EwmhWindows* list = windows();
    if (!info || !list) return kCannotComplete;
    bool sent = false;
    if (name == AXAttribute::kMinimized) {
        auto minimize = value.asBool();
        if (!minimize) return kIllegalArgument;
        sent = *minimize ? list->iconify(info->id) : list->activate(info->id);
    } else if (name == AXAttribute::kFullScreen) {
        auto fullscreen = value.asBool();
        if (!fullscreen) return kIllegalArgument;
        sent = list->changeState(info->id, *fullscreen ? StateChange::add : StateChange::remove, "FULLSCREEN");
    } else if (name == AXAttribute::kPosition) {
        auto point = value.asPoint();
        if (!point) return kIllegalArgument;
        RootRect bounds = info->bounds;
        bounds.x = static_cast<int>(std::lround(point->x));
        bounds.y = static_cast<int>(std::lround(point->y));
        sent = list->moveResize(info->id, bounds, EwmhWindows::kPosition);
    } else {
        auto newSize = value.asSize();
        if (!newSize) return kIllegalArgument;
        RootRect bounds = info->bounds;
        bounds.width = static_cast<int>(std::lround(newSize->width));
        bounds.height = static_cast<int>(std::lround(newSize->height));
        sent = list->moveResize(info->id, bounds, EwmhWindows::kSize);
    }
    return sent ? kSuccess : kFailure;
}

// The write that mirrors the read: an editable combo box takes the text in its
// entry; another chooses the entry of its pop-up named exactly so.
Status AtspiAccessibility::setComboValue(AtspiAccessible* combo, const std::string& text) {
    AtspiReader& r = *reader();
    auto kids = r.children(combo);
    if (!kids) return kids.error();
    for (const auto& child : *kids) {
        auto childRole = r.role(child.get());
        if (childRole && isTextRole(*childRole)) return r.setText(child.get(), text);
    }
    for (const auto& child : *kids) {
        auto childRole = r.role(child.get());
        if (!childRole || *childRole != ATSPI_ROLE_MENU) continue;
        auto items = r.children(child.get());
        if (!items) return items.error();
        for (std::size_t i = 0; i < items->size(); ++i) {
            auto itemName = r.name((*items)[i].get());
            if (itemName && *itemName == text) return r.selectChild(combo, static_cast<int>(i));
        }
    }
    return kFailure;
}

Status AtspiAccessibility::performAction(const Element& element, std::string_view action) {
    const AtspiElement* e = handle(element);
    if (!e) return kIllegalArgument;
    AtspiReader* r = reader();
    if (!r) return kAPIDisabled;
    if (action == AXAction::kPress) {
        switch (e->kind) {
            case AtspiElement::Kind::accessible: {
                // A text entry's only action is "activate", which is pressing
                // Return in it; pressing a text element means what a click on
                // it does (focus, the caret there), so it has no press here.
                auto atspiRole = r->role(e->object.get());
                if (!atspiRole) return atspiRole.error();
                if (isTextRole(*atspiRole)) return kActionUnsupported;
                if (isMenuItemRole(*atspiRole)) return pressMenuItem(e->object.get());
                return r->press(e->object.get());
            }
            case AtspiElement::Kind::closeButton:
            case AtspiElement::Kind::zoomButton: {
                auto info = xWindowOf(e->object.get());
                if (!info) return kCannotComplete;
                const bool sent = e->kind == AtspiElement::Kind::closeButton
                                      ? windows()->close(info->id)
                                      : windows()->changeState(info->id, StateChange::toggle, "MAXIMIZED_VERT",
                                                               "MAXIMIZED_HORZ");
                return sent ? kSuccess : kFailure;
            }
            case AtspiElement::Kind::application:
            case AtspiElement::Kind::menu:
                return kActionUnsupported;
        }
    }
    if (action == AXAction::kRaise && e->kind == AtspiElement::Kind::accessible && isWindow(e->object.get())) {
        auto info = xWindowOf(e->object.get());
        if (!info) return kCannotComplete;
        return windows()->activate(info->id) ? kSuccess : kFailure;
    }
    return kActionUnsupported;
}

// AXPress on a menu item opens its menu or activates it, and an activated
// item's menus close, as a click does. Qt's own actions differ: "ShowMenu"
// closes a menu that is open (so pressing an opened item again would close
// it), and "Press" runs the item's action leaving every menu open.
Status AtspiAccessibility::pressMenuItem(AtspiAccessible* item) {
    AtspiReader& r = *reader();
    auto names = r.actionNames(item);
    if (names && std::ranges::find(*names, QT_SHOW_MENU_ACTION) != names->end()) {
        if (auto kids = r.children(item)) {
            for (const auto& child : *kids) {
                auto childRole = r.role(child.get());
                if (!childRole || *childRole != ATSPI_ROLE_POPUP_MENU) continue;
                auto states = r.states(child.get());
                if (states && states->has(ATSPI_STATE_SHOWING)) return kSuccess;
            }
        }
        return r.press(item);
    }
    const Status pressed = r.press(item);
    if (pressed == kSuccess) closeMenusAbove(item);
    return pressed;
}

// From an item in Qt's pop-up menus up to the menu-bar item they open from:
// when that item's menu still shows, its "ShowMenu" closes it with every
// submenu. Items of other toolkits (whose menus close by themselves) and of a
// context menu (no bar above) are left alone.
void AtspiAccessibility::closeMenusAbove(AtspiAccessible* item) {
    AtspiReader& r = *reader();
    AccessiblePtr node = adoptAccessible(ATSPI_ACCESSIBLE(g_object_ref(item)));
    for (int level = 0; level < MENU_NESTING_LIMIT; ++level) {
        auto menu = r.parent(node.get());
        if (!menu) return;
        if (auto menuRole = r.role(menu->get()); !menuRole || *menuRole != ATSPI_ROLE_POPUP_MENU) return;
        auto opener = r.parent(menu->get());
        if (!opener) return;
        if (auto openerRole = r.role(opener->get()); !openerRole || !isMenuItemRole(*openerRole)) return;
        auto bar = r.parent(opener->get());
        auto barRole = bar ? r.role(bar->get()) : std::expected<AtspiRole, Status>(std::unexpected(kNoValue));
        if (barRole && *barRole == ATSPI_ROLE_MENU_BAR) {
            auto states = r.states(menu->get());
            if (!states || !states->has(ATSPI_STATE_SHOWING)) return;
            auto names = r.actionNames(opener->get());
            if (!names) return;
            auto show = std::ranges::find(*names, QT_SHOW_MENU_ACTION);
            if (show != names->end()) (void)r.doAction(opener->get(), static_cast<int>(show - names->begin()));
            return;
        }
        node = std::move(*opener);
    }
}

void AtspiAccessibility::setMessagingTimeout(const Element&, std::chrono::duration<double> timeout) {
    if (AtspiReader* r = reader()) {
        r->setTimeout(std::chrono::duration_cast<std::chrono::milliseconds>(timeout));
    }
}

}  // namespace kest::platform::linux_desktop
