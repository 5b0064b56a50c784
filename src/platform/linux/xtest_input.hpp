// Synthetic input through XTest: pointer motion and buttons, keys by the
// engine's 16-bit virtual key codes with modifier masks, Unicode text, wheel
// scrolling, and the pointer's location.
//
// Ownership: borrows the connection (which must outlive it); owns the spare
// keycodes it binds for characters the keymap lacks, and restores them when it
// is destroyed. Threading: the connection's thread.
//
// Why the spare keycodes stay bound: a client translates a key event with the
// keymap it fetches when it handles the mapping change, which may be long after
// the server processed the key. Restoring right after typing could make a slow
// client read the key with the old map, so bindings stay until their keycode
// is needed for another character (least recently used first) or until this
// object goes; a keycode rebound within one text waits for a short grace so
// that every character arrives intact and in order.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/linux/x11_connection.hpp"

namespace kest::platform::linux_desktop {

// Modifier masks, as the engine's events carry them.
namespace ModifierMask {
inline constexpr std::uint64_t kShift = 0x20000;
inline constexpr std::uint64_t kControl = 0x40000;
inline constexpr std::uint64_t kOption = 0x80000;
inline constexpr std::uint64_t kCommand = 0x100000;
inline constexpr std::uint64_t kFunction = 0x800000;
}  // namespace ModifierMask

// The X keysym for an engine virtual key code; nothing for codes without a
// counterpart (the function key) or outside the table.
std::optional<KeySym> keysymForVirtualKey(std::uint16_t code);

// The modifier keysyms held for a mask, in pressing order: shift → Shift_L,
// control and command → Control_L (command is the primary shortcut modifier
// here), option → Alt_L, function → nothing. Control_L appears once.
std::vector<KeySym> modifierKeysyms(std::uint64_t mask);

// The keysym that types one Unicode code point: Latin-1 directly, line feed
// and tab as Return and Tab, everything else 0x01000000 + code point.
KeySym keysymForCodePoint(char32_t codePoint);

// Decodes UTF-8; invalid bytes become U+FFFD.
std::vector<char32_t> decodeUtf8(std::string_view text);

enum class ScrollUnits { line, pixel };

class XTestInput {
public:
    // One wheel click per this many pixels of a pixel-unit scroll; about the
    // height of a line of text at the default font size.
    static constexpr int PIXELS_PER_WHEEL_CLICK = 40;

    // Nothing when the server lacks the XTest extension.
    static std::unique_ptr<XTestInput> create(X11Connection& connection);
    ~XTestInput();
    XTestInput(const XTestInput&) = delete;
    XTestInput& operator=(const XTestInput&) = delete;

    void moveTo(int x, int y);
    // X buttons: 1 left, 2 middle, 3 right.
    void button(unsigned int button, bool down);
    void click(int x, int y, unsigned int button, int count);

    // A key by virtual code. With a mask, the modifiers are pressed before a
    // key-down and released after the key-up. False when the code has no key.
    bool key(std::uint16_t virtualKey, bool down, std::uint64_t mask);
    // Types text exactly, character by character; returns once the server has
    // processed every event. False when a character could not be bound.
    bool typeText(std::string_view utf8);

    // Positive vertical is up, positive horizontal is left. Pixel amounts
    // become at least one click when not zero.
    void scroll(ScrollUnits units, int vertical, int horizontal);

    std::optional<std::pair<int, int>> pointerLocation();

    void sync() { x_.sync(); }
    int spareKeycodeCount() const { return static_cast<int>(spares_.size()); }

private:
    explicit XTestInput(X11Connection& connection);

    struct KeyStroke {
        ::KeyCode keycode = 0;
        bool shift = false;
    };
    struct SpareBinding {
        ::KeyCode keycode = 0;
        KeySym keysym = NoSymbol;
        std::uint64_t lastUse = 0;  // typeText generation
    };

    void loadKeymap();
    std::optional<KeyStroke> strokeFor(KeySym keysym);
    std::optional<::KeyCode> bindSpare(KeySym keysym, std::uint64_t generation);
    void pressModifiers(std::uint64_t mask, bool down);
    void tap(const KeyStroke& stroke);
    void restoreSpares();

    X11Connection& x_;
    int minKeycode_ = 8;
    int keysymsPerKeycode_ = 0;
    std::unordered_map<KeySym, KeyStroke> keymap_;  // levels 1 and 2 of group 1
    std::vector<SpareBinding> spares_;
    std::uint64_t generation_ = 0;
};

}  // namespace kest::platform::linux_desktop
