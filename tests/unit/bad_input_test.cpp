// Bad input through the real request decoder and dispatcher over the fake
// desktop: malformed lines, ids and params of every wrong kind, and every
// registered method with every parameter of the wrong kind. Each line is
// answered, with a known error code when it fails, and none crashes or hangs.
#include <gtest/gtest.h>

#include <limits>
#include <set>

#include "support/dispatcher_harness.hpp"
#include "support/fake_scenes.hpp"

namespace kest::fake {
namespace {

const Json PARSE_ERROR = {{"error", {{"code", -32600}, {"message", "Parse error: invalid JSON"}}}, {"id", 0}, {"jsonrpc", "2.0"}};

std::string request(std::string_view members) {
    return std::string(R"({"jsonrpc":"2.0",)") + std::string(members) + "}";
}

std::string nested(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

TEST(BadInput, MalformedLinesAreUnreadable) {
    DispatcherHarness harness;
    const std::string unreadable[] = {
        // Broken UTF-8: a stray continuation byte, a truncated sequence, an
        // overlong encoding, a surrogate encoded directly, a byte never used.
        request("\"id\":1,\"method\":\"ping\",\"params\":{\"x\":\"\x80\"}"),
        request("\"id\":1,\"method\":\"ping\",\"params\":{\"x\":\"\xe2\x82\"}"),
        request("\"id\":1,\"method\":\"ping\",\"params\":{\"x\":\"\xc0\xaf\"}"),
        request("\"id\":1,\"method\":\"ping\",\"params\":{\"x\":\"\xed\xa0\x80\"}"),
        request("\"id\":1,\"method\":\"p\xffing\""),
        // Nesting far beyond any request.
        request("\"id\":1,\"method\":\"ping\",\"params\":{\"x\":" + nested(100000) + "}"),
        nested(100000),
        std::string(100000, '{'),
        // Numbers: an id beyond 64 bits, values beyond a double.
        request("\"id\":18446744073709551616,\"method\":\"ping\""),
        request("\"id\":1e400,\"method\":\"ping\""),
        request("\"id\":1,\"method\":\"ping\",\"params\":{\"x\":1e400}"),
        request("\"id\":1,\"method\":\"ping\",\"params\":{\"x\":-1e400}"),
        // Spellings of not-a-number and infinity are not JSON.
        request("\"id\":NaN,\"method\":\"ping\""),
        request("\"id\":1,\"method\":\"ping\",\"params\":{\"x\":NaN}"),
        request("\"id\":1,\"method\":\"ping\",\"params\":{\"x\":nan}"),
        request("\"id\":1,\"method\":\"ping\",\"params\":{\"x\":-NaN}"),
        request("\"id\":1,\"method\":\"ping\",\"params\":{\"x\":Infinity}"),
        request("\"id\":1,\"method\":\"ping\",\"params\":{\"x\":-Infinity}"),
        request("\"id\":1,\"method\":\"ping\",\"params\":{\"x\":inf}"),
        // A raw NUL inside a string, and one between tokens.
        request("\"id\":1,\"method\":\"ping\",\"params\":{\"x\":\"a") + std::string(1, '\0') + "b\"}}",
        request("\"id\":1,") + std::string(1, '\0') + "\"method\":\"ping\"}",
        // Ids of each wrong kind, and none.
        request("\"id\":\"1\",\"method\":\"ping\""),
        request("\"id\":null,\"method\":\"ping\""),
        request("\"id\":true,\"method\":\"ping\""),
        request("\"id\":[1],\"method\":\"ping\""),
        request("\"id\":{\"n\":1},\"method\":\"ping\""),
        request("\"id\":1.5,\"method\":\"ping\""),
        request("\"method\":\"ping\""),
        // Params of each wrong kind.
        request("\"id\":1,\"method\":\"ping\",\"params\":[]"),
        request("\"id\":1,\"method\":\"ping\",\"params\":[1,2]"),
        request("\"id\":1,\"method\":\"ping\",\"params\":\"x\""),
        request("\"id\":1,\"method\":\"ping\",\"params\":1"),
        request("\"id\":1,\"method\":\"ping\",\"params\":true"),
        // Methods of each wrong kind, no method, no version.
        request("\"id\":1,\"method\":1"),
        request("\"id\":1,\"method\":null"),
        request("\"id\":1,\"method\":[\"ping\"]"),
        request("\"id\":1"),
        R"({"id":1,"method":"ping"})",
        R"({"jsonrpc":2,"id":1,"method":"ping"})",
        // Not one object.
        "", " ", "null", "[]", "\"ping\"", "1", R"({"jsonrpc":"2.0","id":1,"method":"ping"} {})",
        R"({"jsonrpc":"2.0","id":1,"method":"ping")", R"({"jsonrpc":"2.0","id":1,"method":"ping",})",
    };
    for (const auto& line : unreadable) {
        EXPECT_EQ(harness.callLine(line), PARSE_ERROR) << Json(line.substr(0, 80)).dump(-1, ' ', true, Json::error_handler_t::replace);
    }
}

TEST(BadInput, OddButWellFormedLinesAreAnswered) {
    DispatcherHarness harness;
    const Json pong = {{"pong", true}};
    // Deep but bounded nesting inside a value the method ignores.
    EXPECT_EQ(harness.callLine(request("\"id\":1,\"method\":\"ping\",\"params\":{\"x\":" + nested(100) + "}"))["result"], pong);
    // Numbers beyond 64 bits inside params are doubles, no integer.
    EXPECT_EQ(harness.callLine(request("\"id\":2,\"method\":\"ping\",\"params\":{\"x\":123456789012345678901234567890}"))["result"], pong);
    EXPECT_EQ(harness.callLine(request("\"id\":3,\"method\":\"wait\",\"params\":{\"ms\":123456789012345678901234567890}"))["result"],
              Json({{"ok", true}, {"waited_ms", Pause::LONGEST_MS}}));
    EXPECT_EQ(harness.callLine(request("\"id\":9223372036854775807,\"method\":\"ping\""))["id"], std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(harness.callLine(request("\"id\":-9223372036854775808,\"method\":\"ping\""))["id"], std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(harness.callLine(request("\"id\":7.0,\"method\":\"ping\""))["id"], 7);
    // Null params are no params.
    EXPECT_EQ(harness.callLine(request("\"id\":4,\"method\":\"ping\",\"params\":null"))["result"], pong);
    // An escaped NUL is an ordinary character of a string.
    EXPECT_EQ(harness.callLine(request(R"("id":5,"method":"kv_set","params":{"key":"a\u0000b","value":"v\u0000"})"))["result"],
              Json({{"ok", true}}));
    EXPECT_EQ(harness.callLine(request(R"("id":6,"method":"kv_get","params":{"key":"a\u0000b"})"))["result"]["value"],
              std::string("v\0", 2));
    // Duplicate keys: the last one counts.
    EXPECT_EQ(harness.callLine(request(R"("id":8,"id":9,"method":"ping","method":"version")")),
              Json({{"id", 9}, {"jsonrpc", "2.0"}, {"result", {{"version", "0.1.0"}}}}));
    EXPECT_EQ(harness.callLine(request(R"("id":12,"method":"kv_set","params":{"key":"d","value":"1","value":"2"})"))["result"],
              Json({{"ok", true}}));
    EXPECT_EQ(harness.callLine(request(R"("id":13,"method":"kv_get","params":{"key":"d"})"))["result"]["value"], "2");
    // Below the signed range by one: the nearest double is -2^63 itself.
    EXPECT_EQ(harness.callLine(request("\"id\":-9223372036854775809,\"method\":\"ping\""))["id"],
              std::numeric_limits<std::int64_t>::min());
    // An unknown method, and one spelled with an escaped NUL.
    EXPECT_EQ(harness.callLine(request(R"("id":10,"method":"nosuch")"))["error"]["code"], -32601);
    EXPECT_EQ(harness.callLine(request(R"("id":11,"method":"ping\u0000")"))["error"]["code"], -32601);
}

// Every parameter name any method reads, and values of each kind, including
// the extremes of the integers and doubles.
const char* const PARAMETER_NAMES[] = {
    "_positional", "action", "all", "amount", "app", "attr", "background", "button", "combo", "commands", "compact",
    "count", "delay", "depth", "direction", "double", "duration", "enabled", "first", "force", "format", "from_ref",
    "from_x", "from_y", "gone", "height", "hidden", "interactive", "jitter", "key", "menu", "modifiers", "ms",
    "name", "on", "open", "path", "pid", "pixels", "port", "preset", "ref", "repeat", "right", "role", "screen",
    "smooth", "state", "steps", "stop_on_error", "subtree", "text", "timeout", "to_ref", "to_x", "to_y", "value",
    "wait", "width", "window", "x", "y",
};

std::vector<Json> oddValues() {
    return {
        nullptr,
        true,
        false,
        0,
        -1,
        std::numeric_limits<std::int64_t>::max(),
        std::numeric_limits<std::int64_t>::min(),
        1e300,
        -1e300,
        2.5,
        "",
        "x",
        "12",
        "true",
        std::string(10000, 'a'),
        "\xc3\xa9\xe2\x80\x8f\xf0\x9f\x98\x80",
        Json::array(),
        Json::array({1, "a", nullptr}),
        Json::array({Json::array({"ping"})}),
        Json::object(),
        Json({{"method", 5}}),
    };
}

// Methods that change what the run does as a whole rather than the desktop.
const std::set<std::string, std::less<>> NOT_SENT_ALONE = {"shutdown"};

const std::set<std::int64_t> KNOWN_CODES = {-32000, -32001, -32002, -32003, -32004, -32005, -32600, -32601, -32602};

void expectAnswered(const Json& response, std::int64_t id, const std::string& what) {
    ASSERT_TRUE(response.is_object()) << what;
    EXPECT_EQ(response["id"], id) << what;
    if (response.contains("error")) {
        EXPECT_TRUE(KNOWN_CODES.contains(response["error"]["code"].get<std::int64_t>())) << what << " " << response;
        EXPECT_FALSE(response["error"]["message"].get<std::string>().empty()) << what;
    } else {
        EXPECT_TRUE(response.contains("result")) << what << " " << response;
    }
}

TEST(BadInput, EveryMethodWithEveryParameterOfTheWrongKind) {
    DispatcherHarness harness(scenes::merged(scenes::merged(scenes::windowWithButton(), scenes::menuBar()), scenes::dialogWithSheet()));
    std::vector<std::string> methods;
    for (const auto& [name, handler] : harness.dispatcher().handlers) methods.push_back(name);
    ASSERT_GT(methods.size(), 50u);

    const auto values = oddValues();
    std::int64_t id = 1;
    auto send = [&](const std::string& method, const Json& params) {
        Json line = {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}};
        const std::string what = method + " " + params.dump().substr(0, 120);
        expectAnswered(harness.callLine(line.dump(-1, ' ', false, Json::error_handler_t::replace)), id, what);
        ++id;
    };
    std::size_t sent = 0;
    for (const auto& method : methods) {
        if (NOT_SENT_ALONE.contains(method)) continue;
        // Nothing at all, then each parameter alone with each value, then
        // every parameter at once with each value.
        send(method, Json::object());
        for (const char* name : PARAMETER_NAMES) {
            for (const Json& value : values) send(method, {{name, value}});
        }
        for (const Json& value : values) {
            Json all = Json::object();
            for (const char* name : PARAMETER_NAMES) all[name] = value;
            send(method, all);
        }
        sent += 1 + std::size(PARAMETER_NAMES) * values.size() + values.size();
    }
    // Batches of every method with wrong-kind positional arguments.
    for (const Json& value : values) {
        Json commands = Json::array();
        for (const auto& method : methods) {
            if (!NOT_SENT_ALONE.contains(method)) commands.push_back(Json::array({method, value, value}));
        }
        send("batch", {{"commands", commands}, {"stop_on_error", false}});
    }
    EXPECT_GT(sent, 10000u);
    // The dispatcher still serves.
    EXPECT_EQ(harness.result("ping"), Json({{"pong", true}}));
}

}  // namespace
}  // namespace kest::fake
