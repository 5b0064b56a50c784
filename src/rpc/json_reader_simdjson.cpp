// Reading JSON with simdjson: the engine's reader.
#include "rpc/json_codec.hpp"

#include <memory>

#include <simdjson.h>

#include "rpc/json_reading.hpp"

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

}  // namespace

std::optional<Json> decodeJson(std::string_view text, TextEnd) {
    std::unique_ptr<simdjson::dom::parser> ownParser;
    simdjson::dom::parser* parser = &keptParser();
    if (text.size() > kKeptParserCapacity) {
        ownParser = std::make_unique<simdjson::dom::parser>();
        if (ownParser->allocate(text.size(), kMaxJsonNesting) != simdjson::SUCCESS) return std::nullopt;
        parser = ownParser.get();
    }
    simdjson::dom::element root;
    const auto error = parser->parse(text.data(), text.size()).get(root);
    // Its callback sees every depth, so the nesting limit still holds.
    if (error == simdjson::NUMBER_ERROR) return decodeJsonSlowly(text);
    if (error != simdjson::SUCCESS) return std::nullopt;
    return convert(root);
}

bool isValidUTF8(std::string_view bytes) {
    return simdjson::validate_utf8(bytes.data(), bytes.size());
}

}  // namespace kest
