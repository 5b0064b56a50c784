// Reading and operating accessible elements over libatspi, with every GError
// and sentinel turned into a status or an absent value at this edge.
//
// Ownership: returns shared accessible handles; holds none itself.
// Threading: libatspi is not free-threaded: one thread at a time (the request
// thread under the dispatch lock). Every call gives up after the messaging
// timeout, so a stopped or busy application costs at most that long per call.
// libatspi's client-side cache is never trusted for children (it has been
// seen to drop and duplicate nodes); reads go to the application. Actions go
// over a connection of their own (doAction).
#pragma once

#include <chrono>
#include <cstdint>
#include "common/expected.hpp"
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/accessibility.hpp"
#include "platform/geometry.hpp"
#include "platform/linux/atspi_handles.hpp"
#include "platform/linux/atspi_roles.hpp"

namespace kest::platform::linux_desktop {

// The states of one element as a bit set over AtspiStateType.
class StateSet {
public:
    StateSet() = default;
    explicit StateSet(std::uint64_t bits) : bits_(bits) {}
    bool has(AtspiStateType state) const { return (bits_ >> static_cast<unsigned>(state)) & 1U; }
    std::uint64_t bits() const { return bits_; }

private:
    std::uint64_t bits_ = 0;
};

// The status for a failed libatspi call: a timeout is kCannotComplete, a
// vanished application or object kInvalidElement, anything else kFailure.
Status statusFromError(const GError* error);

class AtspiPrefetch;

class AtspiReader {
public:
    static constexpr std::chrono::milliseconds DEFAULT_TIMEOUT{2000};

    // Initialises libatspi (once per process). Nothing when the accessibility
    // bus cannot be reached.
    static std::unique_ptr<AtspiReader> connect(std::chrono::milliseconds timeout = DEFAULT_TIMEOUT);

    // Applies to every later call, for every application.
    void setTimeout(std::chrono::milliseconds timeout);
    std::chrono::milliseconds timeout() const { return timeout_; }

    // While set, reads of the elements a prefetch holds are answered from it
    // (atspi_prefetch.hpp); every other read still goes to the application.
    // Not owned; the setter clears it before the prefetch goes.
    void setPrefetch(const AtspiPrefetch* prefetch) { prefetch_ = prefetch; }

    // The applications registered on the bus.
    std::expected<std::vector<AccessiblePtr>, Status> applications();
    // The registered application of a process; empty when there is none.
    AccessiblePtr applicationForPid(int pid);

    std::expected<AtspiRole, Status> role(AtspiAccessible* element);
    std::expected<std::string, Status> name(AtspiAccessible* element);
    std::expected<std::string, Status> description(AtspiAccessible* element);
    std::expected<StateSet, Status> states(AtspiAccessible* element);
    std::expected<int, Status> childCount(AtspiAccessible* element);
    std::expected<std::vector<AccessiblePtr>, Status> children(AtspiAccessible* element);
    std::expected<AccessiblePtr, Status> parent(AtspiAccessible* element);
    std::expected<int, Status> processId(AtspiAccessible* element);

    // Screen coordinates; kAttributeUnsupported without a Component, kNoValue
    // for an element that is not laid out (off-screen menus report G_MININT).
    std::expected<Rect, Status> extents(AtspiAccessible* element);
    // The whole text (Text interface).
    std::expected<std::string, Status> text(AtspiAccessible* element);
    // The Value interface's current value.
    std::expected<double, Status> currentValue(AtspiAccessible* element);
    // The first selected child (Selection interface); null when none is.
    std::expected<AccessiblePtr, Status> selectedChild(AtspiAccessible* element);
    std::expected<std::vector<std::string>, Status> actionNames(AtspiAccessible* element);

    // The AX role name, with the context the role table needs (states, an
    // editable child, the parent's role) read from the application.
    std::expected<std::string_view, Status> axRole(AtspiAccessible* element);

    Status doAction(AtspiAccessible* element, int index);
    // The first action named click, press, activate, toggle or jump, else
    // action 0; kActionUnsupported without actions.
    Status press(AtspiAccessible* element);
    Status setText(AtspiAccessible* element, const std::string& text);
    Status setCurrentValue(AtspiAccessible* element, double value);
    Status grabFocus(AtspiAccessible* element);
    // Selects the child at the index (Selection interface); a combo box
    // makes that entry of its pop-up the chosen one.
    Status selectChild(AtspiAccessible* element, int index);

private:
    explicit AtspiReader(std::chrono::milliseconds timeout) { setTimeout(timeout); }

    std::chrono::milliseconds timeout_{DEFAULT_TIMEOUT};
    const AtspiPrefetch* prefetch_ = nullptr;
    // Process ids by unique bus name: a connection's process never changes
    // and its name is never given to another. An entry goes when its
    // application is no longer registered.
    std::map<std::string, int> processIds_;
    // Direct-connection addresses by unique bus name (empty: none offered),
    // dropped with the process ids.
    std::map<std::string, std::string> busAddresses_;

    // DoAction over a direct connection opened for it; nothing when the
    // application offers none or answered with an error.
    std::optional<Status> doActionOnOwnConnection(AtspiAccessible* element, int index);
    // `timedOut`: the application did not answer.
    std::string applicationBusAddress(const std::string& busName, bool& timedOut);
};

}  // namespace kest::platform::linux_desktop
