// Case-insensitive text matching.
#include "common/text.hpp"

#include <algorithm>

namespace kest {

std::string lowercased(std::string_view text) {
    std::string out(text);
    std::ranges::transform(out, out.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return out;
}

bool containsIgnoringCase(std::string_view haystack, std::string_view needle) {
    return lowercased(haystack).find(lowercased(needle)) != std::string::npos;
}

}  // namespace kest
