// The clipboard: reading its plain text, replacing it, and copying the front
// application's selection into it.
#pragma once

#include <string>

#include "common/pause.hpp"
#include "platform/platform.hpp"
#include "rpc/protocol.hpp"
#include "rpc/result.hpp"

namespace kest {

// Stateless; takes no lock on the clipboard, which every application shares.
class ClipboardManager {
public:
    // {"ok", "text"}: the plain text, or null when the clipboard holds none.
    static Json read(platform::Pasteboard& pasteboard);
    // Replaces everything on the clipboard with the text. {"ok"}; -32600 when
    // the clipboard would not take the text, and then it is left empty.
    static Result<Json> set(platform::Pasteboard& pasteboard, std::string text);
    // The replacement itself: true when the text is on the clipboard; false
    // when it would not take it, and then the clipboard is emptied, so that
    // no older text stays behind to be pasted in its place.
    static bool replace(platform::Pasteboard& pasteboard, std::string text);
    // Presses cmd+c in the front application, waits 0.1 s, and reads: the text
    // it copied, or what was there before when it copied nothing.
    static Result<Json> copy(platform::Platform& platform, Pause& pause);
};

}  // namespace kest
