// Fetching a window's accessibility tree in bulk over D-Bus, and answering
// reader calls from that copy.
#include "platform/linux/atspi_prefetch.hpp"

#include <gio/gio.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <string_view>
#include <utility>

namespace kest::platform::linux_desktop {

using namespace StatusCode;

// Everything known about one node. Facts that could not be fetched stay empty.
struct AtspiPrefetch::Node {
    AtspiRole role = ATSPI_ROLE_INVALID;
    std::string name;
    std::string description;
    std::uint64_t states = 0;
    int childCount = 0;
    int indexInParent = -1;
    std::string listedParent;  // as the application's cache lists it
    bool component = false;
    bool textInterface = false;
    bool valueInterface = false;
    bool incomplete = false;  // some of the facts above could not be read
    bool factsKnown = false;  // role, name, description, states, child count and interfaces

    std::optional<std::vector<std::string>> children;  // object paths, once known
    std::string parent;                                 // in the walk from the root; empty for the root
    AccessiblePtr handle;
    std::optional<std::expected<Rect, Status>> extents;
    std::optional<std::string> text;
    std::optional<double> currentValue;
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

bool extentsKnownFromStates(AtspiRole role, std::uint64_t states) {
    const bool showing = states & (std::uint64_t{1} << ATSPI_STATE_SHOWING);
    return !showing && std::ranges::find(GTK3_WIDGET_ROLES, role) != std::end(GTK3_WIDGET_ROLES);
}

struct GVariantUnref {
    void operator()(GVariant* value) const {
        if (value) g_variant_unref(value);
    }
};
using GVariantPtr = std::unique_ptr<GVariant, GVariantUnref>;

struct GMainContextUnref {
    void operator()(GMainContext* context) const {
        if (context) g_main_context_unref(context);
    }
};
using GMainContextPtr = std::unique_ptr<GMainContext, GMainContextUnref>;

bool isTimeout(const GError* error) {
    return g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT) ||
           g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY) ||
           g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_TIMEOUT) ||
           g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_TIMED_OUT);
}

// Calls sent one after another without waiting, their replies collected on a
// private main context. Handlers get the reply (null on error) and the error.
class CallBatch {
public:
    using Handler = std::function<void(GVariant* reply)>;

    CallBatch(GDBusConnection* connection, std::string busName, int timeoutMs)
        : connection_(connection), busName_(std::move(busName)), timeoutMs_(timeoutMs),
          context_(g_main_context_new()) {
        g_main_context_push_thread_default(context_.get());
    }
    ~CallBatch() {
        collect();
        g_main_context_pop_thread_default(context_.get());
    }
    CallBatch(const CallBatch&) = delete;
    CallBatch& operator=(const CallBatch&) = delete;

    void call(const std::string& path, const char* interface, const char* method, GVariant* parameters,
              const char* replyType, Handler handler) {
        auto* pending = new Pending{this, std::move(handler)};
        ++outstanding_;
        g_dbus_connection_call(connection_, busName_.empty() ? nullptr : busName_.c_str(), path.c_str(), interface, method, parameters,
                               G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs_, nullptr,
                               &CallBatch::onReply, pending);
    }
    void getProperty(const std::string& path, const char* interface, const char* property, Handler handler) {
        call(path, PROPERTIES_INTERFACE, "Get", g_variant_new("(ss)", interface, property), "(v)",
             [handler = std::move(handler)](GVariant* reply) {
                 if (!reply) return handler(nullptr);
                 GVariantPtr boxed(g_variant_get_child_value(reply, 0));
                 GVariantPtr inner(g_variant_get_variant(boxed.get()));
                 handler(inner.get());
             });
    }

    // Waits for every reply; each call ends by its timeout at the latest.
    void collect() {
        while (outstanding_ > 0) g_main_context_iteration(context_.get(), TRUE);
    }
    bool timedOut() const { return timedOut_; }

private:
    struct Pending {
        CallBatch* batch;
        Handler handler;
    };
    static void onReply(GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
        ErrorSlot error;
        GVariantPtr reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, error.out()));
        if (error && isTimeout(error.get())) pending->batch->timedOut_ = true;
        pending->handler(reply.get());
        --pending->batch->outstanding_;
    }

    GDBusConnection* connection_;
    std::string busName_;
    int timeoutMs_;
    GMainContextPtr context_;
    int outstanding_ = 0;
    bool timedOut_ = false;
};

std::string stringChild(GVariant* tuple, std::size_t index) {
    GVariantPtr child(g_variant_get_child_value(tuple, index));
    return g_variant_get_string(child.get(), nullptr);
}

// (so) -> its object path, or "" when the bus name is not `busName`.
std::string pathIn(GVariant* reference, const std::string& busName) {
    if (stringChild(reference, 0) != busName) return {};
    return stringChild(reference, 1);
}

std::uint64_t stateBits(GVariant* array) {
    std::uint64_t bits = 0;
    const gsize count = g_variant_n_children(array);
    for (gsize i = 0; i < count && i < 2; ++i) {
        GVariantPtr word(g_variant_get_child_value(array, i));
        bits |= static_cast<std::uint64_t>(g_variant_get_uint32(word.get())) << (32 * i);
    }
    return bits;
}

void setInterfaces(AtspiPrefetch::Node& node, GVariant* array) {
    const gsize count = g_variant_n_children(array);
    for (gsize i = 0; i < count; ++i) {
        GVariantPtr entry(g_variant_get_child_value(array, i));
        const std::string_view name = g_variant_get_string(entry.get(), nullptr);
        if (name == "org.a11y.atspi.Component") node.component = true;
        if (name == "org.a11y.atspi.Text") node.textInterface = true;
        if (name == "org.a11y.atspi.Value") node.valueInterface = true;
    }
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
    return lookup<std::string>(element, [](const Node& n) -> Lookup<std::string> { return n.description; });
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
        auto it = nodes_.find(n.parent);
        if (n.parent.empty() || it == nodes_.end() || !it->second->handle) return std::nullopt;
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

AtspiPrefetcher::AtspiPrefetcher(std::chrono::milliseconds timeout) : timeout_(timeout) {}
AtspiPrefetcher::~AtspiPrefetcher() = default;

GDBusConnection* AtspiPrefetcher::connection() {
    if (connection_ || connectFailed_) return connection_.get();
    std::string address;
    if (const char* fromEnvironment = std::getenv("AT_SPI_BUS_ADDRESS"); fromEnvironment && *fromEnvironment) {
        address = fromEnvironment;
    } else {
        ErrorSlot error;
        GObjectPtr<GDBusConnection> session(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error.out()));
        if (session) {
            ErrorSlot callError;
            GVariantPtr reply(g_dbus_connection_call_sync(session.get(), "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
                                                          "GetAddress", nullptr, G_VARIANT_TYPE("(s)"),
                                                          G_DBUS_CALL_FLAGS_NONE, static_cast<int>(timeout_.count()),
                                                          nullptr, callError.out()));
            if (reply) address = stringChild(reply.get(), 0);
        }
    }
    if (!address.empty()) {
        ErrorSlot error;
        connection_.reset(g_dbus_connection_new_for_address_sync(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, error.out()));
    }
    connectFailed_ = !connection_;
    return connection_.get();
}

GDBusConnection* AtspiPrefetcher::peerConnection(GDBusConnection* bus, const std::string& busName) {
    if (auto known = peers_.find(busName); known != peers_.end()) return known->second.get();
    GObjectPtr<GDBusConnection>& peer = peers_[busName];
    ErrorSlot error;
    GVariantPtr reply(g_dbus_connection_call_sync(bus, busName.c_str(), APPLICATION_ROOT_PATH,
                                                  "org.a11y.atspi.Application", "GetApplicationBusAddress", nullptr,
                                                  G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NO_AUTO_START,
                                                  static_cast<int>(timeout_.count()), nullptr, error.out()));
    const std::string address = reply ? stringChild(reply.get(), 0) : std::string();
    if (!address.empty()) {
        ErrorSlot connectError;
        peer.reset(g_dbus_connection_new_for_address_sync(address.c_str(), G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT,
                                                          nullptr, nullptr, connectError.out()));
    }
    return peer.get();
}

std::unique_ptr<AtspiPrefetch> AtspiPrefetcher::fetch(const AccessiblePtr& root, const AtspiFetchPlan& plan) {
    using Node = AtspiPrefetch::Node;
    const std::string busName = busNameOf(root.get());
    const std::string rootPath = objectPath(root.get());
    const int timeoutMs = static_cast<int>(timeout_.count());
    GDBusConnection* bus = busName.empty() || rootPath.empty() ? nullptr : connection();
    if (!bus) return nullptr;
    // Calls on a direct connection skip the bus daemon's hop; the bus name is
    // then only the key that tells this application's objects from others'.
    std::string destination = busName;
    if (GDBusConnection* peer = peerConnection(bus, busName)) {
        bus = peer;
        destination.clear();
    }

    auto prefetch = std::unique_ptr<AtspiPrefetch>(new AtspiPrefetch());
    prefetch->busName_ = busName;
    auto& nodes = prefetch->nodes_;

    // 1. Every announced node, and the toolkit.
    GVariantPtr items;
    std::string toolkit;
    std::string toolkitVersion;
    {
        CallBatch batch(bus, destination, timeoutMs);
        batch.call(CACHE_PATH, "org.a11y.atspi.Cache", "GetItems", nullptr, "(a((so)(so)(so)iiassusau))",
                   [&](GVariant* reply) {
                       if (reply) items.reset(g_variant_get_child_value(reply, 0));
                   });
        for (auto [property, out] : {std::pair{"ToolkitName", &toolkit}, std::pair{"Version", &toolkitVersion}}) {
            batch.getProperty(APPLICATION_ROOT_PATH, "org.a11y.atspi.Application", property, [out](GVariant* v) {
                if (v && g_variant_is_of_type(v, G_VARIANT_TYPE_STRING)) *out = g_variant_get_string(v, nullptr);
            });
        }
        batch.collect();
        if (batch.timedOut()) {
            prefetch->unresponsive_ = true;
            return prefetch;
        }
    }
    if (!items) return nullptr;
    const gsize count = g_variant_n_children(items.get());
    for (gsize i = 0; i < count; ++i) {
        GVariantPtr item(g_variant_get_child_value(items.get(), i));
        GVariantPtr self(g_variant_get_child_value(item.get(), 0));
        std::string path = pathIn(self.get(), busName);
        if (path.empty()) continue;
        auto node = std::make_unique<Node>();
        GVariantPtr parentRef(g_variant_get_child_value(item.get(), 2));
        node->listedParent = pathIn(parentRef.get(), busName);
        GVariantPtr index(g_variant_get_child_value(item.get(), 3));
        GVariantPtr children(g_variant_get_child_value(item.get(), 4));
        GVariantPtr interfaces(g_variant_get_child_value(item.get(), 5));
        GVariantPtr role(g_variant_get_child_value(item.get(), 7));
        GVariantPtr states(g_variant_get_child_value(item.get(), 9));
        node->indexInParent = g_variant_get_int32(index.get());
        node->childCount = g_variant_get_int32(children.get());
        setInterfaces(*node, interfaces.get());
        node->name = stringChild(item.get(), 6);
        node->role = static_cast<AtspiRole>(g_variant_get_uint32(role.get()));
        node->description = stringChild(item.get(), 8);
        node->states = stateBits(states.get());
        node->factsKnown = true;
        nodes[path] = std::move(node);
    }
    if (!nodes.contains(rootPath)) return nullptr;

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
    for (auto& [parent, kids] : listed) std::ranges::sort(kids);

    const bool widgetExtentsFromStates = isGtk3(toolkit, toolkitVersion);
    std::set<std::string> seen;
    std::vector<std::string> needChildren;  // listed children do not add up
    std::vector<std::string> needFacts;     // not listed by the cache
    std::vector<std::string> needValues;    // facts known: extents, text and value to fetch
    std::function<void(const std::string&)> reach;
    // A node whose facts are known: its values, and what is below it.
    auto expand = [&](const std::string& path) {
        Node& node = *nodes.at(path);
        needValues.push_back(path);
        auto it = listed.find(path);
        const std::size_t listedCount = it == listed.end() ? 0 : it->second.size();
        bool consistent = node.childCount >= 0 && listedCount == static_cast<std::size_t>(node.childCount);
        for (std::size_t i = 0; consistent && i < listedCount; ++i) consistent = it->second[i].first == static_cast<int>(i);
        if (consistent) {
            node.children.emplace();
            for (std::size_t i = 0; i < listedCount; ++i) node.children->push_back(it->second[i].second);
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

    {
        CallBatch batch(bus, destination, timeoutMs);
        std::function<void()> flush;
        auto sendChildren = [&](const std::string& path) {
            Node* node = nodes.at(path).get();
            batch.call(path, ACCESSIBLE_INTERFACE, "GetChildren", nullptr, "(a(so))", [&, node](GVariant* r) {
                if (!r) return;
                GVariantPtr list(g_variant_get_child_value(r, 0));
                std::vector<std::string> paths;
                const gsize n = g_variant_n_children(list.get());
                for (gsize i = 0; i < n; ++i) {
                    GVariantPtr ref(g_variant_get_child_value(list.get(), i));
                    std::string childPath = pathIn(ref.get(), busName);
                    if (childPath.empty()) return;  // another application's object: read it live
                    paths.push_back(std::move(childPath));
                }
                for (const auto& child : paths) {
                    auto& slot = nodes[child];
                    if (!slot) slot = std::make_unique<Node>();  // facts unknown: fetched as it is reached
                }
                node->children = std::move(paths);
                for (const auto& child : *node->children) reach(child);
                flush();
            });
        };
        auto sendFacts = [&](const std::string& path) {
            Node* node = nodes.at(path).get();
            node->childCount = -3;  // stays below zero when ChildCount cannot be read
            node->role = ATSPI_ROLE_INVALID;
            auto pending = std::make_shared<int>(4);
            // After the last of the four answers: a node with all its facts is
            // walked on; one without them is read live.
            auto done = [&, node, path, pending] {
                if (--*pending > 0) return;
                if (node->incomplete || node->role == ATSPI_ROLE_INVALID) return;
                node->factsKnown = true;
                expand(path);
                flush();
            };
            batch.call(path, ACCESSIBLE_INTERFACE, "GetRole", nullptr, "(u)", [node, done](GVariant* r) {
                guint32 role = ATSPI_ROLE_INVALID;
                if (r) g_variant_get(r, "(u)", &role);
                node->role = static_cast<AtspiRole>(role);
                done();
            });
            batch.call(path, PROPERTIES_INTERFACE, "GetAll", g_variant_new("(s)", ACCESSIBLE_INTERFACE), "(a{sv})",
                       [node, done](GVariant* r) {
                           GVariantPtr all(r ? g_variant_get_child_value(r, 0) : nullptr);
                           GVariantPtr name(all ? g_variant_lookup_value(all.get(), "Name", G_VARIANT_TYPE_STRING) : nullptr);
                           GVariantPtr description(
                               all ? g_variant_lookup_value(all.get(), "Description", G_VARIANT_TYPE_STRING) : nullptr);
                           GVariantPtr children(
                               all ? g_variant_lookup_value(all.get(), "ChildCount", G_VARIANT_TYPE_INT32) : nullptr);
                           if (name) node->name = g_variant_get_string(name.get(), nullptr);
                           if (description) node->description = g_variant_get_string(description.get(), nullptr);
                           if (children) node->childCount = g_variant_get_int32(children.get());
                           if (!name || !description) node->incomplete = true;
                           done();
                       });
            batch.call(path, ACCESSIBLE_INTERFACE, "GetState", nullptr, "(au)", [node, done](GVariant* r) {
                if (r) {
                    GVariantPtr bits(g_variant_get_child_value(r, 0));
                    node->states = stateBits(bits.get());
                } else {
                    node->incomplete = true;
                }
                done();
            });
            batch.call(path, ACCESSIBLE_INTERFACE, "GetInterfaces", nullptr, "(as)", [node, done](GVariant* r) {
                if (r) {
                    GVariantPtr names(g_variant_get_child_value(r, 0));
                    setInterfaces(*node, names.get());
                } else {
                    node->incomplete = true;
                }
                done();
            });
        };
        auto sendValues = [&](const std::string& path) {
            Node* node = nodes.at(path).get();
            if (node->component && widgetExtentsFromStates && path != rootPath &&
                extentsKnownFromStates(node->role, node->states)) {
                node->extents = std::unexpected(kNoValue);
            } else if (node->component) {
                batch.call(path, "org.a11y.atspi.Component", "GetExtents", g_variant_new("(u)", 0u), "((iiii))",
                           [node](GVariant* r) {
                               if (!r) return;
                               gint32 x = 0, y = 0, width = 0, height = 0;
                               g_variant_get(r, "((iiii))", &x, &y, &width, &height);
                               if (x == G_MININT || y == G_MININT) {
                                   node->extents = std::unexpected(kNoValue);
                               } else {
                                   node->extents = Rect{static_cast<double>(x), static_cast<double>(y),
                                                        static_cast<double>(width), static_cast<double>(height)};
                               }
                           });
            }
            if (node->textInterface && (!plan.wantsText || plan.wantsText(node->role))) {
                batch.call(path, "org.a11y.atspi.Text", "GetText", g_variant_new("(ii)", 0, -1), "(s)", [node](GVariant* r) {
                    if (r) node->text = stringChild(r, 0);
                });
            }
            if (node->valueInterface && (!plan.wantsValue || plan.wantsValue(node->role))) {
                batch.getProperty(path, "org.a11y.atspi.Value", "CurrentValue", [node](GVariant* v) {
                    if (v && g_variant_is_of_type(v, G_VARIANT_TYPE_DOUBLE)) node->currentValue = g_variant_get_double(v);
                });
            }
        };
        flush = [&] {
            std::vector<std::string> parents = std::exchange(needChildren, {});
            std::vector<std::string> facts = std::exchange(needFacts, {});
            std::vector<std::string> values = std::exchange(needValues, {});
            if (batch.timedOut()) return;  // the application is stuck: nothing more is asked
            for (const auto& path : parents) sendChildren(path);
            for (const auto& path : facts) sendFacts(path);
            for (const auto& path : values) sendValues(path);
        };
        reach(rootPath);
        flush();
        batch.collect();
        if (batch.timedOut()) {
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
    // does one Collection.GetMatches over the window make them.
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
    if (missing) {
        GObjectPtr<AtspiCollection> collection(atspi_accessible_get_collection_iface(root.get()));
        if (collection) {
            GObjectPtr<AtspiMatchRule> rule(atspi_match_rule_new(nullptr, ATSPI_Collection_MATCH_ALL, nullptr,
                                                                 ATSPI_Collection_MATCH_ALL, nullptr,
                                                                 ATSPI_Collection_MATCH_ALL, nullptr,
                                                                 ATSPI_Collection_MATCH_ALL, FALSE));
            ErrorSlot error;
            GArrayPtr found(atspi_collection_get_matches(collection.get(), rule.get(),
                                                         ATSPI_Collection_SORT_ORDER_CANONICAL, 0, TRUE, error.out()));
            for (guint i = 0; found && i < found->len; ++i) {
                AccessiblePtr handle = adoptAccessible(g_array_index(found.get(), AtspiAccessible*, i));
                if (!handle) continue;
                auto it = nodes.find(objectPath(handle.get()));
                if (it != nodes.end() && !it->second->handle) it->second->handle = std::move(handle);
            }
        }
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
