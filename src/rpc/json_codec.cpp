// Writing JSON with RapidJSON's writer, and the slow reader both readers fall back on.
#include "rpc/json_codec.hpp"

#include <algorithm>
#include <cstddef>
#include <string>

#include "rpc/json_reading.hpp"
#include "rpc/rapidjson_setup.hpp"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace kest {
namespace {

using Json = nlohmann::json;

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

// The writer's sixteen-bytes-at-a-time copy takes only bytes up to 0x19 for
// control characters, so 0x1A to 0x1F would go out unescaped (invalid JSON).
// Strings holding one are written the slow way. The check looks at blocks of
// a fixed size, which the compiler turns into vector compares.
bool holdsControlsTheFastCopyMisses(std::string_view text) {
    constexpr std::size_t BLOCK = 32;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    auto misses = [](unsigned char c) { return static_cast<unsigned char>(c - 0x1A) < 6; };
    std::size_t at = 0;
    for (; at + BLOCK <= size; at += BLOCK) {
        unsigned char found = 0;
        for (std::size_t i = 0; i < BLOCK; ++i) found |= misses(bytes[at + i]) ? 0xFF : 0;
        if (found != 0) return true;
    }
    for (; at < size; ++at) {
        if (misses(bytes[at])) return true;
    }
    return false;
}

// Whether the writer may copy the string as it is: well-formed UTF-8 (or
// trusted to be) without the controls its fast copy misses.
bool copiesAsItIs(std::string_view text, Utf8Strings strings) {
    return (strings == Utf8Strings::trusted || isValidUTF8(text)) && !holdsControlsTheFastCopyMisses(text);
}

// The string's JSON text the slow way, with U+FFFD for each bad sequence.
std::string replacedString(std::string_view text) {
    return Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
}

void writeString(Writer& writer, const std::string& text, Utf8Strings strings) {
    if (copiesAsItIs(text, strings)) {
        writer.String(text.data(), text.size());
        return;
    }
    const std::string replaced = replacedString(text);
    writer.RawValue(replaced.data(), replaced.size(), rapidjson::kStringType);
}

void write(Writer& writer, const Json& value, Utf8Strings strings) {
    switch (value.type()) {
    case Json::value_t::object:
        writer.StartObject();
        for (const auto& [key, member] : value.items()) {
            writeString(writer, key, strings);
            write(writer, member, strings);
        }
        writer.EndObject();
        return;
    case Json::value_t::array:
        writer.StartArray();
        for (const auto& item : value) write(writer, item, strings);
        writer.EndArray();
        return;
    case Json::value_t::string:
        writeString(writer, value.get_ref<const std::string&>(), strings);
        return;
    case Json::value_t::boolean:
        writer.Bool(value.get<bool>());
        return;
    case Json::value_t::number_integer:
        writer.Int64(value.get<std::int64_t>());
        return;
    case Json::value_t::number_unsigned:
        writer.Uint64(value.get<std::uint64_t>());
        return;
    case Json::value_t::number_float: {
        // nlohmann's shortest round-trip form, as every earlier answer had it.
        const std::string number = value.dump();
        writer.RawValue(number.data(), number.size(), rapidjson::kNumberType);
        return;
    }
    default:
        writer.Null();
        return;
    }
}

// About the length of the value's text, so that the buffer is sized once for
// a large string instead of growing through every size below it.
std::size_t roughLength(const Json& value) {
    switch (value.type()) {
    case Json::value_t::object: {
        std::size_t length = 2;
        for (const auto& [key, member] : value.items()) length += key.size() + 4 + roughLength(member);
        return length;
    }
    case Json::value_t::array: {
        std::size_t length = 2;
        for (const auto& item : value) length += 1 + roughLength(item);
        return length;
    }
    case Json::value_t::string: {
        // Room for a few escapes (a line feed every forty bytes or so).
        const std::size_t size = value.get_ref<const std::string&>().size();
        return size + size / 32 + 2;
    }
    default:
        return 24;
    }
}

}  // namespace

std::string encodeJson(const Json& value, Utf8Strings strings) {
    // A small value's buffer starts at RapidJSON's default size.
    rapidjson::StringBuffer buffer(nullptr, std::max<std::size_t>(roughLength(value), 256));
    Writer writer(buffer);
    write(writer, value, strings);
    // One byte spare, so that the caller's line feed does not copy the text again.
    std::string text;
    text.reserve(buffer.GetSize() + 1);
    text.append(buffer.GetString(), buffer.GetSize());
    return text;
}

void encodeJsonString(std::string_view text, const std::function<void(std::string_view)>& put, Utf8Strings strings) {
    if (!copiesAsItIs(text, strings)) {
        put(replacedString(text));
        return;
    }
    // Each slice is written as a string of its own, whose quotes are left
    // out: the writer escapes byte by byte, so a slice may end anywhere. The
    // buffer is reused, so its pages stay in the cache.
    constexpr std::size_t SLICE = 64 * 1024;
    rapidjson::StringBuffer buffer(nullptr, 2 + 6 * std::min(SLICE, text.size()));
    put("\"");
    for (std::size_t at = 0; at < text.size(); at += SLICE) {
        const std::string_view slice = text.substr(at, SLICE);
        buffer.Clear();
        Writer writer(buffer);
        writer.String(slice.data(), slice.size());
        put(std::string_view(buffer.GetString() + 1, buffer.GetSize() - 2));
    }
    put("\"");
}

std::optional<Json> decodeJsonSlowly(std::string_view text) {
    bool tooDeep = false;
    Json::parser_callback_t watchDepth = [&tooDeep](int depth, Json::parse_event_t, Json&) {
        if (depth > static_cast<int>(kMaxJsonNesting)) tooDeep = true;
        return !tooDeep;
    };
    Json document = Json::parse(text, watchDepth, /*allow_exceptions=*/false);
    if (tooDeep || document.is_discarded()) return std::nullopt;
    return document;
}

}  // namespace kest
