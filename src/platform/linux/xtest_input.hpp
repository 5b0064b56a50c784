// Synthetic input through XTest: pointer motion and buttons, keys by the
// engine's 16-bit virtual key codes with modifier masks, Unicode text, wheel
// scrolling, and the pointer's location.
//
// Ownership: borrows the connection (which must outlive it); owns the spare
// keycodes it binds for characters the keymap lacks, and every key and button
// it holds down; when it is destroyed it releases those and restores the
// spares, once the client has read the keys typed on them. It reads (and
// drops) the events of its connection, so it wants a connection of its own.
// Threading: the connection's thread.
//
// Modifiers. An event with a mask is delivered with exactly the modifiers of
// its mask in effect: held modifier keys outside it are lifted, missing ones
// pressed, both from the event's down to its up; afterwards the keys the
// caller holds through this object are pressed again. An event without a mask
// leaves the held modifiers as they are. Modifier keys held through another
// device (a physical keyboard) or client are lifted but never pressed again:
// this object cannot know when their owner lets go, and pressing them from
// here would leave them stuck. It knows the keys it holds itself; the others
// cost a round trip to learn, so they are looked up at most every 250 ms.
//
// Printable keys type the character they carry on a US keyboard ("2" with
// shift is "@"), found on the server's current layout wherever it lies, with
// shift only when that layout's level needs it.
//
// Why the keymap is cached: it changes rarely, and the server tells every
// client when it does; this object re-reads it only after a change that is
// not one of its own bindings.
//
// Why spare keycodes stay bound: a client translates a key event with the
// keymap it fetches when it handles the event, which may be long after the
// server processed the key. Restoring right after typing could make a slow
// client read the key with the old map, so bindings stay until their keycode
// is needed for another character (least recently used first) or until this
// object goes. One empty keycode is left empty for other tools and other
// engine processes, which look for one to bind their own characters. A
// keycode whose latest key the client may not have handled yet is rebound
// only after the focused client answers a _NET_WM_PING sent behind that key (a
// client answers it only after reading every earlier event), or, for a client
// that does not take pings, after a short grace. Every binding makes every
// client re-read the keymap; a window manager may spend tens of milliseconds
// on each, so a long run of characters the keymap lacks keeps it busy.
#pragma once

#include <array>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <memory>
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

// The character a printable virtual key types on a US keyboard, shifted or
// not ("a"/"A", "1"/"!", "'"/"\""); nothing for keys that type no character of
// their own (Return, Tab, space, arrows, modifiers).
std::optional<char32_t> usCharacterForVirtualKey(std::uint16_t code, bool shifted);

// The keysym that types one Unicode code point: Latin-1 directly, line feed,
// carriage return and tab as Return and Tab, everything else 0x01000000 + code
// point.
KeySym keysymForCodePoint(char32_t codePoint);

// The keysyms that type a text, one per code point, except that a carriage
// return followed by a line feed is one Return.
std::vector<KeySym> keysymsForText(std::string_view utf8);

// Decodes UTF-8; invalid bytes become U+FFFD.
std::vector<char32_t> decodeUtf8(std::string_view text);

// The X modifier bits of an engine mask: shift → Shift, control and command →
// Control (command is the primary shortcut modifier here), option → the bit
// Alt sets, function → nothing.
unsigned int xModifierBits(std::uint64_t mask, unsigned int altBit);

// The modifier state an event asks for.
struct ModifierRequest {
    // True: exactly `bits`, held modifiers outside them lifted. False: `bits`
    // on top of whatever is held, nothing lifted.
    bool exact = false;
    unsigned int bits = 0;
    bool operator==(const ModifierRequest&) const = default;
};

// What a key event asks for. `levelNeedsShift`: the key's character lies on
// the shifted level of its keycode in the current layout. A modifier key's own
// modifier is never asked for (the key itself provides it), and a modifier key
// whose mask holds nothing else leaves the held modifiers alone, so that
// modifiers pressed one after another stay held together.
ModifierRequest modifierRequestForKey(std::uint16_t virtualKey, std::uint64_t mask, bool levelNeedsShift,
                                      unsigned int altBit);

// A modifier key that is down, and the modifier bits it sets.
struct HeldModifier {
    ::KeyCode keycode = 0;
    unsigned int bits = 0;
};

// The keys pressed to provide each modifier, and the bit Alt sets.
struct ModifierKeys {
    ::KeyCode shift = 0;
    ::KeyCode control = 0;
    ::KeyCode alt = 0;
    unsigned int altBit = Mod1Mask;
};

// The keys to release and to press (in that order) to go from `held` to the
// state `request` asks for.
struct ModifierPlan {
    std::vector<::KeyCode> release;
    std::vector<::KeyCode> press;
    bool operator==(const ModifierPlan&) const = default;
};
ModifierPlan planModifiers(const std::vector<HeldModifier>& held, const ModifierRequest& request,
                           const ModifierKeys& keys);

enum class ScrollUnits { line, pixel };

// Pixel scrolling on one wheel: one click per `pixelsPerClick`, the remainder
// carried from one event of a gesture to the next, so that twenty 1-pixel
// events scroll like one 20-pixel event. A gesture's first event clicks at
// least once (a small scroll still moves), and a change of direction starts a
// new gesture.
class WheelCarry {
public:
    explicit WheelCarry(int pixelsPerClick) : pixelsPerClick_(pixelsPerClick) {}
    // The clicks for `pixels` (signed), in its direction.
    int clicks(int pixels);
    void endGesture() { direction_ = 0; }

private:
    int pixelsPerClick_;
    int direction_ = 0;  // 0: no gesture under way
    long long balance_ = 0;  // pixels not yet turned into clicks; negative when clicked ahead
};

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
    // X buttons: 1 left, 2 middle, 3 right. With a mask, its modifiers are in
    // effect from the button's down to its up.
    void button(unsigned int button, bool down, std::uint64_t mask = 0);
    void click(int x, int y, unsigned int button, int count);

    // A key by virtual code. With a mask, its modifiers are in effect from the
    // key's down to its up. False when the code has no key here (the function
    // key) or no keycode could be bound for it.
    bool key(std::uint16_t virtualKey, bool down, std::uint64_t mask);
    // Types text exactly, character by character, with no modifier held but
    // the shift its layout level needs. False when a character could not be
    // bound.
    bool typeText(std::string_view utf8);

    // Positive vertical is up, positive horizontal is left. Pixel amounts
    // carry between the events of one gesture (see WheelCarry): pixel scrolls
    // less than 250 ms apart with no other input between them. With a mask,
    // its modifiers are in effect around the clicks.
    void scroll(ScrollUnits units, int vertical, int horizontal, std::uint64_t mask = 0);

    std::optional<std::pair<int, int>> pointerLocation();

    void sync() { x_.sync(); }
    // Asks the client with the input focus to answer a ping, which it does
    // once it has read every event sent before: the ping's number, or
    // nothing when no client has the focus or it does not take pings.
    std::optional<long> sendPing();
    // Whether that ping was answered; reads what has arrived, never waits.
    bool pingAnswered(long ping);
    int spareKeycodeCount() const { return static_cast<int>(spares_.size()); }

private:
    using Clock = std::chrono::steady_clock;

    explicit XTestInput(X11Connection& connection);

    struct KeyStroke {
        ::KeyCode keycode = 0;
        bool shift = false;
    };
    struct SpareBinding {
        ::KeyCode keycode = 0;
        KeySym keysym = NoSymbol;   // what this object bound there; NoSymbol: free
        std::uint64_t lastUse = 0;  // use counter; the least recently used is rebound first
        std::uint64_t lastPress = 0;  // serial of its latest press; 0: never pressed
        Clock::time_point pressedAt;
    };
    // Modifier keys lifted and pressed for one event, from its down to its up.
    struct ModifierOverride {
        std::vector<HeldModifier> held;  // the modifier keys down now
        std::vector<::KeyCode> lifted;   // held before, released for the event
        std::vector<::KeyCode> added;    // pressed for the event
    };
    // A key or button the caller holds down through this object.
    struct HeldInput {
        std::uint32_t id = 0;  // virtual key, or BUTTON_ID + X button
        ::KeyCode keycode = 0;  // the key pressed (0 for a button)
        std::optional<ModifierOverride> override;
    };
    static constexpr std::uint32_t BUTTON_ID = 0x10000;
    enum class PingAnswer { answered, unsupported, timedOut };

    void loadKeymap();
    void processEvents();
    void handleEvent(XEvent& event);
    bool onlyBoundSpares(int first, int count) const;

    std::optional<KeyStroke> strokeFor(KeySym keysym);
    std::optional<KeyStroke> bindableStroke(KeySym keysym);
    SpareBinding* victimSpare();
    void sendBindings();
    void writeSpares(const std::vector<::KeyCode>& keycodes);
    void waitUntilHandled(const SpareBinding& spare);
    PingAnswer pingFocusedClient(Clock::time_point deadline);
    Window pingTarget(Window focus);
    void notePress(::KeyCode keycode);

    std::vector<HeldModifier> heldModifiers();
    ModifierOverride beginOverride();
    void require(ModifierOverride& override, const ModifierRequest& request);
    void end(ModifierOverride& override);
    bool callerHolds(::KeyCode keycode) const;
    std::optional<HeldInput> takeHeld(std::uint32_t id);

    void fakeKey(::KeyCode keycode, bool down);
    void endScrollGesture();
    void restoreSpares();

    X11Connection& x_;
    int keysymsPerKeycode_ = 0;
    bool keymapStale_ = true;
    int xkbEventBase_ = -1;  // -1: no XKB; mapping changes then come as core MappingNotify
    std::unordered_map<KeySym, KeyStroke> keymap_;  // levels 1 and 2 of group 1, spares excluded
    std::array<unsigned int, 256> modifierBits_{};  // per keycode; locking keys excluded
    ModifierKeys modifierKeys_;
    std::vector<SpareBinding> spares_;
    // Spares given a new keysym that the server has not been sent yet: they go
    // out together, so that clients see one keymap change for many bindings.
    std::vector<::KeyCode> unsentBindings_;
    std::uint64_t useCounter_ = 0;
    std::uint64_t pressSerial_ = 0;
    std::uint64_t confirmedPress_ = 0;  // every spare press up to this one was handled
    std::vector<HeldInput> held_;
    std::bitset<256> ownDown_;      // keys this object has down, by keycode
    std::bitset<256> foreignDown_;  // keys down through other clients or devices, as last looked up
    Clock::time_point foreignCheckedAt_;
    WheelCarry verticalCarry_{PIXELS_PER_WHEEL_CLICK};
    WheelCarry horizontalCarry_{PIXELS_PER_WHEEL_CLICK};
    Clock::time_point lastPixelScroll_;
    bool watchingRoot_ = false;
    std::unordered_map<Window, Window> pingTargets_;  // focus window → window that takes pings (None: none)
    long pingToken_ = 0;
    // Pings sent and not yet answered, with the spare press each covers; the
    // latest answered ones.
    std::vector<std::pair<long, std::uint64_t>> pingsOut_;
    std::vector<long> pingsAnswered_;
    Window lastPingFocus_ = None;  // the focus window the latest ping went to
};

}  // namespace kest::platform::linux_desktop
