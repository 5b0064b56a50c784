// The key table, the shifted characters and the modifier names.
#include "input/keys.hpp"

#include <array>
#include <utility>

#include "common/text.hpp"

namespace kest {
namespace {

namespace Flag = platform::EventFlag;

constexpr std::pair<std::string_view, platform::EventFlags> MODIFIER_NAMES[] = {
    {"cmd", Flag::kCommand},  {"command", Flag::kCommand}, {"shift", Flag::kShift},
    {"opt", Flag::kOption},   {"option", Flag::kOption},   {"alt", Flag::kOption},
    {"ctrl", Flag::kControl}, {"control", Flag::kControl}, {"fn", Flag::kFunction},
};

}  // namespace

const std::map<std::string, platform::KeyCode, std::less<>>& KEY_MAP() {
    static const std::map<std::string, platform::KeyCode, std::less<>> table = {
        {"return", 36}, {"enter", 36}, {"tab", 48}, {"space", 49}, {"delete", 51}, {"backspace", 51},
        {"escape", 53}, {"esc", 53},   {"f1", 122}, {"f2", 120},   {"f3", 99},     {"f4", 118},
        {"f5", 96},     {"f6", 97},    {"f7", 98},  {"f8", 100},   {"f9", 101},    {"f10", 109},
        {"f11", 103},   {"f12", 111},  {"up", 126}, {"down", 125}, {"left", 123},  {"right", 124},
        {"home", 115},  {"end", 119},  {"pageup", 116}, {"pagedown", 121}, {"forwarddelete", 117},
        {"a", 0},  {"b", 11}, {"c", 8},  {"d", 2},  {"e", 14}, {"f", 3},  {"g", 5},  {"h", 4},  {"i", 34},
        {"j", 38}, {"k", 40}, {"l", 37}, {"m", 46}, {"n", 45}, {"o", 31}, {"p", 35}, {"q", 12}, {"r", 15},
        {"s", 1},  {"t", 17}, {"u", 32}, {"v", 9},  {"w", 13}, {"x", 7},  {"y", 16}, {"z", 6},
        {"0", 29}, {"1", 18}, {"2", 19}, {"3", 20}, {"4", 21}, {"5", 23}, {"6", 22}, {"7", 26}, {"8", 28},
        {"9", 25}, {"-", 27}, {"=", 24}, {"[", 33}, {"]", 30}, {"\\", 42}, {";", 41}, {"'", 39}, {",", 43},
        {".", 47}, {"/", 44}, {"`", 50},
        {"shift", 56}, {"cmd", 55}, {"command", 55}, {"opt", 58}, {"option", 58}, {"alt", 58},
        {"ctrl", 59}, {"control", 59}, {"fn", 63},
    };
    return table;
}

const std::map<std::string, std::string, std::less<>>& SHIFT_CHARS() {
    static const std::map<std::string, std::string, std::less<>> table = {
        {"!", "1"}, {"@", "2"}, {"#", "3"}, {"$", "4"}, {"%", "5"}, {"^", "6"}, {"&", "7"},
        {"*", "8"}, {"(", "9"}, {")", "0"}, {"_", "-"}, {"+", "="}, {"{", "["}, {"}", "]"},
        {"|", "\\"}, {":", ";"}, {"\"", "'"}, {"<", ","}, {">", "."}, {"?", "/"}, {"~", "`"},
    };
    return table;
}

bool isModifier(std::string_view name) {
    for (const auto& [modifier, mask] : MODIFIER_NAMES) {
        if (modifier == name) return true;
    }
    return false;
}

std::optional<platform::EventFlags> modifierMask(std::string_view name) {
    const std::string lowered = lowercased(name);
    for (const auto& [modifier, mask] : MODIFIER_NAMES) {
        if (modifier == lowered) return mask;
    }
    return std::nullopt;
}

platform::EventFlags buildModifierFlags(std::span<const std::string> names) {
    platform::EventFlags flags = 0;
    for (const auto& name : names) flags |= modifierMask(name).value_or(0);
    return flags;
}

}  // namespace kest
