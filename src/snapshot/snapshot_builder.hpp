// Walks a window's accessibility tree into element records with refs, and
// keeps the ref map of the latest walk.
//
// Ownership: the dispatcher owns the one builder; the platform and window
// manager are passed to each build. Threading: one build at a time on the
// request thread (the daemon serialises dispatch); the per-build state lives
// in the fields.
//
// A build reads at most 500 elements. An application that does not answer
// within the messaging timeout would otherwise cost that timeout for every
// remaining read: after the first such timeout, the rest of the build's reads
// count as absent at once, so the answer holds what was read before.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "desktop/window_manager.hpp"
#include "platform/platform.hpp"
#include "rpc/protocol.hpp"
#include "rpc/result.hpp"
#include "snapshot/roles.hpp"

namespace kest {

using RefMap = std::map<std::string, platform::Element>;

struct SnapshotOptions {
    std::optional<std::string> windowRef;  // the grabbed window
    bool interactive = false;
    bool compact = false;
    std::optional<std::int64_t> depth;  // 50 when absent
    std::optional<std::string> subtree;
    std::optional<std::string> appName;
    std::optional<std::int32_t> pid;
};

class SnapshotBuilder {
public:
    static constexpr std::int64_t DEFAULT_DEPTH = 50;
    static constexpr double MESSAGING_TIMEOUT_SECONDS = 2.0;

    // The snapshot result {"snapshot_id", "window", "fallback", "elements"},
    // or the error that stopped it. Replaces the ref map once a window is found.
    Result<Json> build(platform::Platform& platform, const WindowManager& windowManager,
                       const SnapshotOptions& options);

    const RefMap& getRefMap() const { return refToElement; }

    // A pre-order list of the tree's records, none keeping "children".
    static Json flattenElements(const Json& elements);

    RefAssigner refAssigner;
    RefMap refToElement;
    std::int64_t elementCount = 0;
    static constexpr std::int64_t maxElements = 500;

private:
    Json walkTree(const platform::Element& element, std::int64_t depth, std::int64_t maxDepth, bool interactive);
    std::optional<Json> buildElementInfo(const platform::Element& element, std::int64_t depth,
                                         std::int64_t maxDepth, bool interactive);
    Json getWindowInfo(const platform::Element& window, std::int32_t pid);
    Json label(const platform::Element& element);
    std::optional<std::string> getStringAttribute(const platform::Element& element, std::string_view name);
    std::optional<bool> getBoolAttribute(const platform::Element& element, std::string_view name);
    Json getBounds(const platform::Element& element);
    platform::AttributeResult read(const platform::Element& element, std::string_view name);
    void resetWalk();

    // Set for the length of one build.
    platform::Platform* platform_ = nullptr;
    platform::Accessibility* accessibility_ = nullptr;
    bool unresponsive_ = false;
};

// The first running application whose name equals `name` ignoring case; else,
// for a few well-known names, the one with the matching bundle identifier;
// else the one whose bundle identifier equals `name` exactly.
std::optional<platform::RunningApplication> findSnapshotApp(platform::Workspace& workspace, std::string_view name);

// A number as JSON: an integer when the value is whole, so bounds read the same
// whichever kind the platform reported.
Json numberJson(double value);

}  // namespace kest
