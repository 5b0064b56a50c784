// Searching a fresh snapshot for elements by text and short role.
#pragma once

#include <optional>
#include <string>

#include "desktop/window_manager.hpp"
#include "platform/platform.hpp"
#include "rpc/protocol.hpp"
#include "rpc/result.hpp"
#include "snapshot/snapshot_builder.hpp"

namespace kest {

class Find {
public:
    struct Query {
        std::optional<std::string> text;  // lowercased substring of the label, else the value
        std::optional<std::string> role;  // exact short role
        bool first = false;
        std::optional<std::string> windowRef;  // else the grabbed window
        std::optional<std::string> appName;
        std::optional<std::string> grabbedWindow;
    };

    // {"ok", "elements", "count"}: the matching records without their
    // children, in document order. Builds a full snapshot, replacing the
    // builder's ref map. An empty text matches every record.
    static Result<Json> find(platform::Platform& platform, const WindowManager& windowManager,
                             SnapshotBuilder& snapshotBuilder, const Query& query);

    static bool matches(const Json& record, const Query& query);
    static void searchElements(const Json& elements, const Query& query, Json& matches);
};

}  // namespace kest
