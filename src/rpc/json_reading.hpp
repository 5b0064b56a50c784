// What both JSON readers share. The program links one of them: the engine
// simdjson's (rpc/json_reader_simdjson.cpp), the front RapidJSON's
// (rpc/json_reader_rapidjson.cpp), which needs no C++ runtime of its own
// and so lets the front start without loading one.
#pragma once

#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kest {

// nlohmann's own reader, with the nesting limit: for the numbers the fast
// readers refuse, integers past 64 bits and exponents past the floating range,
// which it reads as floating values (the latter as infinite ones, refused later
// by whoever needs a finite number).
std::optional<nlohmann::json> decodeJsonSlowly(std::string_view text);

}  // namespace kest
