// Unicode text as people read it: case-insensitive matching, user-perceived
// characters (grapheme clusters) and their case, all from ICU.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kest {

// The text lowercased by the Unicode rules (root locale), so "ÄRGER" and
// "ärger" match; invalid UTF-8 is kept as it is.
std::string lowercased(std::string_view text);

// Whether `needle`, lowercased, occurs in `haystack`, lowercased.
bool containsIgnoringCase(std::string_view haystack, std::string_view needle);

// The user-perceived characters of UTF-8 text, in order, each as its UTF-8
// bytes: "e\u0301", a flag made of two regional indicators and an emoji with
// modifiers are one each, and so is a carriage return with its line feed.
std::vector<std::string> graphemeClusters(std::string_view text);
std::size_t graphemeCount(std::string_view text);

// Whether a character (one grapheme cluster) is uppercase: its first code
// point has the Unicode Uppercase property.
bool isUppercase(std::string_view character);

}  // namespace kest
