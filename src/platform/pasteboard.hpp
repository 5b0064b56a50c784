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
    // Puts the text on the pasteboard as plain text; true when done.
    virtual bool writeText(const std::string& text) = 0;
};

}  // namespace kest::platform
