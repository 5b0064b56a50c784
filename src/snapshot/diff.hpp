// Comparing a fresh snapshot of the window with the last one taken.
#pragma once

#include <optional>
#include <set>
#include <string>

#include "desktop/window_manager.hpp"
#include "platform/platform.hpp"
#include "rpc/protocol.hpp"
#include "rpc/result.hpp"
#include "snapshot/snapshot_builder.hpp"

namespace kest {

// Stateless; the handlers pass the dispatcher's state in. Both operations
// build a new compact snapshot with the builder (replacing its ref map) and
// compare it with `lastSnapshotData`, which they never change.
class Diff {
public:
    struct Inputs {
        std::optional<std::string> windowRef;  // else the grabbed window
        std::optional<std::string> appName;
        std::optional<std::string> grabbedWindow;
        const std::optional<Json>* lastSnapshotData = nullptr;
    };

    // {"ok", "changed"} and, when changed, "added_count" and "removed_count".
    static Result<Json> changed(platform::Platform& platform, const WindowManager& windowManager,
                                SnapshotBuilder& snapshotBuilder, const Inputs& inputs);
    // {"ok", "changed", "added", "removed"} with simplified records.
    static Result<Json> diff(platform::Platform& platform, const WindowManager& windowManager,
                             SnapshotBuilder& snapshotBuilder, const Inputs& inputs);

    // "role|label|value|ref". `container` marks a record made for an
    // interactive snapshot's container, whose null value never equals another
    // record's null.
    static std::string elementSignature(const Json& record, bool container = false);
    static Json simplifyElement(const Json& record);
    // Every record of the tree or list, depth first, kept whole.
    static Json flattenElements(const Json& elements);
    static Json extractElementList(const Json& snapshot);
    static std::set<std::string> extractElementSignatures(const Json& snapshot);

    // The key under which the snapshot method marks a stored interactive
    // snapshot, so that its containers can be told from ordinary records.
    static constexpr const char* INTERACTIVE_MARK = "interactive";
};

}  // namespace kest
