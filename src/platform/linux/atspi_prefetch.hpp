// A copy of one window's accessibility tree fetched in a few round trips, so
// that a snapshot walk costs a handful of calls instead of several per element.
//
// How: org.a11y.atspi.Cache.GetItems gives role, name, description, states,
// child count, interfaces and parent of every node the application has
// announced, in one call; where a node's listed children add up to its child
// count, those are its children. Nodes it does not list (table cells, some
// popovers; every node of a Qt 5 application, whose cache lists nothing) are
// patched in with Accessible.GetChildren and their own reads. GTK 4 lists only
// the objects it has made, and makes a widget's children's as they are first
// asked for; its GetChildren leaves out stack pages: there children missing
// from the listing are asked by index, as one-at-a-time reads ask them. The
// extents of every node, and the text, current value and selected child of
// the nodes the plan names, are requested without waiting for each answer;
// each call is sent as soon as the walk down from the root knows it is
// needed, so the application is never left idle between steps. Only what a
// walk within the plan's bounds reads is asked for (a snapshot stops at 500
// elements; GTK 4's widget factory has twice as many nodes). A GTK 3 widget
// whose states say it is not showing answers GetExtents with "no position"
// and nothing else, so that answer is taken without asking. The element
// handles are the very objects libatspi hands out for one-at-a-time reads:
// taken from its table of known objects, or made the way libatspi makes the
// objects of any answer when some are not there yet, from their references
// and without a call. Any fact that could not be fetched is left out, and a
// reader falls back to asking the application for it; an application that
// lets one call time out is treated as not answering at all (every lookup
// answers kCannotComplete), so a stopped application costs one timeout, not
// one per read.
//
// The calls go over libdbus on a direct connection to the application where
// it offers one (as libatspi's own calls do), else over libatspi's connection
// to the accessibility bus; answers are taken on the calling thread.
//
// Ownership: AtspiPrefetcher owns its direct connections and makes
// AtspiPrefetch values, which own their handles. Threading: the request
// thread, like libatspi.
#pragma once

#include <chrono>
#include <cstdint>
#include "common/expected.hpp"
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/accessibility.hpp"
#include "platform/geometry.hpp"
#include "platform/linux/atspi_handles.hpp"
#include "platform/linux/atspi_reader.hpp"
#include "platform/linux/dbus_calls.hpp"


namespace kest::platform::linux_desktop {

// Which nodes' text, current value and selected child a fetch asks for: a
// reader that will only read them for some roles says so, and the rest are
// left out of the copy (read from the application should they ever be asked
// for). Empty text and value filters: every node that has the interface; an
// empty selection filter: none. `bounds`: how far the walk that reads the
// copy goes; what it will not reach is left out.
struct AtspiFetchPlan {
    std::function<bool(AtspiRole)> wantsText = {};
    std::function<bool(AtspiRole)> wantsValue = {};
    std::function<bool(AtspiRole)> wantsSelection = {};  // empty: no node's
    TreeWalkBounds bounds = {};
};

class AtspiPrefetch {
public:
    template <class T>
    using Lookup = std::optional<std::expected<T, Status>>;  // nothing: not in the copy, ask the application

    ~AtspiPrefetch();
    AtspiPrefetch(const AtspiPrefetch&) = delete;
    AtspiPrefetch& operator=(const AtspiPrefetch&) = delete;

    Lookup<AtspiRole> role(AtspiAccessible* element) const;
    Lookup<std::string> name(AtspiAccessible* element) const;
    Lookup<std::string> description(AtspiAccessible* element) const;
    Lookup<StateSet> states(AtspiAccessible* element) const;
    Lookup<int> childCount(AtspiAccessible* element) const;
    Lookup<std::vector<AccessiblePtr>> children(AtspiAccessible* element) const;
    Lookup<AccessiblePtr> parent(AtspiAccessible* element) const;
    Lookup<Rect> extents(AtspiAccessible* element) const;
    Lookup<std::string> text(AtspiAccessible* element) const;
    Lookup<double> currentValue(AtspiAccessible* element) const;
    // The first selected child (Selection interface); null when there is none.
    Lookup<AccessiblePtr> selectedChild(AtspiAccessible* element) const;

    std::size_t size() const { return nodes_.size(); }
    // True when the application let a call time out during the fetch.
    bool unresponsive() const { return unresponsive_; }

    struct Node;

private:
    friend class AtspiPrefetcher;
    AtspiPrefetch();
    const Node* find(AtspiAccessible* element) const;
    template <class T, class Get>
    Lookup<T> lookup(AtspiAccessible* element, Get get) const;

    std::string busName_;
    std::unordered_map<std::string, std::unique_ptr<Node>> nodes_;  // by object path
    std::unordered_map<AtspiAccessible*, const Node*> byHandle_;    // the nodes' own handles
    AccessiblePtr rootParent_;                                      // null: read live
    std::unordered_map<std::string, AccessiblePtr> selected_;       // selected children, by path
    bool unresponsive_ = false;
};

class AtspiPrefetcher {
public:
    explicit AtspiPrefetcher(std::chrono::milliseconds timeout = AtspiReader::DEFAULT_TIMEOUT);
    ~AtspiPrefetcher();
    AtspiPrefetcher(const AtspiPrefetcher&) = delete;
    AtspiPrefetcher& operator=(const AtspiPrefetcher&) = delete;

    // The tree below `root`, root included; nothing when the accessibility bus
    // or the application's cache cannot be reached (reads then go one by one).
    std::unique_ptr<AtspiPrefetch> fetch(const AccessiblePtr& root, const AtspiFetchPlan& plan = {});

    // A session for Accessibility::beginTreeRead: installs a fetch of `root` in
    // the reader until the session is dropped. Nothing when there is no fetch.
    std::unique_ptr<TreeReadSession> beginTreeRead(AtspiReader& reader, const AccessiblePtr& root,
                                                   const AtspiFetchPlan& plan = {});

private:
    // A direct connection to the application, when it offers one; kept per
    // bus name while the application is there. `timedOut`: it did not answer.
    DBusConnection* peerConnection(const std::string& busName, bool& timedOut);

    std::chrono::milliseconds timeout_;
    std::unordered_map<std::string, DBusPrivateConnectionPtr> peers_;
};

}  // namespace kest::platform::linux_desktop
