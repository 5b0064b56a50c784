// Fetching a window's accessibility tree in bulk over D-Bus, and answering
// reader calls from that copy.
#include "platform/linux/atspi_prefetch.hpp"

#include <glib.h>

#include <algorithm>
#include <climits>
#include <limits>
#include <functional>
#include <map>
#include <set>
#include <string_view>
#include <tuple>
#include <utility>

// libatspi's own constructor of an object from a D-Bus (so) reference: it
// finds or makes the object in its application's table, as it does for the
// objects of any answer. Exported by the library, not declared in its headers.
extern "C" AtspiAccessible* _atspi_dbus_consume_accessible(DBusMessageIter* iter);

namespace kest::platform::linux_desktop {

using namespace StatusCode;

// Everything known about one node. Facts that could not be fetched stay empty.
struct AtspiPrefetch::Node {
    AtspiRole role = ATSPI_ROLE_INVALID;
    std::string name;
    std::optional<std::string> description;  // fetched where a reader will want it
    std::uint64_t states = 0;
    int childCount = 0;
    bool countListed = false;  // childCount is the cache's
    int indexInParent = -1;
    std::string listedParent;  // as the application's cache lists it
    bool component = false;
    bool textInterface = false;
    bool valueInterface = false;
    bool selectionInterface = false;
    bool incomplete = false;  // some of the facts above could not be read
    bool factsKnown = false;  // role, name, states and interfaces (and child count, from the cache)

    std::optional<std::vector<std::string>> children;  // object paths, once known
    std::vector<Node*> childNodes;                      // the same nodes
    std::vector<Node*> listedChildNodes;                // as the cache lists them, in order
    Node* walkParent = nullptr;                         // the first node found to hold it
    // Where the walk that reads the copy meets the node, as far as the tree
    // is known at the latest placing (when `placed` is its number): one more
    // than the elements it counts before it, and the depth below the root's
    // children.
    std::size_t position = 0;
    std::int64_t depth = 0;
    unsigned placed = 0;
    std::string parent;                                 // in the walk from the root; empty for the root
    AccessiblePtr handle;
    std::optional<std::expected<Rect, Status>> extents;
    std::optional<std::string> text;
    std::optional<double> currentValue;
    std::optional<std::expected<std::string, Status>> selectedChild;  // object path; the null path: none
};

namespace {

constexpr const char* ACCESSIBLE_INTERFACE = "org.a11y.atspi.Accessible";
constexpr const char* PROPERTIES_INTERFACE = "org.freedesktop.DBus.Properties";
constexpr const char* CACHE_PATH = "/org/a11y/atspi/cache";
constexpr const char* APPLICATION_ROOT_PATH = "/org/a11y/atspi/accessible/root";
// Beyond this many nodes the rest of a huge tree (a long table) is read one by
// one if a walk ever gets there; a snapshot stops at 500 elements.
constexpr std::size_t MAX_NODES = 3000;

// GTK 3 answers GetExtents of a widget that is not on screen or not drawn
// with x = y = G_MININT, without asking the X server anything; every widget
// that is not both on screen and mapped lacks SHOWING. Such a read is known
// from the states alone. Only roles that GTK 3 gives plain widgets qualify:
// windows, table cells, notebook tabs and icons (entry icons, icon view
// items) measure themselves differently, and other roles may belong to
// objects that are not widgets.
constexpr AtspiRole GTK3_WIDGET_ROLES[] = {
    ATSPI_ROLE_PUSH_BUTTON, ATSPI_ROLE_TOGGLE_BUTTON, ATSPI_ROLE_CHECK_BOX,     ATSPI_ROLE_RADIO_BUTTON,
    ATSPI_ROLE_LABEL,       ATSPI_ROLE_PANEL,         ATSPI_ROLE_FILLER,       ATSPI_ROLE_SEPARATOR,
    ATSPI_ROLE_SCROLL_BAR,  ATSPI_ROLE_SCROLL_PANE,   ATSPI_ROLE_VIEWPORT,     ATSPI_ROLE_SLIDER,
    ATSPI_ROLE_SPIN_BUTTON, ATSPI_ROLE_TEXT,          ATSPI_ROLE_ENTRY,        ATSPI_ROLE_PASSWORD_TEXT,
    ATSPI_ROLE_COMBO_BOX,   ATSPI_ROLE_MENU,          ATSPI_ROLE_MENU_ITEM,    ATSPI_ROLE_CHECK_MENU_ITEM,
    ATSPI_ROLE_RADIO_MENU_ITEM, ATSPI_ROLE_MENU_BAR,  ATSPI_ROLE_TOOL_BAR,     ATSPI_ROLE_SPLIT_PANE,
    ATSPI_ROLE_PAGE_TAB_LIST,   ATSPI_ROLE_PROGRESS_BAR, ATSPI_ROLE_LEVEL_BAR, ATSPI_ROLE_LIST_BOX,
    ATSPI_ROLE_TREE_TABLE,  ATSPI_ROLE_TABLE,         ATSPI_ROLE_STATUS_BAR,   ATSPI_ROLE_CALENDAR,
    ATSPI_ROLE_DRAWING_AREA, ATSPI_ROLE_POPUP_MENU,   ATSPI_ROLE_COLOR_CHOOSER,
};

bool isGtk3(std::string_view toolkit, std::string_view version) {
    return (toolkit == "gtk" || toolkit == "GTK") && version.starts_with("3.");
}

// GTK 4 makes the accessible objects of a widget's children as they are
// first asked for and lists them in its cache from then on, each under the
// parent and at the index GetChildAtIndex finds it at (stack pages among
// them), with the count ChildCount answers. GetChildren leaves the stack pages
// out, so its children are asked by index.
bool isGtk4(std::string_view toolkit, std::string_view version) {
    return (toolkit == "gtk" || toolkit == "GTK") && version.starts_with("4.");
}

bool extentsKnownFromStates(AtspiRole role, std::uint64_t states) {
    const bool showing = states & (std::uint64_t{1} << ATSPI_STATE_SHOWING);
    return !showing && std::ranges::find(GTK3_WIDGET_ROLES, role) != std::end(GTK3_WIDGET_ROLES);
}

std::string basicString(DBusMessageIter* it) {
    const char* text = nullptr;
    dbus_message_iter_get_basic(it, &text);
    return text ? text : "";
}

template <class T>
T basic(DBusMessageIter* it) {
    T value{};
    dbus_message_iter_get_basic(it, &value);
    return value;
}

// The iterator over the first argument of a reply whose signature was checked.
DBusMessageIter arguments(DBusMessage* reply) {
    DBusMessageIter it;
    dbus_message_iter_init(reply, &it);
    return it;
}

// (so) -> its object path, or "" when the bus name is not `busName`.
std::string pathIn(DBusMessageIter* reference, const std::string& busName) {
    DBusMessageIter fields;
    dbus_message_iter_recurse(reference, &fields);
    if (basicString(&fields) != busName) return {};
    dbus_message_iter_next(&fields);
    return basicString(&fields);
}

// au -> the state bits, two words of 32.
std::uint64_t stateBits(DBusMessageIter* array) {
    std::uint64_t bits = 0;
    DBusMessageIter words;
    dbus_message_iter_recurse(array, &words);
    for (int i = 0; i < 2 && dbus_message_iter_get_arg_type(&words) == DBUS_TYPE_UINT32; ++i) {
        bits |= static_cast<std::uint64_t>(basic<dbus_uint32_t>(&words)) << (32 * i);
        dbus_message_iter_next(&words);
    }
    return bits;
}

// as -> which of the interfaces a fetch reads the node has.
void setInterfaces(AtspiPrefetch::Node& node, DBusMessageIter* array) {
    DBusMessageIter names;
    dbus_message_iter_recurse(array, &names);
    for (; dbus_message_iter_get_arg_type(&names) == DBUS_TYPE_STRING; dbus_message_iter_next(&names)) {
        const char* name = nullptr;
        dbus_message_iter_get_basic(&names, &name);
        const std::string_view interface = name ? name : "";
        if (interface == "org.a11y.atspi.Component") node.component = true;
        if (interface == "org.a11y.atspi.Text") node.textInterface = true;
        if (interface == "org.a11y.atspi.Value") node.valueInterface = true;
        if (interface == "org.a11y.atspi.Selection") node.selectionInterface = true;
    }
}

// A method call with the given (type, pointer) argument pairs; null when it
// cannot be made.
template <class... Args>
DBusMessagePtr methodCall(const std::string& destination, const std::string& path, const char* interface,
                          const char* method, Args... args) {
    DBusMessagePtr message = newMethodCall(destination, path, interface, method);
    if constexpr (sizeof...(Args) > 0) {
        if (message && !dbus_message_append_args(message.get(), args..., DBUS_TYPE_INVALID)) message.reset();
    }
    return message;
}

// Properties.Get: the handler gets the iterator inside the variant, or null.
void getProperty(DBusCallQueue& queue, const std::string& destination, const std::string& path, const char* interface,
                 const char* property, std::function<void(DBusMessageIter*)> handler) {
    queue.send(methodCall(destination, path, PROPERTIES_INTERFACE, "Get", DBUS_TYPE_STRING, &interface,
                          DBUS_TYPE_STRING, &property),
               "v", [handler = std::move(handler)](DBusMessage* reply) {
                   if (!reply) return handler(nullptr);
                   DBusMessageIter it = arguments(reply);
                   DBusMessageIter inner;
                   dbus_message_iter_recurse(&it, &inner);
                   handler(&inner);
               });
}

std::string objectPath(AtspiAccessible* element) {
    auto* object = reinterpret_cast<AtspiObject*>(element);
    return object && object->path ? object->path : "";
}

std::string busNameOf(AtspiAccessible* element) {
    auto* object = reinterpret_cast<AtspiObject*>(element);
    return object && object->app && object->app->bus_name ? object->app->bus_name : "";
}

class PrefetchSession final : public TreeReadSession {
public:
    PrefetchSession(AtspiReader& reader, std::unique_ptr<AtspiPrefetch> prefetch)
        : reader_(reader), prefetch_(std::move(prefetch)) {
        reader_.setPrefetch(prefetch_.get());
    }
    ~PrefetchSession() override { reader_.setPrefetch(nullptr); }

private:
    AtspiReader& reader_;
    std::unique_ptr<AtspiPrefetch> prefetch_;
};

}  // namespace

AtspiPrefetch::AtspiPrefetch() = default;
AtspiPrefetch::~AtspiPrefetch() = default;

const AtspiPrefetch::Node* AtspiPrefetch::find(AtspiAccessible* element) const {
    // The copy's own handles (what a walk passes back) first; another object
    // for the same path is found by its path.
    if (auto known = byHandle_.find(element); known != byHandle_.end()) return known->second;
    auto it = nodes_.find(objectPath(element));
    return it == nodes_.end() ? nullptr : it->second.get();
}

template <class T, class Get>
AtspiPrefetch::Lookup<T> AtspiPrefetch::lookup(AtspiAccessible* element, Get get) const {
    if (!element) return std::nullopt;
    auto* object = reinterpret_cast<AtspiObject*>(element);
    const char* busName = object->app ? object->app->bus_name : nullptr;
    if (!busName || busName_ != busName) return std::nullopt;
    if (unresponsive_) return std::expected<T, Status>(std::unexpected(kCannotComplete));
    const Node* node = find(element);
    if (!node) return std::nullopt;
    return get(*node);
}

AtspiPrefetch::Lookup<AtspiRole> AtspiPrefetch::role(AtspiAccessible* element) const {
    return lookup<AtspiRole>(element, [](const Node& n) -> Lookup<AtspiRole> {
        if (n.role == ATSPI_ROLE_INVALID) return std::unexpected(kInvalidElement);
        return n.role;
    });
}

AtspiPrefetch::Lookup<std::string> AtspiPrefetch::name(AtspiAccessible* element) const {
    return lookup<std::string>(element, [](const Node& n) -> Lookup<std::string> { return n.name; });
}

AtspiPrefetch::Lookup<std::string> AtspiPrefetch::description(AtspiAccessible* element) const {
    return lookup<std::string>(element, [](const Node& n) -> Lookup<std::string> {
        if (!n.description) return std::nullopt;
        return *n.description;
    });
}

AtspiPrefetch::Lookup<StateSet> AtspiPrefetch::states(AtspiAccessible* element) const {
    return lookup<StateSet>(element, [](const Node& n) -> Lookup<StateSet> {
        StateSet set(n.states);
        if (set.has(ATSPI_STATE_DEFUNCT)) return std::unexpected(kInvalidElement);
        return set;
    });
}

AtspiPrefetch::Lookup<int> AtspiPrefetch::childCount(AtspiAccessible* element) const {
    return lookup<int>(element, [](const Node& n) -> Lookup<int> {
        if (!n.children) return std::nullopt;
        return static_cast<int>(n.children->size());
    });
}

AtspiPrefetch::Lookup<std::vector<AccessiblePtr>> AtspiPrefetch::children(AtspiAccessible* element) const {
    return lookup<std::vector<AccessiblePtr>>(element, [this](const Node& n) -> Lookup<std::vector<AccessiblePtr>> {
        if (!n.children) return std::nullopt;
        std::vector<AccessiblePtr> handles;
        handles.reserve(n.children->size());
        for (const auto& path : *n.children) {
            auto it = nodes_.find(path);
            if (it == nodes_.end() || !it->second->handle) return std::nullopt;
            handles.push_back(it->second->handle);
        }
        return handles;
    });
}

AtspiPrefetch::Lookup<AccessiblePtr> AtspiPrefetch::parent(AtspiAccessible* element) const {
    return lookup<AccessiblePtr>(element, [this](const Node& n) -> Lookup<AccessiblePtr> {
        if (n.parent.empty()) {  // the root
            if (!rootParent_) return std::nullopt;
            return rootParent_;
        }
        auto it = nodes_.find(n.parent);
        if (it == nodes_.end() || !it->second->handle) return std::nullopt;
        return it->second->handle;
    });
}

AtspiPrefetch::Lookup<Rect> AtspiPrefetch::extents(AtspiAccessible* element) const {
    return lookup<Rect>(element, [](const Node& n) -> Lookup<Rect> {
        if (!n.component) return std::unexpected(kAttributeUnsupported);
        return n.extents;
    });
}

AtspiPrefetch::Lookup<std::string> AtspiPrefetch::text(AtspiAccessible* element) const {
    return lookup<std::string>(element, [](const Node& n) -> Lookup<std::string> {
        if (!n.textInterface) return std::unexpected(kAttributeUnsupported);
        if (!n.text) return std::nullopt;
        return *n.text;
    });
}

AtspiPrefetch::Lookup<double> AtspiPrefetch::currentValue(AtspiAccessible* element) const {
    return lookup<double>(element, [](const Node& n) -> Lookup<double> {
        if (!n.valueInterface) return std::unexpected(kAttributeUnsupported);
        if (!n.currentValue) return std::nullopt;
        return *n.currentValue;
    });
}

AtspiPrefetch::Lookup<AccessiblePtr> AtspiPrefetch::selectedChild(AtspiAccessible* element) const {
    return lookup<AccessiblePtr>(element, [this](const Node& n) -> Lookup<AccessiblePtr> {
        if (!n.selectionInterface) return std::unexpected(kAttributeUnsupported);
        if (!n.selectedChild) return std::nullopt;
        if (!*n.selectedChild) return std::unexpected(n.selectedChild->error());
        if (**n.selectedChild == ATSPI_DBUS_PATH_NULL) return AccessiblePtr();
        auto it = selected_.find(**n.selectedChild);
        if (it == selected_.end() || !it->second) return std::nullopt;
        return it->second;
    });
}

AtspiPrefetcher::AtspiPrefetcher(std::chrono::milliseconds timeout) : timeout_(timeout) {}
AtspiPrefetcher::~AtspiPrefetcher() = default;

DBusConnection* AtspiPrefetcher::peerConnection(const std::string& busName, bool& timedOut) {
    // Unique bus names are never reused: a closed connection's application is
    // gone, and its connection is let go.
    for (auto& [name, peer] : peers_) discardUnclaimed(peer.get());
    std::erase_if(peers_, [](const auto& entry) { return entry.second && !dbus_connection_get_is_connected(entry.second.get()); });
    if (auto known = peers_.find(busName); known != peers_.end()) return known->second.get();
    DBusPrivateConnectionPtr& peer = peers_[busName];
    DBusConnection* bus = atspi_get_a11y_bus();
    if (!bus) return nullptr;
    DBusMessagePtr ask = methodCall(busName, APPLICATION_ROOT_PATH, "org.a11y.atspi.Application", "GetApplicationBusAddress");
    DBusMessagePtr reply = callAndWait(bus, ask.get(), "s", timeout_, &timedOut);
    if (timedOut) peers_.erase(busName);  // asked again once it answers
    if (!reply) return nullptr;
    DBusMessageIter it = arguments(reply.get());
    const std::string address = basicString(&it);
    if (address.empty()) return nullptr;
    DBusError error;
    dbus_error_init(&error);
    peer.reset(dbus_connection_open_private(address.c_str(), &error));
    dbus_error_free(&error);
    if (peer) dbus_connection_set_exit_on_disconnect(peer.get(), FALSE);
    return peer.get();
}

std::unique_ptr<AtspiPrefetch> AtspiPrefetcher::fetch(const AccessiblePtr& root, const AtspiFetchPlan& plan) {
    using Node = AtspiPrefetch::Node;
    const std::string busName = busNameOf(root.get());
    const std::string rootPath = objectPath(root.get());
    if (busName.empty() || rootPath.empty()) return nullptr;
    auto prefetch = std::unique_ptr<AtspiPrefetch>(new AtspiPrefetch());
    prefetch->busName_ = busName;
    auto& nodes = prefetch->nodes_;

    // Calls on a direct connection skip the bus daemon's hop; the bus name is
    // then only the key that tells this application's objects from others'.
    std::string destination;
    bool timedOut = false;
    DBusConnection* connection = peerConnection(busName, timedOut);
    if (timedOut) {
        prefetch->unresponsive_ = true;
        return prefetch;
    }
    if (!connection) {
        connection = atspi_get_a11y_bus();
        destination = busName;
    }
    if (!connection) return nullptr;

    // 1. Every announced node, and the toolkit.
    std::string toolkit;
    std::string toolkitVersion;
    std::string rootParentPath;  // empty: not known, or another application's
    bool listedAll = false;
    {
        DBusCallQueue queue(connection, timeout_);
        queue.send(methodCall(destination, CACHE_PATH, "org.a11y.atspi.Cache", "GetItems"), "a((so)(so)(so)iiassusau)",
                   [&](DBusMessage* reply) {
                       if (!reply) return;
                       listedAll = true;
                       DBusMessageIter list = arguments(reply);
                       DBusMessageIter item;
                       for (dbus_message_iter_recurse(&list, &item); dbus_message_iter_get_arg_type(&item) == DBUS_TYPE_STRUCT;
                            dbus_message_iter_next(&item)) {
                           DBusMessageIter field;
                           dbus_message_iter_recurse(&item, &field);
                           std::string path = pathIn(&field, busName);
                           if (path.empty()) continue;
                           auto node = std::make_unique<Node>();
                           dbus_message_iter_next(&field);  // the application
                           dbus_message_iter_next(&field);
                           node->listedParent = pathIn(&field, busName);
                           dbus_message_iter_next(&field);
                           node->indexInParent = basic<dbus_int32_t>(&field);
                           dbus_message_iter_next(&field);
                           node->childCount = basic<dbus_int32_t>(&field);
                           node->countListed = true;
                           dbus_message_iter_next(&field);
                           setInterfaces(*node, &field);
                           dbus_message_iter_next(&field);
                           node->name = basicString(&field);
                           dbus_message_iter_next(&field);
                           node->role = static_cast<AtspiRole>(basic<dbus_uint32_t>(&field));
                           dbus_message_iter_next(&field);
                           node->description = basicString(&field);
                           dbus_message_iter_next(&field);
                           node->states = stateBits(&field);
                           node->factsKnown = true;
                           nodes[path] = std::move(node);
                       }
                   });
        // The root's parent (the application, for a window): a reader that
        // climbs to the top level asks it of every element.
        getProperty(queue, destination, rootPath, ACCESSIBLE_INTERFACE, "Parent", [&](DBusMessageIter* v) {
            if (v && dbus_message_iter_get_arg_type(v) == DBUS_TYPE_STRUCT) rootParentPath = pathIn(v, busName);
        });
        for (auto [property, out] : {std::pair{"ToolkitName", &toolkit}, std::pair{"Version", &toolkitVersion}}) {
            getProperty(queue, destination, APPLICATION_ROOT_PATH, "org.a11y.atspi.Application", property,
                        [out = out](DBusMessageIter* v) {  // an init-capture: clang 14 captures no structured binding
                            if (v && dbus_message_iter_get_arg_type(v) == DBUS_TYPE_STRING) *out = basicString(v);
                        });
        }
        queue.collect();
        if (queue.timedOut()) {
            prefetch->unresponsive_ = true;
            return prefetch;
        }
    }
    // Qt 5 answers GetItems with an empty list, and a toolkit without the
    // cache may refuse it: the window is then fetched node by node from the
    // root down, still without waiting for each answer.
    (void)listedAll;
    if (!nodes.contains(rootPath)) nodes[rootPath] = std::make_unique<Node>();

    // 2. The walk down from the root, each call sent as soon as the walk knows
    // it is needed rather than round by round, so that the application never
    // waits for this side: the extents, text and value of every node reached;
    // GetChildren where the listed children do not add up to the child count
    // (a table's cells, a popover listed under another parent); and the plain
    // facts of nodes the cache did not list. Calls that tell the walk where to
    // go are sent ahead of those that only fill in values. Where GetChildren
    // is asked, the listed children are read meanwhile: they are usually among
    // the real ones, and step 3 keeps only what the replies put in the tree.
    std::map<std::string, std::vector<std::pair<int, std::string>>> listed;
    for (const auto& [path, node] : nodes) {
        if (!node->listedParent.empty()) listed[node->listedParent].emplace_back(node->indexInParent, path);
    }
    for (auto& [parent, kids] : listed) {
        std::ranges::sort(kids);
        if (auto it = nodes.find(parent); it != nodes.end()) {
            for (const auto& kid : kids) it->second->listedChildNodes.push_back(nodes.at(kid.second).get());
        }
    }

    const bool widgetExtentsFromStates = isGtk3(toolkit, toolkitVersion);
    const bool gtk4 = isGtk4(toolkit, toolkitVersion);
    std::set<std::string> seen;
    std::vector<std::string> needChildren;  // listed children do not add up
    std::vector<std::string> needFacts;     // not listed by the cache
    std::vector<std::string> needValues;    // facts known: extents, text and value to fetch
    std::function<void(const std::string&)> reach;
    std::size_t changes = 1;  // to the tree since it was last placed
    auto setChildren = [&](Node& node, std::vector<std::string> paths) {
        node.childNodes.clear();
        for (const auto& child : paths) {
            auto& slot = nodes[child];
            if (!slot) slot = std::make_unique<Node>();  // facts unknown: fetched as it is reached
            if (!slot->walkParent) slot->walkParent = &node;
            node.childNodes.push_back(slot.get());
        }
        node.children = std::move(paths);
        ++changes;
    };
    // A node whose facts are known: its values, and what is below it.
    auto expand = [&](const std::string& path) {
        Node& node = *nodes.at(path);
        needValues.push_back(path);
        auto it = listed.find(path);
        const std::size_t listedCount = it == listed.end() ? 0 : it->second.size();
        bool consistent = node.childCount >= 0 &&
                          listedCount == static_cast<std::size_t>(node.childCount);
        for (std::size_t i = 0; consistent && i < listedCount; ++i) consistent = it->second[i].first == static_cast<int>(i);
        if (consistent) {
            std::vector<std::string> paths;
            for (std::size_t i = 0; i < listedCount; ++i) paths.push_back(it->second[i].second);
            setChildren(node, std::move(paths));
        } else {
            needChildren.push_back(path);
        }
        for (std::size_t i = 0; i < listedCount; ++i) reach(it->second[i].second);
    };
    reach = [&](const std::string& path) {
        if (seen.size() >= MAX_NODES || !seen.insert(path).second) return;
        auto it = nodes.find(path);
        if (it == nodes.end()) return;
        if (it->second->factsKnown) expand(path);
        else needFacts.push_back(path);
    };

    // Only what the walk will read is fetched: a node's facts and values, and
    // its children, once it stands within the walk's bounds. Its place is
    // found depth first over the children known so far (the cache's listing
    // where the real children are not in yet), counting only nodes whose
    // facts are known below nodes that count: those the walk is sure to
    // count. More knowledge only moves a node later, save where the listing
    // put nodes that are not real children; so the calls held back are looked
    // at again on the real tree once the answers are in.
    const TreeWalkBounds& bounds = plan.bounds;
    const bool bounded = bounds.elements != TreeWalkBounds{}.elements || bounds.depth != TreeWalkBounds{}.depth;
    Node* const rootNode = nodes.at(rootPath).get();
    unsigned placing = 0;
    std::size_t placedNodes = 0;  // how many the latest placing reached
    std::vector<std::tuple<Node*, std::int64_t, bool>> toPlace;
    auto place = [&](bool realChildrenOnly) {
        ++placing;
        placedNodes = 0;
        changes = 0;
        std::size_t counted = 0;
        rootNode->placed = placing;
        auto push = [&](const Node& parent, std::int64_t depth, bool counts) {
            const auto& kids = parent.children || realChildrenOnly ? parent.childNodes : parent.listedChildNodes;
            for (auto it = kids.rbegin(); it != kids.rend(); ++it) toPlace.emplace_back(*it, depth, counts);
        };
        toPlace.clear();
        push(*rootNode, 0, true);
        while (!toPlace.empty()) {
            auto [node, depth, counts] = toPlace.back();
            toPlace.pop_back();
            if (node->placed == placing) continue;  // listed under two parents
            node->placed = placing;
            ++placedNodes;
            node->position = counted + 1;
            node->depth = depth;
            const bool countsHere = counts && node->factsKnown && depth < bounds.depth;
            if (countsHere) ++counted;
            if (depth + 1 < bounds.depth) push(*node, depth + 1, countsHere);
        }
    };
    // Whether the walk reads the node, and whether it reads its children. The
    // tree is placed again only once it has grown by an eighth, so that a
    // fetch node by node (Qt's) does not place it once per node; a node that
    // came in meanwhile is taken to come right after its parent, which is as
    // early as it can come.
    auto readHere = [&](const Node& node) {
        if (!bounded || &node == rootNode) return true;
        if (node.placed == placing) return node.position <= bounds.elements && node.depth < bounds.depth;
        const Node* parent = node.walkParent;
        if (!parent || (parent != rootNode && parent->placed != placing)) return false;
        const std::size_t position = parent == rootNode ? 1 : parent->position + (parent->factsKnown ? 1 : 0);
        const std::int64_t depth = parent == rootNode ? 0 : parent->depth + 1;
        return position <= bounds.elements && depth < bounds.depth;
    };
    auto walkedBelow = [&](const Node& node) {
        if (!bounded) return true;
        if (&node == rootNode) return bounds.depth > 0;
        if (!readHere(node)) return false;
        if (node.placed == placing) return node.depth + 1 < bounds.depth;
        return node.walkParent == rootNode ? bounds.depth > 1 : node.walkParent->depth + 2 < bounds.depth;
    };
    std::vector<std::string> heldChildren;
    std::vector<std::string> heldFacts;
    std::vector<std::string> heldValues;

    {
        DBusCallQueue queue(connection, timeout_);
        std::function<void()> flush;
        // The children as the reply lists them, once every one is known.
        auto takeChildren = [&](Node* node, std::vector<std::string> paths) {
            setChildren(*node, std::move(paths));
            for (const auto& child : *node->children) reach(child);
            flush();
        };
        // GTK 4's GetChildren leaves out the pages of a stack, which its
        // ChildCount and GetChildAtIndex count: there the children are asked
        // one index at a time, all at once, as one-at-a-time reads ask them.
        // The count is the cache's where it listed the node: GTK 4 fills that
        // field with the very count ChildCount answers, so the children are
        // asked without waiting for it.
        auto askChildrenByIndex = [&](Node* node, const std::string& path, int count) {
            if (count <= 0) return takeChildren(node, {});
            struct Gathered {
                std::vector<std::string> paths;
                int pending = 0;
                bool failed = false;
            };
            auto gathered = std::make_shared<Gathered>();
            gathered->paths.resize(static_cast<std::size_t>(count));
            gathered->pending = count;
            for (dbus_int32_t i = 0; i < count; ++i) {
                queue.send(methodCall(destination, path, ACCESSIBLE_INTERFACE, "GetChildAtIndex", DBUS_TYPE_INT32, &i),
                           "(so)", [&, node, gathered, i](DBusMessage* r) {
                               if (r) {
                                   DBusMessageIter ref = arguments(r);
                                   gathered->paths[static_cast<std::size_t>(i)] = pathIn(&ref, busName);
                               }
                               // No answer, or another application's object: read live.
                               if (gathered->paths[static_cast<std::size_t>(i)].empty()) gathered->failed = true;
                               if (--gathered->pending > 0 || gathered->failed) return;
                               takeChildren(node, std::move(gathered->paths));
                           });
            }
        };
        auto sendChildrenByIndex = [&](const std::string& path) {
            Node* node = nodes.at(path).get();
            if (node->countListed) {
                return askChildrenByIndex(node, path, std::min<int>(node->childCount, static_cast<int>(MAX_NODES)));
            }
            getProperty(queue, destination, path, ACCESSIBLE_INTERFACE, "ChildCount", [&, node, path](DBusMessageIter* v) {
                if (!v || dbus_message_iter_get_arg_type(v) != DBUS_TYPE_INT32) return;
                askChildrenByIndex(node, path, std::min<int>(basic<dbus_int32_t>(v), static_cast<int>(MAX_NODES)));
            });
        };
        auto sendChildren = [&](const std::string& path) {
            if (gtk4) return sendChildrenByIndex(path);
            Node* node = nodes.at(path).get();
            queue.send(methodCall(destination, path, ACCESSIBLE_INTERFACE, "GetChildren"), "a(so)", [&, node](DBusMessage* r) {
                if (!r) return;
                DBusMessageIter list = arguments(r);
                DBusMessageIter ref;
                std::vector<std::string> paths;
                for (dbus_message_iter_recurse(&list, &ref); dbus_message_iter_get_arg_type(&ref) == DBUS_TYPE_STRUCT;
                     dbus_message_iter_next(&ref)) {
                    std::string childPath = pathIn(&ref, busName);
                    if (childPath.empty()) return;  // another application's object: read it live
                    paths.push_back(std::move(childPath));
                }
                takeChildren(node, std::move(paths));
            });
        };
        // The facts of a node the cache did not list, and its children: the
        // children are asked at once rather than after a child count, so that
        // the walk goes down one level per round trip. Each property is asked
        // on its own: Qt 5 answers Properties.GetAll by aborting.
        auto sendFacts = [&](const std::string& path) {
            Node* node = nodes.at(path).get();
            node->role = ATSPI_ROLE_INVALID;
            auto pending = std::make_shared<int>(4);
            // After the last of the four answers: a node with all its facts is
            // walked on; one without them is read live.
            auto done = [&, node, path, pending] {
                if (--*pending > 0) return;
                if (node->incomplete || node->role == ATSPI_ROLE_INVALID) return;
                node->factsKnown = true;
                ++changes;
                needValues.push_back(path);
                flush();
            };
            if (walkedBelow(*node)) sendChildren(path);
            else heldChildren.push_back(path);
            queue.send(methodCall(destination, path, ACCESSIBLE_INTERFACE, "GetRole"), "u", [node, done](DBusMessage* r) {
                if (r) {
                    DBusMessageIter it = arguments(r);
                    node->role = static_cast<AtspiRole>(basic<dbus_uint32_t>(&it));
                }
                done();
            });
            // A label falls back to the description only where the name is
            // blank; elsewhere the description is left to a live read.
            getProperty(queue, destination, path, ACCESSIBLE_INTERFACE, "Name", [&, node, path, done](DBusMessageIter* v) {
                if (v && dbus_message_iter_get_arg_type(v) == DBUS_TYPE_STRING) {
                    node->name = basicString(v);
                    if (node->name.find_first_not_of(" \t\n\r\f\v") == std::string::npos) {
                        getProperty(queue, destination, path, ACCESSIBLE_INTERFACE, "Description",
                                    [node](DBusMessageIter* d) {
                                        if (d && dbus_message_iter_get_arg_type(d) == DBUS_TYPE_STRING) {
                                            node->description = basicString(d);
                                        }
                                    });
                    }
                } else {
                    node->incomplete = true;
                }
                done();
            });
            queue.send(methodCall(destination, path, ACCESSIBLE_INTERFACE, "GetState"), "au", [node, done](DBusMessage* r) {
                if (r) {
                    DBusMessageIter bits = arguments(r);
                    node->states = stateBits(&bits);
                } else {
                    node->incomplete = true;
                }
                done();
            });
            queue.send(methodCall(destination, path, ACCESSIBLE_INTERFACE, "GetInterfaces"), "as", [node, done](DBusMessage* r) {
                if (r) {
                    DBusMessageIter names = arguments(r);
                    setInterfaces(*node, &names);
                } else {
                    node->incomplete = true;
                }
                done();
            });
        };
        auto sendTextByCount = [&](Node* node, const std::string& path) {
            getProperty(queue, destination, path, "org.a11y.atspi.Text", "CharacterCount", [&, node, path](DBusMessageIter* v) {
                if (!v || dbus_message_iter_get_arg_type(v) != DBUS_TYPE_INT32) return;
                const dbus_int32_t count = basic<dbus_int32_t>(v);
                if (count <= 0) {
                    node->text.emplace();
                    return;
                }
                const dbus_int32_t start = 0;
                queue.send(methodCall(destination, path, "org.a11y.atspi.Text", "GetText", DBUS_TYPE_INT32, &start,
                                      DBUS_TYPE_INT32, &count),
                           "s", [node](DBusMessage* r) {
                               if (!r) return;
                               DBusMessageIter it = arguments(r);
                               node->text = basicString(&it);
                           });
            });
        };
        auto sendValues = [&](const std::string& path) {
            Node* node = nodes.at(path).get();
            if (node->component && widgetExtentsFromStates && path != rootPath &&
                extentsKnownFromStates(node->role, node->states)) {
                node->extents = std::unexpected(kNoValue);
            } else if (node->component) {
                const dbus_uint32_t screenCoordinates = 0;
                queue.send(methodCall(destination, path, "org.a11y.atspi.Component", "GetExtents", DBUS_TYPE_UINT32,
                                      &screenCoordinates),
                           "(iiii)", [node](DBusMessage* r) {
                               if (!r) return;
                               DBusMessageIter box = arguments(r);
                               DBusMessageIter field;
                               dbus_message_iter_recurse(&box, &field);
                               dbus_int32_t numbers[4] = {};
                               for (auto& number : numbers) {
                                   number = basic<dbus_int32_t>(&field);
                                   dbus_message_iter_next(&field);
                               }
                               const auto [x, y, width, height] = numbers;
                               if (x == G_MININT || y == G_MININT) {
                                   node->extents = std::unexpected(kNoValue);
                               } else {
                                   node->extents = Rect{static_cast<double>(x), static_cast<double>(y),
                                                        static_cast<double>(width), static_cast<double>(height)};
                               }
                           });
            }
            if (node->textInterface && (!plan.wantsText || plan.wantsText(node->role))) {
                // GTK 4 clamps the end offset to the text's length, and so
                // answers -1 ("to the end") with nothing and the largest offset
                // with the whole text, which a one-at-a-time read gets in three
                // calls (see AtspiReader::text).
                const dbus_int32_t start = 0;
                const dbus_int32_t end = gtk4 ? std::numeric_limits<dbus_int32_t>::max() : -1;
                queue.send(methodCall(destination, path, "org.a11y.atspi.Text", "GetText", DBUS_TYPE_INT32, &start,
                                      DBUS_TYPE_INT32, &end),
                           "s", [&, node, path](DBusMessage* r) {
                               if (!r) return;
                               DBusMessageIter it = arguments(r);
                               std::string text = basicString(&it);
                               if (!text.empty()) {
                                   node->text = std::move(text);
                                   return;
                               }
                               // An empty text is asked again up to its character
                               // count, as AtspiReader::text asks it.
                               sendTextByCount(node, path);
                           });
            }
            if (node->selectionInterface && plan.wantsSelection && plan.wantsSelection(node->role)) {
                const dbus_int32_t first = 0;
                queue.send(methodCall(destination, path, "org.a11y.atspi.Selection", "GetSelectedChild", DBUS_TYPE_INT32,
                                      &first),
                           "(so)",
                           [&, node](DBusMessage* r) {
                               if (!r) return;
                               DBusMessageIter ref = arguments(r);
                               DBusMessageIter fields;
                               dbus_message_iter_recurse(&ref, &fields);
                               dbus_message_iter_next(&fields);
                               std::string child = basicString(&fields);
                               // Another application's object is read live.
                               if (child == ATSPI_DBUS_PATH_NULL || !pathIn(&ref, busName).empty()) {
                                   node->selectedChild = std::move(child);
                               }
                           },
                           // A refusal (GTK 4's combo boxes refuse it) reads as
                           // libatspi reports it.
                           [node](const char* message) {
                               // libatspi's error domain; statusFromError reads the message.
                               GErrorPtr error(g_error_new_literal(g_quark_from_static_string("atspi_error"), 0, message));
                               node->selectedChild = std::unexpected(statusFromError(error.get()));
                           });
            }
            if (node->valueInterface && (!plan.wantsValue || plan.wantsValue(node->role))) {
                getProperty(queue, destination, path, "org.a11y.atspi.Value", "CurrentValue", [node](DBusMessageIter* v) {
                    if (v && dbus_message_iter_get_arg_type(v) == DBUS_TYPE_DOUBLE) node->currentValue = basic<double>(v);
                });
            }
        };
        flush = [&] {
            std::vector<std::string> parents = std::exchange(needChildren, {});
            std::vector<std::string> facts = std::exchange(needFacts, {});
            std::vector<std::string> values = std::exchange(needValues, {});
            if (queue.timedOut()) return;  // the application is stuck: nothing more is asked
            if (bounded && changes > 0 && changes >= placedNodes / 8 && (!parents.empty() || !facts.empty() || !values.empty())) {
                place(false);
            }
            for (const auto& path : parents) {
                if (walkedBelow(*nodes.at(path))) sendChildren(path);
                else heldChildren.push_back(path);
            }
            for (const auto& path : facts) {
                if (readHere(*nodes.at(path))) sendFacts(path);
                else heldFacts.push_back(path);
            }
            for (const auto& path : values) {
                if (readHere(*nodes.at(path))) sendValues(path);
                else heldValues.push_back(path);
            }
        };
        reach(rootPath);
        flush();
        queue.collect();
        // The calls held back for nodes that stand within the bounds on the
        // tree as the answers give it, until there are none.
        while (bounded && !queue.timedOut()) {
            place(true);
            auto release = [&](std::vector<std::string>& held, auto within) {
                auto out = std::partition(held.begin(), held.end(),
                                          [&](const std::string& path) { return !within(*nodes.at(path)); });
                std::vector<std::string> released(out, held.end());
                held.erase(out, held.end());
                return released;
            };
            const std::vector<std::string> parents = release(heldChildren, walkedBelow);
            const std::vector<std::string> facts = release(heldFacts, readHere);
            const std::vector<std::string> values = release(heldValues, readHere);
            if (parents.empty() && facts.empty() && values.empty()) break;
            for (const auto& path : parents) sendChildren(path);
            for (const auto& path : facts) sendFacts(path);
            for (const auto& path : values) sendValues(path);
            queue.collect();
        }
        if (queue.timedOut()) {
            prefetch->unresponsive_ = true;
            return prefetch;
        }
    }

    // 3. The tree as the replies give it. Nodes it does not hold are dropped,
    // so lookups stay within the window; so are nodes without their facts
    // (read live, with their parent's children).
    std::set<std::string> keep;
    std::function<void(const std::string&, const std::string&)> settle = [&](const std::string& path,
                                                                              const std::string& parent) {
        if (keep.size() >= MAX_NODES || !keep.insert(path).second) return;
        Node& node = *nodes.at(path);
        node.parent = parent;
        if (!node.children) return;
        for (const auto& child : *node.children) {
            auto it = nodes.find(child);
            if (it != nodes.end() && it->second->factsKnown) settle(child, path);
        }
    };
    settle(rootPath, {});
    std::erase_if(nodes, [&](const auto& entry) { return !keep.contains(entry.first); });

    // 4. Handles: the very objects libatspi hands out for one-at-a-time reads.
    // libatspi keeps every object it has made in its application's table, by
    // path; only when some node is not there yet (a first look at the window)
    // are new ones made.
    nodes.at(rootPath)->handle = root;
    auto* application = reinterpret_cast<AtspiObject*>(root.get())->app;
    bool missing = false;
    for (auto& [path, node] : nodes) {
        if (node->handle) continue;
        auto* known = application && application->hash
                          ? static_cast<AtspiAccessible*>(g_hash_table_lookup(application->hash, path.c_str()))
                          : nullptr;
        if (known) node->handle = adoptAccessible(ATSPI_ACCESSIBLE(g_object_ref(known)));
        else missing = true;
    }
    // The others are made the way libatspi makes the objects of a GetChildren
    // or GetMatches answer, from the (bus name, path) reference, and land in
    // the same table: no call to the application, which matters for Qt, whose
    // windows have no Collection interface to list them in one call. So is
    // the root's parent, as a live read of it makes it.
    DBusMessagePtr carrier(dbus_message_new_method_call(busName.c_str(), "/", ACCESSIBLE_INTERFACE, "GetChildren"));
    auto fromReference = [&](const std::string& path) -> AccessiblePtr {
        if (!carrier) return {};
        DBusMessagePtr message(dbus_message_copy(carrier.get()));
        if (!message) return {};
        DBusMessageIter out;
        DBusMessageIter reference;
        const char* name = busName.c_str();
        const char* objectPathText = path.c_str();
        dbus_message_iter_init_append(message.get(), &out);
        if (!dbus_message_iter_open_container(&out, DBUS_TYPE_STRUCT, nullptr, &reference) ||
            !dbus_message_iter_append_basic(&reference, DBUS_TYPE_STRING, &name) ||
            !dbus_message_iter_append_basic(&reference, DBUS_TYPE_OBJECT_PATH, &objectPathText) ||
            !dbus_message_iter_close_container(&out, &reference)) {
            return {};
        }
        DBusMessageIter in;
        dbus_message_iter_init(message.get(), &in);
        return adoptAccessible(_atspi_dbus_consume_accessible(&in));
    };
    if (missing) {
        for (auto& [path, node] : nodes) {
            if (!node->handle) node->handle = fromReference(path);
        }
    }
    for (const auto& [path, node] : nodes) {
        if (!node->selectedChild || !*node->selectedChild || **node->selectedChild == ATSPI_DBUS_PATH_NULL) continue;
        const std::string& child = **node->selectedChild;
        auto& handle = prefetch->selected_[child];
        if (handle) continue;
        auto known = nodes.find(child);
        handle = known != nodes.end() && known->second->handle ? known->second->handle : fromReference(child);
    }
    if (!rootParentPath.empty() && rootParentPath != ATSPI_DBUS_PATH_NULL) {
        prefetch->rootParent_ = fromReference(rootParentPath);
    }
    for (const auto& [path, node] : nodes) {
        if (node->handle) prefetch->byHandle_.emplace(node->handle.get(), node.get());
    }
    return prefetch;
}

std::unique_ptr<TreeReadSession> AtspiPrefetcher::beginTreeRead(AtspiReader& reader, const AccessiblePtr& root,
                                                                const AtspiFetchPlan& plan) {
    auto prefetch = fetch(root, plan);
    if (!prefetch) return nullptr;
    return std::make_unique<PrefetchSession>(reader, std::move(prefetch));
}

}  // namespace kest::platform::linux_desktop
