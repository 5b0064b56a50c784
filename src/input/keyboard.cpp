// Key combinations, typing, filling and single keys.
#include "input/keyboard.hpp"

#include <algorithm>
#include <vector>

#include "common/text.hpp"
#include "input/clipboard.hpp"
#include "input/keys.hpp"
#include "snapshot/read.hpp"

namespace kest {
namespace {

namespace p = platform;

constexpr auto FOCUS_SETTLE = std::chrono::milliseconds(100);
constexpr auto SELECT_SETTLE = std::chrono::milliseconds(50);
constexpr auto REPEAT_INTERVAL = std::chrono::milliseconds(50);
// Repeats beyond this are refused: at the usual interval they would hold the
// request for most of a minute already.
constexpr std::int64_t MOST_REPEATS = 1000;
constexpr auto BEFORE_PASTE = std::chrono::milliseconds(50);
constexpr auto AFTER_PASTE = std::chrono::milliseconds(100);

std::vector<std::string> splitCombo(std::string_view combo) {
    std::vector<std::string> pieces;
    const std::string lowered = lowercased(combo);
    std::size_t start = 0;
    while (start <= lowered.size()) {
        const std::size_t end = std::min(lowered.find('+', start), lowered.size());
        if (end > start) pieces.push_back(lowered.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

// Adds a down and an up of the code with the mask; nothing when either event
// cannot be made.
void addKeyPair(p::Events& events, std::vector<p::Event>& out, p::KeyCode code, p::EventFlags flags,
                const std::string& text = {}) {
    auto down = events.createKeyEvent(code, true);
    auto up = events.createKeyEvent(code, false);
    if (!down || !up) return;
    down->flags = up->flags = flags;
    down->text = up->text = text;
    out.emplace_back(std::move(*down));
    out.emplace_back(std::move(*up));
}

void postKeyPair(p::Events& events, p::KeyCode code, p::EventFlags flags) {
    std::vector<p::Event> pair;
    addKeyPair(events, pair, code, flags);
    events.postAll(pair);
}

// The events that type one user-perceived character.
void addCharacter(p::Events& events, std::vector<p::Event>& out, const std::string& character) {
    std::string keyName = lowercased(character);
    bool shift = isUppercase(character);
    if (auto shifted = SHIFT_CHARS().find(character); shifted != SHIFT_CHARS().end()) {
        keyName = shifted->second;
        shift = true;
    }
    if (auto code = KEY_MAP().find(keyName); code != KEY_MAP().end()) {
        addKeyPair(events, out, code->second, shift ? p::EventFlag::kShift : 0);
    } else {
        addKeyPair(events, out, 0, 0, character);
    }
}

}  // namespace

void Keyboard::pressKey(p::Events& events, std::string_view combo) {
    std::vector<std::string> modifiers;
    std::optional<std::string> key;
    for (auto& piece : splitCombo(combo)) {
        if (isModifier(piece)) {
            modifiers.push_back(std::move(piece));
        } else {
            key = std::move(piece);
        }
    }
    if (!key && !modifiers.empty()) {
        key = std::move(modifiers.back());
        modifiers.pop_back();
    }
    if (!key) return;
    auto code = KEY_MAP().find(*key);
    if (code == KEY_MAP().end()) return;
    postKeyPair(events, code->second, buildModifierFlags(modifiers));
}

Result<Json> Keyboard::typeText(p::Events& events, Pause& pause, std::string_view text,
                                std::optional<std::int64_t> delayMs) {
    const auto clusters = graphemeClusters(text);
    const bool pauses = delayMs && *delayMs >= 1;
    std::vector<p::Event> typed;
    for (const std::string& character : clusters) {
        addCharacter(events, typed, character);
        if (!pauses) continue;
        events.postAll(typed);
        typed.clear();
        if (!pause.sleepFor(Pause::milliseconds(*delayMs))) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
    }
    // Without pauses the whole text goes in one delivery.
    events.postAll(typed);
    return Json{{"ok", true}, {"length", clusters.size()}};
}

void Keyboard::typeCharacter(p::Events& events, const std::string& character) {
    std::vector<p::Event> typed;
    addCharacter(events, typed, character);
    events.postAll(typed);
}

Result<Json> Keyboard::fill(p::Platform& platform, Pause& pause, const std::string& ref, const std::string& text,
                            const RefMap& refMap) {
    auto element = resolveRef(ref, refMap);
    if (!element) return std::unexpected(element.error());
    auto& accessibility = platform.accessibility();
    if (accessibility.setAttribute(*element, p::AXAttribute::kValue, p::Value::string(text)) == p::StatusCode::kSuccess) {
        return Json{{"ok", true}, {"ref", ref}, {"method", "ax_set_value"}};
    }
    (void)accessibility.setAttribute(*element, p::AXAttribute::kFocused, p::Value::boolean(true));
    if (!pause.sleepFor(FOCUS_SETTLE)) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
    pressKey(platform.events(), "cmd+a");
    if (!pause.sleepFor(SELECT_SETTLE)) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
    auto typed = typeText(platform.events(), pause, text, std::nullopt);
    if (!typed) return typed;
    return Json{{"ok", true}, {"ref", ref}, {"method", "focus_select_type"}};
}

Result<Json> Keyboard::key(p::Events& events, Pause& pause, const std::string& combo, std::int64_t repeat,
                           std::optional<std::int64_t> delayMs) {
    const std::int64_t count = std::max<std::int64_t>(repeat, 0);
    if (count > MOST_REPEATS) {
        return fail(ErrorCode::kInvalidParams, "repeat must be at most " + std::to_string(MOST_REPEATS));
    }
    const Pause::Clock::duration interval = delayMs ? Pause::milliseconds(*delayMs) : REPEAT_INTERVAL;
    for (std::int64_t i = 0; i < count; ++i) {
        if (i > 0 && !pause.sleepFor(interval)) return fail(ErrorCode::kFailed, STOPPING_MESSAGE);
        pressKey(events, combo);
    }
    return Json{{"ok", true}, {"combo", combo}, {"count", count}};
}

Result<Json> Keyboard::keyUpDown(p::Events& events, const std::string& key, bool down) {
    const std::string name = lowercased(key);
    auto code = KEY_MAP().find(name);
    if (code == KEY_MAP().end()) return fail(ErrorCode::kInvalidParams, "Unknown key: " + key);
    auto event = events.createKeyEvent(code->second, down);
    if (!event) return fail(ErrorCode::kFailed, "Failed to create keyboard event");
    // A modifier key carries its own mask; the function key has none of its own.
    if (isModifier(name) && name != "fn") event->flags = modifierMask(name).value_or(0);
    events.post(*event);
    return Json{{"ok", true}, {"key", key}, {"action", down ? "down" : "up"}};
}

Result<Json> Keyboard::paste(p::Platform& platform, Pause& pause, const std::string& text) {
    auto& pasteboard = platform.pasteboard();
    const std::optional<std::string> saved = pasteboard.readText();
    Result<Json> outcome = Json{{"ok", true}, {"length", graphemeCount(text)}};
    if (!ClipboardManager::replace(pasteboard, text)) {
        outcome = fail(ErrorCode::kFailed, "Failed to put the text on the clipboard");
    } else {
        // Pauses cut short by stopping still restore what the user had.
        if (pause.sleepFor(BEFORE_PASTE)) {
            pressKey(platform.events(), "cmd+v");
            if (!pause.sleepFor(AFTER_PASTE)) outcome = fail(ErrorCode::kFailed, STOPPING_MESSAGE);
        } else {
            outcome = fail(ErrorCode::kFailed, STOPPING_MESSAGE);
        }
    }
    if (saved) {
        ClipboardManager::replace(pasteboard, *saved);
    } else {
        pasteboard.clear();
    }
    return outcome;
}

}  // namespace kest
