// Focus, choosing an entry, check boxes and values: acting on one element
// through accessibility attributes and actions, with input events only for a
// check box that has no action.
#pragma once

#include <string>

#include "common/pause.hpp"
#include "platform/platform.hpp"
#include "rpc/protocol.hpp"
#include "rpc/result.hpp"
#include "snapshot/snapshot_builder.hpp"

namespace kest {

// Stateless. Each operation looks the ref up first (-32001 when the last
// snapshot has no such ref); failed accessibility calls are never errors, they
// choose the next fallback or are told inside the result.
class Focus {
public:
    // AXFocused true, else AXPress. {"ok", "ref"}.
    static Result<Json> focus(platform::Accessibility& accessibility, const std::string& ref, const RefMap& refMap);

    // The first of: AXValue set to the value; pressing the first child whose
    // title or value equals it ("method": "child_press"); pressing the element
    // to open it and then the first child whose title equals it
    // ("popup_select"); else "set_value_attempted". {"ok", "ref", "value"}.
    static Result<Json> select(platform::Accessibility& accessibility, Pause& pause, const std::string& ref,
                               const std::string& value, const RefMap& refMap);

    // Presses the element unless its value reads 1 (check) or only when it
    // does (uncheck); the result states the state asked for. An element that
    // refuses the press (a GTK 4 check button has no action) is clicked at its
    // centre, and one whose position cannot be read then fails as a click on
    // it would (Actions::locate).
    static Result<Json> check(platform::Platform& platform, const std::string& ref, const RefMap& refMap);
    static Result<Json> uncheck(platform::Platform& platform, const std::string& ref, const RefMap& refMap);

    // A value in the C locale's floating-point syntax is written as a number
    // first; otherwise, or when that is refused, as the string. A refused
    // string adds "note". {"ok", "ref", "value"}.
    static Result<Json> setValue(platform::Accessibility& accessibility, const std::string& ref,
                                 const std::string& value, const RefMap& refMap);

    // The whole text as a C-locale floating-point number: optional sign, then
    // decimal digits with optional point and exponent, a 0x hexadecimal form,
    // or inf, infinity, nan in any case; no white space, nothing left over.
    // Independent of the process's locale.
    static std::optional<double> parseNumber(std::string_view text);

private:
    static Result<Json> toggleTo(platform::Platform& platform, const std::string& ref, const RefMap& refMap,
                                 bool checked);
};

}  // namespace kest
