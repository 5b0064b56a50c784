// Short role names, ref prefixes, the interactive roles, and the per-prefix
// ref counter every snapshot walk numbers its elements with.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace kest {

// The short role of an accessibility role ("AXButton" -> "button"); "generic"
// for a role the table does not know.
std::string_view shortRole(std::string_view axRole);

// The ref prefix of a short role ("button" -> "b"); "e" for any other.
std::string_view refPrefix(std::string_view shortRole);

// Whether an interactive snapshot reports elements of this short role on
// their own (exact, case-sensitive names).
bool isInteractiveRole(std::string_view shortRole);

// Hands out refs: "@" + prefix + a counter per prefix, so roles that share a
// prefix (text fields and text areas, rows and cells...) share one sequence.
// Owned by the snapshot builder, which resets it before every walk.
class RefAssigner {
public:
    // Accepts an accessibility role ("AX..." is mapped first) or a short role.
    std::string assign(std::string_view role);
    void reset() { counters.clear(); }

    std::map<std::string, std::int64_t, std::less<>> counters;
};

}  // namespace kest
