// The key and modifier names every input method shares: key names to virtual
// key codes, the characters typed with shift, and modifier names to masks.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/events.hpp"

namespace kest {

// Key name (lowercase) → virtual key code: 85 names for 78 codes. Built once,
// on first use, never changed.
const std::map<std::string, platform::KeyCode, std::less<>>& KEY_MAP();

// Character → the name of the key that types it with shift held (21 entries).
const std::map<std::string, std::string, std::less<>>& SHIFT_CHARS();

// Exactly "cmd", "command", "shift", "opt", "option", "alt", "ctrl",
// "control", "fn" (as written: callers lowercase first where they mean to).
bool isModifier(std::string_view name);

// The mask of one modifier name, lowercased first; nothing for other names.
// "fn" has the function mask here: only a key-down of fn itself carries none.
std::optional<platform::EventFlags> modifierMask(std::string_view name);

// The OR of the masks of the names (each lowercased); other names are ignored.
platform::EventFlags buildModifierFlags(std::span<const std::string> names);

}  // namespace kest
