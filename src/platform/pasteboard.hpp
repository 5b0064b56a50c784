// The general pasteboard (clipboard), plain text only.
#pragma once

#include <optional>
#include <string>

namespace kest::platform {

// Threading: request thread. Backends that must keep serving the text to other
// applications after a write (an X selection owner) do so on a thread of their
// own, and keep serving it while the request thread sleeps.
class Pasteboard {
public:
    virtual ~Pasteboard() = default;
    // The plain text on the pasteboard; nothing when it holds none (an image, or
    // nothing at all). An empty text is a text.
    virtual std::optional<std::string> readText() = 0;
    // Empties the pasteboard of every kind of content.
    virtual void clear() = 0;
    // Replaces everything on the pasteboard with the text, as plain text, in
    // one step (no reader sees it empty in between); true when done. After a
    // failure the pasteboard may still hold what it held before.
    virtual bool writeText(std::string text) = 0;
};

}  // namespace kest::platform
