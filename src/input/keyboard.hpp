// Typing text, filling a text element, pressing key combinations and holding
// single keys, all as synthetic key events.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/pause.hpp"
#include "platform/platform.hpp"
#include "rpc/protocol.hpp"
#include "rpc/result.hpp"
#include "snapshot/snapshot_builder.hpp"

namespace kest {

// Stateless. Events go through the platform's event service in posting order;
// every wait goes through the pause.
class Keyboard {
public:
    // One combination such as "cmd+shift+t", lowercased and split on "+":
    // modifier names become the mask, the last other piece is the key. With
    // modifiers only, the last of them is the key ("cmd" presses the command
    // key itself, "cmd+shift" the shift key with the command mask). A key
    // missing from KEY_MAP posts nothing.
    static void pressKey(platform::Events& events, std::string_view combo);

    // Types each user-perceived character in order: keys of KEY_MAP by code
    // (with shift for uppercase letters and SHIFT_CHARS), every other
    // character as text on key code 0. With a delay of at least 1 ms, pauses
    // that long after every character. {"ok", "length"}: the number of
    // characters.
    static Result<Json> typeText(platform::Events& events, Pause& pause, std::string_view text,
                                 std::optional<std::int64_t> delayMs);
    // Types one user-perceived character as typeText does.
    static void typeCharacter(platform::Events& events, const std::string& character);

    // Sets the element's value; when it refuses, focuses it, selects all and
    // types the text. {"ok", "ref", "method": "ax_set_value" | "focus_select_type"}.
    static Result<Json> fill(platform::Platform& platform, Pause& pause, const std::string& ref,
                             const std::string& text, const RefMap& refMap);

    // Presses the combination `repeat` times (a negative count as 0, more
    // than 1000 refused with -32602), pausing the delay (else 0.05 s) between
    // presses. {"ok", "combo", "count"}.
    static Result<Json> key(platform::Events& events, Pause& pause, const std::string& combo, std::int64_t repeat,
                            std::optional<std::int64_t> delayMs);

    // One key-down or key-up of a KEY_MAP key; a modifier key carries its own
    // mask. {"ok", "key" (as written), "action"}.
    static Result<Json> keyUpDown(platform::Events& events, const std::string& key, bool down);

    // Puts the text on the clipboard, presses cmd+v, and then puts back the
    // plain text the clipboard held before (leaving it empty when it held
    // none). Nothing is pressed when the clipboard refuses the text (-32600).
    // {"ok", "length"}: the number of characters.
    static Result<Json> paste(platform::Platform& platform, Pause& pause, const std::string& text);
};

}  // namespace kest
