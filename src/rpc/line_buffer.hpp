// Cuts a byte stream into newline-terminated lines, with a bound on how long a
// line may grow while it waits for its line feed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kest {

class LineBuffer {
public:
    explicit LineBuffer(std::size_t maxLineBytes) : maxLineBytes_(maxLineBytes) {}

    void append(std::string_view bytes);

    // The next complete line, without its line feed. The view stays valid
    // until the next append.
    std::optional<std::string_view> nextLine();

    // True when the unterminated rest of the stream is longer than a line may
    // be. Meaningful after nextLine has returned nothing.
    bool overflowed() const { return buffer_.size() - start_ > maxLineBytes_; }

    std::size_t pendingBytes() const { return buffer_.size() - start_; }

private:
    std::string buffer_;
    std::size_t start_ = 0;    // first byte not yet handed out
    std::size_t scanned_ = 0;  // bytes before this hold no line feed past start_
    std::size_t maxLineBytes_;
};

}  // namespace kest
