// Line splitting for the daemon's connections.
#include "rpc/line_buffer.hpp"

#include <algorithm>

namespace kest {

void LineBuffer::append(std::string_view bytes) {
    // Drop consumed bytes once they are the larger part, so a long stream of
    // short lines costs linear time and bounded memory.
    if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(0, start_);
        scanned_ -= start_;
        start_ = 0;
    }
    buffer_.append(bytes);
}

std::optional<std::string_view> LineBuffer::nextLine() {
    std::size_t from = std::max(start_, scanned_);
    std::size_t lineFeed = buffer_.find('\n', from);
    if (lineFeed == std::string::npos) {
        scanned_ = buffer_.size();
        return std::nullopt;
    }
    std::string_view line(buffer_.data() + start_, lineFeed - start_);
    start_ = lineFeed + 1;
    scanned_ = start_;
    return line;
}

}  // namespace kest
