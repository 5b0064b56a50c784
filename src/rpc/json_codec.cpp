// Reading JSON with simdjson and writing it with RapidJSON's writer.
#include "rpc/json_codec.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>

#include <simdjson.h>

// Sizes as std::size_t, so a string's length is never cut to 32 bits.
#define RAPIDJSON_NO_SIZETYPEDEFINE
namespace rapidjson {
using SizeType = std::size_t;
}
#if defined(__SSE2__)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace kest {
namespace {

using Json = nlohmann::json;

// A parser keeps its buffers for the next document; one per thread, as a
// parser serves one parse at a time. A document past this size gets a parser
// of its own, so no thread holds on to a rare large request's buffers.
constexpr std::size_t kKeptParserCapacity = std::size_t{1} << 20;

Json convert(simdjson::dom::element element) {
    using Type = simdjson::dom::element_type;
    switch (element.type()) {
    case Type::OBJECT: {
        Json object = Json::object();
        // Held by name: a range over the result's temporary would dangle.
        const simdjson::dom::object fields = element.get_object().value_unsafe();
        // A repeated key keeps its last value.
        for (auto field : fields) {
            object[std::string(field.key)] = convert(field.value);
        }
        return object;
    }
    case Type::ARRAY: {
        Json array = Json::array();
        const simdjson::dom::array items = element.get_array().value_unsafe();
        for (auto item : items) array.push_back(convert(item));
        return array;
    }
    case Type::STRING:
        return Json(std::string(element.get_string().value_unsafe()));
    case Type::INT64:
        return Json(element.get_int64().value_unsafe());
    case Type::UINT64:
        return Json(element.get_uint64().value_unsafe());
    case Type::DOUBLE:
        return Json(element.get_double().value_unsafe());
    case Type::BOOL:
        return Json(element.get_bool().value_unsafe());
    case Type::NULL_VALUE:
        break;
    }
    return Json(nullptr);
}

// Numbers simdjson refuses, integers past 64 bits and exponents past the
// floating range: nlohmann reads them as floating values (the latter as
// infinite ones, refused later by whoever needs a finite number). Its callback sees every depth, so the limit still holds.
std::optional<Json> decodeWithWideNumbers(std::string_view text) {
    bool tooDeep = false;
    Json::parser_callback_t watchDepth = [&tooDeep](int depth, Json::parse_event_t, Json&) {
        if (depth > static_cast<int>(kMaxJsonNesting)) tooDeep = true;
        return !tooDeep;
    };
    Json document = Json::parse(text, watchDepth, /*allow_exceptions=*/false);
    if (tooDeep || document.is_discarded()) return std::nullopt;
    return document;
}

simdjson::dom::parser& keptParser() {
    // Built in place: a parser's buffers refer to it, so it is never moved.
    thread_local simdjson::dom::parser parser;
    thread_local bool limited = false;
    if (!limited) {
        // Should this fail, the parse allocates again and reports it.
        limited = parser.allocate(simdjson::dom::MINIMAL_DOCUMENT_CAPACITY, kMaxJsonNesting) == simdjson::SUCCESS;
    }
    return parser;
}

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

// The writer's sixteen-bytes-at-a-time copy takes only bytes up to 0x19 for
// control characters, so 0x1A to 0x1F would go out unescaped (invalid JSON).
// Strings holding one are written the slow way. The check looks at blocks of
// a fixed size, which the compiler turns into vector compares.
bool holdsControlsTheFastCopyMisses(const std::string& text) {
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

void writeString(Writer& writer, const std::string& text) {
    if (simdjson::validate_utf8(text.data(), text.size()) && !holdsControlsTheFastCopyMisses(text)) {
        writer.String(text.data(), text.size());
        return;
    }
    const std::string replaced = Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
    writer.RawValue(replaced.data(), replaced.size(), rapidjson::kStringType);
}

void write(Writer& writer, const Json& value) {
    switch (value.type()) {
    case Json::value_t::object:
        writer.StartObject();
        for (const auto& [key, member] : value.items()) {
            writeString(writer, key);
            write(writer, member);
        }
        writer.EndObject();
        return;
    case Json::value_t::array:
        writer.StartArray();
        for (const auto& item : value) write(writer, item);
        writer.EndArray();
        return;
    case Json::value_t::string:
        writeString(writer, value.get_ref<const std::string&>());
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

std::optional<Json> decodeJson(std::string_view text) {
    std::unique_ptr<simdjson::dom::parser> ownParser;
    simdjson::dom::parser* parser = &keptParser();
    if (text.size() > kKeptParserCapacity) {
        ownParser = std::make_unique<simdjson::dom::parser>();
        if (ownParser->allocate(text.size(), kMaxJsonNesting) != simdjson::SUCCESS) return std::nullopt;
        parser = ownParser.get();
    }
    simdjson::dom::element root;
    const auto error = parser->parse(text.data(), text.size()).get(root);
    if (error == simdjson::NUMBER_ERROR) return decodeWithWideNumbers(text);
    if (error != simdjson::SUCCESS) return std::nullopt;
    return convert(root);
}

std::string encodeJson(const Json& value) {
    // A small value's buffer starts at RapidJSON's default size.
    rapidjson::StringBuffer buffer(nullptr, std::max<std::size_t>(roughLength(value), 256));
    Writer writer(buffer);
    write(writer, value);
    // One byte spare, so that the caller's line feed does not copy the text again.
    std::string text;
    text.reserve(buffer.GetSize() + 1);
    text.append(buffer.GetString(), buffer.GetSize());
    return text;
}

bool isValidUTF8(std::string_view bytes) {
    return simdjson::validate_utf8(bytes.data(), bytes.size());
}

}  // namespace kest
