// Draws from getrandom(2).
#include "common/randomness.hpp"

#include <sys/random.h>

#include <cerrno>

namespace kest {

std::uint64_t SystemRandomness::draw64() {
    std::uint64_t value = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(&value);
    std::size_t filled = 0;
    while (filled < sizeof value) {
        const ssize_t n = ::getrandom(bytes + filled, sizeof value - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            // No entropy source at all (a kernel without getrandom, a
            // sandbox refusing it). A draw of 0 keeps every caller's
            // arithmetic defined; available() reports the failure.
            failed_ = true;
            return 0;
        }
        filled += static_cast<std::size_t>(n);
    }
    return value;
}

bool SystemRandomness::available() {
    if (!failed_) (void)draw64();
    return !failed_;
}

std::uint64_t SystemRandomness::draw53() {
    // 2^53 + 1 outcomes: take 54 bits and draw again above the range, which
    // keeps every outcome equally likely.
    for (;;) {
        const std::uint64_t k = draw64() >> 10;
        if (k <= TWO_POW_53) return k;
    }
}

bool SystemRandomness::coin() { return (draw64() & 1) != 0; }

}  // namespace kest
