// libatspi calls with statuses instead of GErrors and sentinels.
#include "platform/linux/atspi_reader.hpp"

#include "platform/linux/atspi_prefetch.hpp"
#include "platform/linux/dbus_calls.hpp"

#include <array>
#include <climits>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

namespace kest::platform::linux_desktop {
namespace {

using namespace StatusCode;

// libatspi caches names, children and parents and refreshes them only from
// events it happens to dispatch while waiting for a reply: a changed label or
// a vanished element would read as it was. Those are read from the
// application every time. Roles, interfaces and states stay cached: libatspi's
// own event handlers read states while dispatching, and a state read that went
// to the application from there would dead-lock libdbus's dispatcher.
constexpr auto LIVE_READS_CACHE_MASK =
    static_cast<AtspiCache>(ATSPI_CACHE_ROLE | ATSPI_CACHE_INTERFACES | ATSPI_CACHE_STATES | ATSPI_CACHE_ATTRIBUTES);

constexpr std::array<std::string_view, 5> PRESS_ACTION_NAMES = {"click", "press", "activate", "toggle", "jump"};

template <class T>
std::unexpected<Status> failed(const ErrorSlot& error) {
    return std::unexpected(statusFromError(error.get()));
}

std::string takeString(gchar* raw) {
    GCharPtr owned(raw);
    return owned ? std::string(owned.get()) : std::string();
}

// The unique bus name (":1.42") of the element's application; empty for a
// well-known name or none.
std::string_view uniqueBusName(AtspiAccessible* element) {
    auto* object = reinterpret_cast<AtspiObject*>(element);
    const char* name = object && object->app ? object->app->bus_name : nullptr;
    if (!name || name[0] != ':') return {};
    return name;
}

}  // namespace

Status statusFromError(const GError* error) {
    if (!error) return kFailure;
    const std::string_view message = error->message ? error->message : "";
    // libatspi passes D-Bus failures on as text: no reply within the timeout,
    // or a peer or object that no longer exists.
    if (message.find("reply") != std::string_view::npos || message.find("imeout") != std::string_view::npos ||
        message.find("timed out") != std::string_view::npos) {
        return kCannotComplete;
    }
    if (message.find("does not exist") != std::string_view::npos ||
        message.find("nknown object") != std::string_view::npos ||
        message.find("ServiceUnknown") != std::string_view::npos || message.find("gone") != std::string_view::npos ||
        message.find("isconnected") != std::string_view::npos ||
        message.find("not provided by any .service") != std::string_view::npos) {
        return kInvalidElement;
    }
    return kFailure;
}

std::unique_ptr<AtspiReader> AtspiReader::connect(std::chrono::milliseconds timeout) {
    static std::once_flag once;
    static int initResult = -1;
    // atspi_init answers 1 when already initialised, 0 on success.
    std::call_once(once, [] { initResult = atspi_init(); });
    if (initResult != 0 && initResult != 1) return nullptr;
    GObjectPtr<AtspiAccessible> desktop(atspi_get_desktop(0));
    if (!desktop) return nullptr;
    return std::unique_ptr<AtspiReader>(new AtspiReader(timeout));
}

void AtspiReader::setTimeout(std::chrono::milliseconds timeout) {
    timeout_ = timeout;
    // No longer grace for newly started applications: a stopped application
    // must cost the same bounded time whenever it was started.
    atspi_set_timeout(static_cast<gint>(timeout.count()), 0);
}

std::expected<std::vector<AccessiblePtr>, Status> AtspiReader::applications() {
    GObjectPtr<AtspiAccessible> desktop(atspi_get_desktop(0));
    if (!desktop) return std::unexpected(kAPIDisabled);
    atspi_accessible_set_cache_mask(desktop.get(), LIVE_READS_CACHE_MASK);
    auto apps = children(desktop.get());
    if (apps) {
        std::set<std::string_view> registered;
        for (const auto& app : *apps) {
            atspi_accessible_set_cache_mask(app.get(), LIVE_READS_CACHE_MASK);
            registered.insert(uniqueBusName(app.get()));
        }
        std::erase_if(processIds_, [&](const auto& entry) { return !registered.contains(entry.first); });
        std::erase_if(busAddresses_, [&](const auto& entry) { return !registered.contains(entry.first); });
    }
    return apps;
}

AccessiblePtr AtspiReader::applicationForPid(int pid) {
    auto apps = applications();
    if (!apps) return {};
    for (auto& app : *apps) {
        if (auto appPid = processId(app.get()); appPid && *appPid == pid) return app;
    }
    return {};
}

std::expected<AtspiRole, Status> AtspiReader::role(AtspiAccessible* element) {
    if (!element) return std::unexpected(kIllegalArgument);
    if (prefetch_) {
        if (auto hit = prefetch_->role(element)) return std::move(*hit);
    }
    ErrorSlot error;
    const AtspiRole role = atspi_accessible_get_role(element, error.out());
    if (error) return failed<AtspiRole>(error);
    if (role == ATSPI_ROLE_INVALID) return std::unexpected(kInvalidElement);
    return role;
}

std::expected<std::string, Status> AtspiReader::name(AtspiAccessible* element) {
    if (!element) return std::unexpected(kIllegalArgument);
    if (prefetch_) {
        if (auto hit = prefetch_->name(element)) return std::move(*hit);
    }
    ErrorSlot error;
    std::string value = takeString(atspi_accessible_get_name(element, error.out()));
    if (error) return failed<std::string>(error);
    return value;
}

std::expected<std::string, Status> AtspiReader::description(AtspiAccessible* element) {
    if (!element) return std::unexpected(kIllegalArgument);
    if (prefetch_) {
        if (auto hit = prefetch_->description(element)) return std::move(*hit);
    }
    ErrorSlot error;
    std::string value = takeString(atspi_accessible_get_description(element, error.out()));
    if (error) return failed<std::string>(error);
    return value;
}

std::expected<StateSet, Status> AtspiReader::states(AtspiAccessible* element) {
    if (!element) return std::unexpected(kIllegalArgument);
    if (prefetch_) {
        if (auto hit = prefetch_->states(element)) return std::move(*hit);
    }
    // States stay in libatspi's cache (see LIVE_READS_CACHE_MASK) but are
    // refetched here, so that a read sees the application's current states.
    element->cached_properties &= ~static_cast<guint>(ATSPI_CACHE_STATES);
    GObjectPtr<AtspiStateSet> set(atspi_accessible_get_state_set(element));
    if (!set) return std::unexpected(kFailure);
    GArrayPtr list(atspi_state_set_get_states(set.get()));
    std::uint64_t bits = 0;
    for (guint i = 0; list && i < list->len; ++i) {
        const auto state = g_array_index(list.get(), AtspiStateType, i);
        if (static_cast<unsigned>(state) < 64) bits |= std::uint64_t{1} << static_cast<unsigned>(state);
    }
    StateSet states(bits);
    if (states.has(ATSPI_STATE_DEFUNCT)) return std::unexpected(kInvalidElement);
    return states;
}

std::expected<int, Status> AtspiReader::childCount(AtspiAccessible* element) {
    if (!element) return std::unexpected(kIllegalArgument);
    if (prefetch_) {
        if (auto hit = prefetch_->childCount(element)) return std::move(*hit);
    }
    ErrorSlot error;
    const gint count = atspi_accessible_get_child_count(element, error.out());
    if (error) return failed<int>(error);
    if (count < 0) return std::unexpected(kFailure);
    return count;
}

std::expected<std::vector<AccessiblePtr>, Status> AtspiReader::children(AtspiAccessible* element) {
    if (prefetch_ && element) {
        if (auto hit = prefetch_->children(element)) return std::move(*hit);
    }
    auto count = childCount(element);
    if (!count) return std::unexpected(count.error());
    std::vector<AccessiblePtr> result;
    result.reserve(static_cast<std::size_t>(*count));
    for (int i = 0; i < *count; ++i) {
        ErrorSlot error;
        AccessiblePtr child = adoptAccessible(atspi_accessible_get_child_at_index(element, i, error.out()));
        if (error) {
            const Status status = statusFromError(error.get());
            // A child that went away in the meantime is skipped; a stuck
            // application ends the walk.
            if (status == kCannotComplete) return std::unexpected(status);
            continue;
        }
        if (child) result.push_back(std::move(child));
    }
    return result;
}

std::expected<AccessiblePtr, Status> AtspiReader::parent(AtspiAccessible* element) {
    if (!element) return std::unexpected(kIllegalArgument);
    if (prefetch_) {
        if (auto hit = prefetch_->parent(element)) return std::move(*hit);
    }
    ErrorSlot error;
    AccessiblePtr result = adoptAccessible(atspi_accessible_get_parent(element, error.out()));
    if (error) return failed<AccessiblePtr>(error);
    if (!result) return std::unexpected(kNoValue);
    return result;
}

std::expected<int, Status> AtspiReader::processId(AtspiAccessible* element) {
    if (!element) return std::unexpected(kIllegalArgument);
    const std::string_view busName = uniqueBusName(element);
    if (!busName.empty()) {
        if (auto known = processIds_.find(std::string(busName)); known != processIds_.end()) return known->second;
    }
    ErrorSlot error;
    const guint pid = atspi_accessible_get_process_id(element, error.out());
    if (error) return failed<int>(error);
    if (pid == 0 || pid == static_cast<guint>(-1)) return std::unexpected(kNoValue);
    if (!busName.empty()) processIds_.emplace(busName, static_cast<int>(pid));
    return static_cast<int>(pid);
}

std::expected<Rect, Status> AtspiReader::extents(AtspiAccessible* element) {
    if (!element) return std::unexpected(kIllegalArgument);
    if (prefetch_) {
        if (auto hit = prefetch_->extents(element)) return std::move(*hit);
    }
    GObjectPtr<AtspiComponent> component(atspi_accessible_get_component_iface(element));
    if (!component) return std::unexpected(kAttributeUnsupported);
    ErrorSlot error;
    GMemoryPtr<AtspiRect> rect(atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_SCREEN, error.out()));
    if (error) return failed<Rect>(error);
    // Sentinels: G_MININT for an element that is not laid out, -1 sizes when
    // the application did not answer (libatspi sets no error for every such
    // failure).
    if (!rect || rect->x == G_MININT || rect->y == G_MININT || rect->width < 0 || rect->height < 0) {
        return std::unexpected(kNoValue);
    }
    return Rect{static_cast<double>(rect->x), static_cast<double>(rect->y), static_cast<double>(rect->width),
                static_cast<double>(rect->height)};
}

std::expected<std::string, Status> AtspiReader::text(AtspiAccessible* element) {
    if (!element) return std::unexpected(kIllegalArgument);
    if (prefetch_) {
        if (auto hit = prefetch_->text(element)) return std::move(*hit);
    }
    GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(element));
    if (!text) return std::unexpected(kAttributeUnsupported);
    ErrorSlot error;
    std::string value = takeString(atspi_text_get_text(text.get(), 0, -1, error.out()));
    if (error) return failed<std::string>(error);
    if (!value.empty()) return value;
    // GTK 4 entries clamp the end offset -1 ("to the end") to 0 and answer
    // nothing: an empty answer is asked again up to the character count.
    ErrorSlot countError;
    const gint count = atspi_text_get_character_count(text.get(), countError.out());
    if (countError || count <= 0) return value;
    ErrorSlot againError;
    value = takeString(atspi_text_get_text(text.get(), 0, count, againError.out()));
    if (againError) return failed<std::string>(againError);
    return value;
}

std::expected<double, Status> AtspiReader::currentValue(AtspiAccessible* element) {
    if (!element) return std::unexpected(kIllegalArgument);
    if (prefetch_) {
        if (auto hit = prefetch_->currentValue(element)) return std::move(*hit);
    }
    GObjectPtr<AtspiValue> value(atspi_accessible_get_value_iface(element));
    if (!value) return std::unexpected(kAttributeUnsupported);
    ErrorSlot error;
    const double current = atspi_value_get_current_value(value.get(), error.out());
    if (error) return failed<double>(error);
    return current;
}

std::expected<AccessiblePtr, Status> AtspiReader::selectedChild(AtspiAccessible* element) {
    if (!element) return std::unexpected(kIllegalArgument);
    if (prefetch_) {
        if (auto hit = prefetch_->selectedChild(element)) return std::move(*hit);
    }
    GObjectPtr<AtspiSelection> selection(atspi_accessible_get_selection_iface(element));
    if (!selection) return std::unexpected(kAttributeUnsupported);
    ErrorSlot error;
    AccessiblePtr selected = adoptAccessible(atspi_selection_get_selected_child(selection.get(), 0, error.out()));
    if (error) return failed<AccessiblePtr>(error);
    return selected;
}

std::expected<std::vector<std::string>, Status> AtspiReader::actionNames(AtspiAccessible* element) {
    if (!element) return std::unexpected(kIllegalArgument);
    GObjectPtr<AtspiAction> action(atspi_accessible_get_action_iface(element));
    if (!action) return std::vector<std::string>{};
    ErrorSlot error;
    const gint count = atspi_action_get_n_actions(action.get(), error.out());
    if (error) return failed<std::vector<std::string>>(error);
    std::vector<std::string> names;
    for (gint i = 0; i < count; ++i) {
        ErrorSlot nameError;
        names.push_back(takeString(atspi_action_get_action_name(action.get(), i, nameError.out())));
        if (nameError) return failed<std::vector<std::string>>(nameError);
    }
    return names;
}

std::expected<std::string_view, Status> AtspiReader::axRole(AtspiAccessible* element) {
    auto atspiRole = role(element);
    if (!atspiRole) return std::unexpected(atspiRole.error());
    RoleContext context{.role = *atspiRole};
    if (isTextRole(*atspiRole)) {
        auto set = states(element);
        if (!set) return std::unexpected(set.error());
        context.multiLine = set->has(ATSPI_STATE_MULTI_LINE);
    } else if (*atspiRole == ATSPI_ROLE_COMBO_BOX) {
        auto kids = children(element);
        if (!kids) return std::unexpected(kids.error());
        for (const auto& child : *kids) {
            auto childRole = role(child.get());
            if (!childRole || !isTextRole(*childRole)) continue;
            auto childStates = states(child.get());
            if (childStates && childStates->has(ATSPI_STATE_EDITABLE)) context.hasEditableTextChild = true;
        }
    } else if (roleDependsOnParent(*atspiRole)) {
        auto up = parent(element);
        if (up) {
            auto parentRole = role(up->get());
            context.parentIsMenuBar = parentRole && *parentRole == ATSPI_ROLE_MENU_BAR;
            context.parentIsMenuItem = parentRole && isMenuItemRole(*parentRole);
            context.topLevel = parentRole && *parentRole == ATSPI_ROLE_APPLICATION;
        }
    }
    return axRoleFor(context);
}

Status AtspiReader::doAction(AtspiAccessible* element, int index) {
    if (!element) return kIllegalArgument;
    GObjectPtr<AtspiAction> action(atspi_accessible_get_action_iface(element));
    if (!action) return kActionUnsupported;
    if (auto status = doActionOnOwnConnection(element, index)) return *status;
    ErrorSlot error;
    const gboolean done = atspi_action_do_action(action.get(), index, error.out());
    if (error) return statusFromError(error.get());
    return done ? kSuccess : kFailure;
}

// An action's handler may run a nested main loop: a menu item that runs its
// dialog modally (a "Save As" chooser) only returns when the dialog closes.
// The application answers the action first, but it dispatches nothing more
// from the connection that carried it until the handler returns. Sent through
// libatspi, that would be libatspi's direct connection to the application,
// the one every later read of the application goes over: the application
// would look frozen, its new dialog never seen. So an action goes over a
// direct connection of its own, opened for it and closed once answered; the
// application keeps answering on every other connection meanwhile.
std::optional<Status> AtspiReader::doActionOnOwnConnection(AtspiAccessible* element, int index) {
    const std::string busName(uniqueBusName(element));
    const char* path = reinterpret_cast<AtspiObject*>(element)->path;
    if (busName.empty() || !path) return std::nullopt;
    bool timedOut = false;
    const std::string address = applicationBusAddress(busName, timedOut);
    if (timedOut) return kCannotComplete;
    if (address.empty()) return std::nullopt;
    DBusError error;
    dbus_error_init(&error);
    DBusPrivateConnectionPtr connection(dbus_connection_open_private(address.c_str(), &error));
    dbus_error_free(&error);
    if (!connection) {
        busAddresses_.erase(busName);  // asked again next time
        return std::nullopt;
    }
    dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);
    DBusMessagePtr call = newMethodCall("", path, "org.a11y.atspi.Action", "DoAction");
    const dbus_int32_t wanted = index;
    if (!call || !dbus_message_append_args(call.get(), DBUS_TYPE_INT32, &wanted, DBUS_TYPE_INVALID)) {
        return std::nullopt;
    }
    DBusMessagePtr reply = callAndWait(connection.get(), call.get(), "b", timeout_, &timedOut);
    if (timedOut) return kCannotComplete;
    // An error answer did nothing; libatspi's own call tells which status it
    // is (a vanished object, an unknown action).
    if (!reply) return std::nullopt;
    dbus_bool_t done = FALSE;
    if (!dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_BOOLEAN, &done, DBUS_TYPE_INVALID)) return kFailure;
    return done ? kSuccess : kFailure;
}

// The address of the application's own server for direct connections; empty
// when it offers none (its calls then go through the bus).
std::string AtspiReader::applicationBusAddress(const std::string& busName, bool& timedOut) {
    if (auto known = busAddresses_.find(busName); known != busAddresses_.end()) return known->second;
    DBusConnection* bus = atspi_get_a11y_bus();
    if (!bus) return {};
    DBusMessagePtr ask =
        newMethodCall(busName, "/org/a11y/atspi/accessible/root", "org.a11y.atspi.Application", "GetApplicationBusAddress");
    DBusMessagePtr reply = callAndWait(bus, ask.get(), "s", timeout_, &timedOut);
    if (timedOut) return {};  // asked again once it answers
    const char* address = nullptr;
    if (reply) dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &address, DBUS_TYPE_INVALID);
    return busAddresses_[busName] = address ? address : "";
}

Status AtspiReader::press(AtspiAccessible* element) {
    auto names = actionNames(element);
    if (!names) return names.error();
    if (names->empty()) return kActionUnsupported;
    for (std::string_view wanted : PRESS_ACTION_NAMES) {
        for (std::size_t i = 0; i < names->size(); ++i) {
            if ((*names)[i] == wanted) return doAction(element, static_cast<int>(i));
        }
    }
    return doAction(element, 0);
}

Status AtspiReader::setText(AtspiAccessible* element, const std::string& text) {
    if (!element) return kIllegalArgument;
    GObjectPtr<AtspiEditableText> editable(atspi_accessible_get_editable_text_iface(element));
    if (!editable) return kAttributeUnsupported;
    ErrorSlot error;
    const gboolean done = atspi_editable_text_set_text_contents(editable.get(), text.c_str(), error.out());
    if (error) return statusFromError(error.get());
    return done ? kSuccess : kFailure;
}

Status AtspiReader::setCurrentValue(AtspiAccessible* element, double value) {
    if (!element) return kIllegalArgument;
    GObjectPtr<AtspiValue> iface(atspi_accessible_get_value_iface(element));
    if (!iface) return kAttributeUnsupported;
    ErrorSlot error;
    const gboolean done = atspi_value_set_current_value(iface.get(), value, error.out());
    if (error) return statusFromError(error.get());
    return done ? kSuccess : kFailure;
}

Status AtspiReader::grabFocus(AtspiAccessible* element) {
    if (!element) return kIllegalArgument;
    GObjectPtr<AtspiComponent> component(atspi_accessible_get_component_iface(element));
    if (!component) return kAttributeUnsupported;
    ErrorSlot error;
    const gboolean done = atspi_component_grab_focus(component.get(), error.out());
    if (error) return statusFromError(error.get());
    return done ? kSuccess : kFailure;
}

Status AtspiReader::selectChild(AtspiAccessible* element, int index) {
    if (!element) return kIllegalArgument;
    GObjectPtr<AtspiSelection> selection(atspi_accessible_get_selection_iface(element));
    if (!selection) return kAttributeUnsupported;
    ErrorSlot error;
    const gboolean done = atspi_selection_select_child(selection.get(), index, error.out());
    if (error) return statusFromError(error.get());
    return done ? kSuccess : kFailure;
}

}  // namespace kest::platform::linux_desktop
