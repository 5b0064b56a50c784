// Case-insensitive text matching for names, labels and values.
#pragma once

#include <string>
#include <string_view>

namespace kest {

// ASCII letters lowered; every other byte (UTF-8 sequences included) kept, so
// non-ASCII text matches only as written.
std::string lowercased(std::string_view text);

// Whether `needle`, lowercased, occurs in `haystack`, lowercased.
bool containsIgnoringCase(std::string_view haystack, std::string_view needle);

}  // namespace kest
