// Queries on one element of the last snapshot (read, is, box, children) and
// the title of the grabbed window or the front application.
#pragma once

#include <optional>
#include <string>

#include "desktop/window_manager.hpp"
#include "platform/platform.hpp"
#include "rpc/protocol.hpp"
#include "rpc/result.hpp"
#include "snapshot/snapshot_builder.hpp"

namespace kest {

// Stateless. Every failed or mistyped read counts as absent; only an unknown
// ref (and an unknown state) is an error.
class Read {
public:
    static Result<Json> read(platform::Accessibility& accessibility, const std::string& ref,
                             const std::optional<std::string>& attr, const RefMap& refMap);
    static Result<Json> title(platform::Platform& platform, bool appMode, const std::optional<std::string>& grabbedWindow,
                              const WindowManager& windowManager);
    static Result<Json> isState(platform::Accessibility& accessibility, const std::string& state,
                                const std::string& ref, const RefMap& refMap);
    static Result<Json> box(platform::Accessibility& accessibility, const std::string& ref, const RefMap& refMap);
    static Result<Json> children(platform::Accessibility& accessibility, const std::string& ref,
                                 const RefMap& refMap);

    // A read value as the "read" query shows it: strings, numbers and booleans
    // as themselves; geometry, elements and other kinds as a text.
    static Json valueJson(const platform::Value& value);
};

// -32001 "Element not found: <ref>. Take a snapshot first."
RPCErrorData elementNotFound(const std::string& ref);

// The element of a ref, or the not-found error.
Result<platform::Element> resolveRef(const std::string& ref, const RefMap& refMap);

}  // namespace kest
