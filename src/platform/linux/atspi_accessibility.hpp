// The Accessibility service over AT-SPI2: AX attribute names read and
// written, actions performed, on elements that wrap AT-SPI objects; windows
// are matched to their X windows for the window-manager attributes.
//
// Ownership: owns the AT-SPI reader and an X connection, both opened on first
// use. Threading: the request thread only (libatspi and the connection are
// not free-threaded; the dispatch lock serialises callers).
//
// Menus come out in one shape whatever the toolkit (the shape the menu logic
// walks): a menu-bar item or submenu item whose only child is an AXMenu, and
// that AXMenu's children the items. GTK 3's menus are items with a virtual
// AXMenu child; Qt's menu items hold their pop-up menu; GTK 4's hold the
// pop-over while it is open, its items deep inside boxes, brought up to it.
// A window answers AXCloseButton and AXZoomButton with virtual elements whose
// AXPress sends the window-manager request.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/accessibility.hpp"
#include "platform/linux/atspi_prefetch.hpp"
#include "platform/linux/atspi_reader.hpp"
#include "platform/linux/x11_windows.hpp"

namespace kest::platform::linux_desktop {

class AtspiElement final : public ElementHandle {
public:
    enum class Kind { accessible, application, menu, closeButton, zoomButton };

    AtspiElement(Kind kind, AccessiblePtr object, int pid = 0) : kind(kind), object(std::move(object)), pid(pid) {}

    Kind kind;
    // The AT-SPI object: the element itself; for a virtual menu the real menu
    // whose items it holds; for window buttons the window. Empty for an
    // application, which is found again by pid on every call (it may register
    // after the handle was made).
    AccessiblePtr object;
    int pid = 0;
};

class AtspiAccessibility final : public Accessibility {
public:
    bool isProcessTrusted() override;
    Element applicationElement(std::int32_t pid) override;
    AttributeResult attribute(const Element& element, std::string_view name) override;
    Status setAttribute(const Element& element, std::string_view name, const Value& value) override;
    Status performAction(const Element& element, std::string_view action) override;
    // libatspi has one timeout for every call: the last one set applies.
    void setMessagingTimeout(const Element& element, std::chrono::duration<double> timeout) override;
    // Fetches the tree below `root` in bulk and answers the reader's calls
    // from that copy while the session lives (atspi_prefetch.hpp).
    std::unique_ptr<TreeReadSession> beginTreeRead(const Element& root, const TreeWalkBounds& bounds = {}) override;

private:
    using Reader = AttributeResult (AtspiAccessibility::*)(const AtspiElement&);
    struct AttributeEntry {
        std::string_view name;
        Reader read;
    };
    static const AttributeEntry ATTRIBUTE_TABLE[];

    AtspiReader* reader();
    EwmhWindows* windows();
    // The object calls go to: the application's for an application element.
    AccessiblePtr target(const AtspiElement& element);
    Element wrap(AccessiblePtr object);
    std::vector<AccessiblePtr> topLevels(AtspiAccessible* application);
    std::vector<AccessiblePtr> windowsFrontFirst(AtspiAccessible* application);
    std::optional<X11WindowInfo> xWindowOf(AtspiAccessible* window);
    std::optional<X11WindowInfo> findXWindow(AtspiAccessible* window);
    bool isWindow(AtspiAccessible* object);
    // Extents in screen coordinates, whatever the toolkit reports (see the
    // definition).
    std::expected<Rect, Status> screenExtents(AtspiAccessible* object);
    // Whether the element's application is GTK 4; `gtk4Applications_`
    // remembers the answer by bus name.
    bool isGtk4Application(AtspiAccessible* object);
    std::map<std::string, bool> gtk4Applications_;
    // The items of a menu: its menu items, separators and submenus, found
    // below whatever boxes hold them, in tree order.
    std::vector<AccessiblePtr> menuItemsBelow(AtspiAccessible* menu);
    void collectMenuItems(AtspiAccessible* node, int depth, std::size_t& visited, std::vector<AccessiblePtr>& items);
    // AXPress on a menu item (see the definition).
    Status pressMenuItem(AtspiAccessible* item);
    void closeMenusAbove(AtspiAccessible* item);

    AttributeResult role(const AtspiElement& element);
    AttributeResult title(const AtspiElement& element);
    AttributeResult description(const AtspiElement& element);
    AttributeResult value(const AtspiElement& element);
    Status setComboValue(AtspiAccessible* combo, const std::string& text);
    AttributeResult enabled(const AtspiElement& element);
    AttributeResult focused(const AtspiElement& element);
    AttributeResult position(const AtspiElement& element);
    AttributeResult size(const AtspiElement& element);
    AttributeResult children(const AtspiElement& element);
    AttributeResult windowList(const AtspiElement& element);
    AttributeResult focusedWindow(const AtspiElement& element);
    AttributeResult menuBar(const AtspiElement& element);
    AttributeResult absent(const AtspiElement& element);
    AttributeResult minimized(const AtspiElement& element);
    AttributeResult fullScreen(const AtspiElement& element);
    AttributeResult modal(const AtspiElement& element);
    AttributeResult closeButton(const AtspiElement& element);
    AttributeResult zoomButton(const AtspiElement& element);
    AttributeResult defaultButton(const AtspiElement& element);

    std::unique_ptr<AtspiReader> reader_;
    std::unique_ptr<AtspiPrefetcher> prefetcher_;
    std::unique_ptr<X11Connection> connection_;
    std::unique_ptr<EwmhWindows> windows_;
    // While a tree read is open: the X window found for each top level, by
    // bus name and object path, so that a window's several window-manager
    // attributes cost one look at the window list.
    class TreeRead;
    std::optional<std::map<std::string, std::optional<X11WindowInfo>>> xWindows_;
};

}  // namespace kest::platform::linux_desktop
