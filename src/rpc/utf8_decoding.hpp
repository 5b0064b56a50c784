// UTF-8 sequences decoded one at a time by RapidJSON's strict decoder (no
// overlong forms, surrogates or values past U+10FFFF), for code that must not
// load a Unicode library of its own: the front and the clipboard's encodings.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "rpc/rapidjson_setup.hpp"

#include <rapidjson/encodings.h>

namespace kest {

// A position in UTF-8 text, read as RapidJSON's decoder reads a stream.
// Past the end it reads NUL, which is never part of a longer sequence.
struct Utf8Cursor {
    using Ch = char;
    std::string_view text;
    std::size_t at = 0;
    Ch Take() { return at < text.size() ? text[at++] : '\0'; }
    bool done() const { return at >= text.size(); }
    // Decodes the sequence at the cursor and steps past it; on a malformed
    // one, answers false with the cursor somewhere inside it.
    bool decode(unsigned& codePoint) { return rapidjson::UTF8<>::Decode(*this, &codePoint); }
};

struct CodePoint {
    unsigned value = 0;
    std::size_t bytes = 0;  // how many bytes its sequence took
};

// The code point whose sequence starts `text`, or nothing when `text` is empty
// or does not start with a well-formed sequence.
inline std::optional<CodePoint> decodeUtf8(std::string_view text) {
    if (text.empty()) return std::nullopt;
    Utf8Cursor cursor{text};
    CodePoint decoded;
    if (!cursor.decode(decoded.value)) return std::nullopt;
    decoded.bytes = cursor.at;
    return decoded;
}

}  // namespace kest
