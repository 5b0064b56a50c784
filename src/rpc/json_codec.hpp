// JSON text to values and back, at the speed large texts need.
//
// The engine's values stay nlohmann::json documents. Reading goes through
// simdjson (which checks UTF-8 and nesting as it parses) and writing through
// RapidJSON's writer (which copies unescaped runs of a string in blocks):
// together about ten times faster than nlohmann's own lexer and serializer on
// a megabyte of text, which a clipboard or a large snapshot carries. The front
// links RapidJSON's reader instead of simdjson (see rpc/json_reading.hpp);
// both keep the contract below.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kest {

// Deeper nesting than this is refused while parsing, so that no recursive walk
// over a decoded value (normalising, writing, freeing) can exhaust the stack on
// hostile input.
inline constexpr std::size_t kMaxJsonNesting = 512;

// How a text ends. The front's reader scans strings in aligned 16-byte blocks
// only in text that ends in a NUL it may read past, up to the end of the
// block holding it (`padded`: a std::string given kJsonReadPadding bytes of
// spare room, see padForJsonReading); it copies any other text first.
enum class TextEnd { bare, padded };
inline constexpr std::size_t kJsonReadPadding = 16;
inline void padForJsonReading(std::string& text) { text.reserve(text.size() + kJsonReadPadding); }

// One JSON text (a whole document, surrounding white space allowed), or
// nothing when it is not JSON, is not well-formed UTF-8, or nests deeper than
// kMaxJsonNesting. Integers too large for 64 bits are read as floating values.
std::optional<nlohmann::json> decodeJson(std::string_view text, TextEnd end = TextEnd::bare);

// Whether the writer checks each string for well-formed UTF-8 (`trusted`:
// the caller has made sure, and a megabyte of text is not checked twice).
enum class Utf8Strings { check, trusted };

// Compact text: keys in the document's (sorted) order, no white space,
// non-ASCII characters as they are. A string that is not well-formed UTF-8 is
// written with U+FFFD in place of each bad sequence. Non-finite numbers are
// written as null; callers that must refuse them check first.
std::string encodeJson(const nlohmann::json& value, Utf8Strings strings = Utf8Strings::check);

// One string's JSON text (as encodeJson writes it), handed to `put` in pieces
// of bounded size, in order: for a large text bound for a descriptor, so
// that its JSON form is never held whole.
void encodeJsonString(std::string_view text, const std::function<void(std::string_view)>& put,
                      Utf8Strings strings = Utf8Strings::check);

// True when the bytes are well-formed UTF-8.
bool isValidUTF8(std::string_view bytes);

}  // namespace kest
