// Reading JSON with RapidJSON's reader (header only): the front's reader.
//
// It keeps the contract of json_codec.hpp: one whole document, well-formed
// UTF-8, at most kMaxJsonNesting deep, a repeated key keeping its last value,
// integers past 64 bits as floating values.
#include "rpc/json_codec.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "rpc/json_reading.hpp"
#include "rpc/rapidjson_setup.hpp"
#include "rpc/utf8_decoding.hpp"

#include <rapidjson/error/error.h>
#include <rapidjson/reader.h>

namespace kest {
namespace {

using Json = nlohmann::json;

// Builds the document from the reader's events. The reader copies each
// string's bytes as they are, so every string and key is checked for UTF-8
// here; the text outside strings can only be ASCII, or the reader stops.
class Builder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Builder> {
public:
    bool Null() { return put(Json(nullptr)); }
    bool Bool(bool value) { return put(Json(value)); }
    bool Int(int value) { return put(Json(std::int64_t{value})); }
    bool Uint(unsigned value) { return put(Json(std::int64_t{value})); }
    bool Int64(std::int64_t value) { return put(Json(value)); }
    // Unsigned only past the signed range, as the engine's reader has it.
    bool Uint64(std::uint64_t value) {
        if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return put(Json(static_cast<std::int64_t>(value)));
        }
        return put(Json(value));
    }
    bool Double(double value) { return put(Json(value)); }
    bool String(const char* text, rapidjson::SizeType length, bool) {
        if (!isValidUTF8({text, length})) return false;
        return put(Json(std::string(text, length)));
    }
    bool Key(const char* text, rapidjson::SizeType length, bool) {
        if (!isValidUTF8({text, length})) return false;
        keys_.emplace_back(text, length);
        return true;
    }
    bool StartObject() { return open(Json::object()); }
    bool EndObject(rapidjson::SizeType) { return close(); }
    bool StartArray() { return open(Json::array()); }
    bool EndArray(rapidjson::SizeType) { return close(); }

    Json take() { return std::move(root_); }

private:
    bool open(Json container) {
        if (open_.size() >= kMaxJsonNesting) return false;
        open_.push_back(std::move(container));
        return true;
    }
    bool close() {
        Json done = std::move(open_.back());
        open_.pop_back();
        return put(std::move(done));
    }
    bool put(Json value) {
        if (open_.empty()) {
            root_ = std::move(value);
        } else if (Json& container = open_.back(); container.is_array()) {
            container.push_back(std::move(value));
        } else {
            container[std::move(keys_.back())] = std::move(value);
            keys_.pop_back();
        }
        return true;
    }

    std::vector<Json> open_;         // the containers not yet closed, outermost first
    std::vector<std::string> keys_;  // the key of each open object's next member
    Json root_;
};

// Whether the text holds a NUL or a byte from 0x1A to 0x1F. Without an early
// exit inside a block the loop is vectorised.
bool hasNulOrHighControl(std::string_view text) {
    constexpr std::size_t BLOCK = 4096;
    for (std::size_t start = 0; start < text.size(); start += BLOCK) {
        const std::size_t end = std::min(text.size(), start + BLOCK);
        unsigned char found = 0;
        for (std::size_t i = start; i < end; ++i) {
            const auto byte = static_cast<unsigned char>(text[i]);
            found |= static_cast<unsigned char>(byte == 0) | static_cast<unsigned char>(static_cast<unsigned char>(byte - 0x1A) < 6);
        }
        if (found) return true;
    }
    return false;
}

}  // namespace

std::optional<Json> decodeJson(std::string_view text, TextEnd end) {
    // The reader copies a string sixteen bytes at a time only from a stream
    // that ends in a NUL; from a bounded one it takes a byte at a time, two
    // to three times as slowly.
    if (end != TextEnd::padded) {
        std::string padded;
        padded.reserve(text.size() + kJsonReadPadding);
        padded.assign(text);
        return decodeJson(padded, TextEnd::padded);
    }
    // The reader takes NUL for the end of its input, so the first one must be
    // the text's end; a raw NUL is never JSON text. Nor is a raw 0x1A to 0x1F,
    // which the reader's sixteen-byte string scan lets through (it compares
    // against 0x19).
    if (hasNulOrHighControl(text)) return std::nullopt;
    // Iterative: nesting costs the reader no stack, whatever the input.
    constexpr unsigned FLAGS = rapidjson::kParseIterativeFlag;
    Builder builder;
    rapidjson::Reader reader;
    rapidjson::StringStream bytes(text.data());
    const rapidjson::ParseResult result = reader.Parse<FLAGS>(bytes, builder);
    if (result.Code() == rapidjson::kParseErrorNumberTooBig) return decodeJsonSlowly(text);
    if (result.IsError()) return std::nullopt;
    return builder.take();
}

// ASCII runs are passed over eight bytes at a time; every other sequence goes
// through the decoder.
bool isValidUTF8(std::string_view bytes) {
    constexpr std::uint64_t HIGH_BITS = 0x8080808080808080;
    Utf8Cursor cursor{bytes};
    while (!cursor.done()) {
        std::uint64_t word;
        if (cursor.at + sizeof word <= bytes.size()) {
            std::memcpy(&word, bytes.data() + cursor.at, sizeof word);
            if ((word & HIGH_BITS) == 0) {
                cursor.at += sizeof word;
                continue;
            }
        }
        if (static_cast<unsigned char>(bytes[cursor.at]) < 0x80) {
            ++cursor.at;
            continue;
        }
        unsigned codePoint;
        if (!cursor.decode(codePoint)) return false;
    }
    return true;
}

}  // namespace kest
