// The request decoder, the parameter accessors and the response writer.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "rpc/protocol.hpp"

namespace kest {
namespace {

RPCRequest requestWithParams(const std::string& params) {
    auto request = parseRPCRequestFromLine(R"({"jsonrpc":"2.0","id":1,"method":"m","params":)" + params + "}");
    EXPECT_TRUE(request.has_value()) << params;
    return request.value_or(RPCRequest{});
}

TEST(RequestDecoding, IdsAndShapes) {
    struct Row {
        const char* line;
        std::optional<std::int64_t> id;  // nothing: not a request
    };
    const Row rows[] = {
        {R"({"jsonrpc":"2.0","id":7,"method":"ping"})", 7},
        {R"({"jsonrpc":"2.0","id":7.0,"method":"ping"})", 7},
        {R"({"jsonrpc":"2.0","id":-3,"method":"ping"})", -3},
        {R"({"jsonrpc":"2.0","id":1e3,"method":"ping"})", 1000},
        {R"({"jsonrpc":"2.0","id":9223372036854775807,"method":"ping"})", std::numeric_limits<std::int64_t>::max()},
        {R"({"jsonrpc":"1.0","id":1,"method":"ping","extra":[1]})", 1},  // tag kept, never checked
        {R"({"jsonrpc":"2.0","id":7.5,"method":"ping"})", std::nullopt},
        {R"({"jsonrpc":"2.0","id":9223372036854775808,"method":"ping"})", std::nullopt},
        {R"({"jsonrpc":"2.0","id":"7","method":"ping"})", std::nullopt},
        {R"({"jsonrpc":"2.0","id":null,"method":"ping"})", std::nullopt},
        {R"({"jsonrpc":"2.0","method":"ping"})", std::nullopt},
        {R"({"id":1,"method":"ping"})", std::nullopt},
        {R"({"jsonrpc":"2.0","id":1})", std::nullopt},
        {R"({"jsonrpc":"2.0","id":1,"method":5})", std::nullopt},
        {R"({"jsonrpc":"2.0","id":1,"method":"ping","params":[1]})", std::nullopt},
        {R"({"jsonrpc":"2.0","id":1,"method":"ping","params":"x"})", std::nullopt},
        {R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", std::nullopt},
        {R"({"jsonrpc":"2.0","id":1,"method":"ping"} trailing)", std::nullopt},
        {"", std::nullopt},
        {"not json", std::nullopt},
    };
    for (const auto& row : rows) {
        auto request = parseRPCRequestFromLine(row.line);
        ASSERT_EQ(request.has_value(), row.id.has_value()) << row.line;
        if (request) {
            EXPECT_EQ(request->id, *row.id) << row.line;
        }
    }
}

TEST(RequestDecoding, ParamsNullOrAbsentGiveNoParams) {
    for (const char* line : {R"({"jsonrpc":"2.0","id":1,"method":"m","params":null})",
                             R"({"jsonrpc":"2.0","id":1,"method":"m"})"}) {
        auto request = parseRPCRequestFromLine(line);
        ASSERT_TRUE(request);
        EXPECT_FALSE(request->params.has_value());
        EXPECT_FALSE(request->paramString("x"));
        EXPECT_FALSE(request->paramBool("x"));
        EXPECT_FALSE(request->paramInt("x"));
        EXPECT_FALSE(request->paramDouble("x"));
        EXPECT_FALSE(request->paramStringArray("x"));
    }
}

TEST(RequestDecoding, NestingBeyondTheLimitIsRefusedWithoutCrashing) {
    std::string deep(200000, '[');
    deep += std::string(200000, ']');
    EXPECT_FALSE(parseRPCRequestFromLine(R"({"jsonrpc":"2.0","id":1,"method":"m","params":{"a":)" + deep + "}}"));
    std::string fine = std::string(100, '[') + std::string(100, ']');
    EXPECT_TRUE(parseRPCRequestFromLine(R"({"jsonrpc":"2.0","id":1,"method":"m","params":{"a":)" + fine + "}}"));
    // Brackets inside strings do not count.
    EXPECT_TRUE(parseRPCRequestFromLine(R"({"jsonrpc":"2.0","id":1,"method":"m","params":{"a":")" +
                                        std::string(5000, '[') + "\"}}"));
}

TEST(ParamAccessors, NeverConvertBetweenKinds) {
    RPCRequest request = requestWithParams(
        R"({"s":"12","t":"true","i":2,"f":1.5,"whole":2.0,"b":true,"one":1,"n":null,"arr":["a",1,"b",null],"big":18446744073709551615})");
    EXPECT_EQ(request.paramString("s"), "12");
    EXPECT_FALSE(request.paramInt("s"));
    EXPECT_FALSE(request.paramBool("t"));
    EXPECT_EQ(request.paramInt("i"), 2);
    EXPECT_EQ(request.paramDouble("i"), 2.0);
    EXPECT_FALSE(request.paramInt("f"));
    EXPECT_EQ(request.paramDouble("f"), 1.5);
    EXPECT_EQ(request.paramInt("whole"), 2);  // 2.0 decodes as an integer
    EXPECT_EQ(request.paramBool("b"), true);
    EXPECT_FALSE(request.paramBool("one"));
    EXPECT_FALSE(request.paramInt("b"));
    EXPECT_FALSE(request.paramString("n"));
    EXPECT_FALSE(request.paramInt("big"));  // past the signed range: floating
    EXPECT_TRUE(request.paramDouble("big"));
    EXPECT_EQ(request.paramStringArray("arr"), (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(request.paramStringArray("s"));
    ASSERT_NE(request.rawParam("n"), nullptr);
    EXPECT_TRUE(request.rawParam("n")->is_null());
    EXPECT_EQ(request.rawParam("missing"), nullptr);
}

TEST(ParamAccessors, NestedNumbersAreNormalisedToo) {
    RPCRequest request = requestWithParams(R"({"v":[1.0,{"x":3.0,"y":0.25}]})");
    const Json* value = request.rawParam("v");
    ASSERT_NE(value, nullptr);
    EXPECT_TRUE((*value)[0].is_number_integer());
    EXPECT_TRUE((*value)[1]["x"].is_number_integer());
    EXPECT_TRUE((*value)[1]["y"].is_number_float());
}

TEST(ResponseWriting, CompactSortedAndErrorWins) {
    EXPECT_EQ(RPCResponse::success(7, {{"pong", true}}).toJSON(), R"({"id":7,"jsonrpc":"2.0","result":{"pong":true}})");
    EXPECT_EQ(RPCResponse::failure(7, ErrorCode::kMethodNotFound, "Method not found: foo").toJSON(),
              R"({"error":{"code":-32601,"message":"Method not found: foo"},"id":7,"jsonrpc":"2.0"})");

    RPCResponse noResult;
    noResult.id = 3;
    EXPECT_EQ(noResult.toJSON(), R"({"id":3,"jsonrpc":"2.0","result":null})");

    RPCResponse both = RPCResponse::success(4, {{"x", 1}});
    both.error = RPCErrorData{ErrorCode::kFailed, "boom", Json{{"z", 1}, {"a", 2}}};
    both.jsonrpc = "1.0";  // the record's own tag is not consulted
    EXPECT_EQ(both.toJSON(), R"({"error":{"code":-32600,"data":{"a":2,"z":1},"message":"boom"},"id":4,"jsonrpc":"2.0"})");

    Json nested = {{"zeta", {{"b", 1}, {"a", {{"y", 2}, {"x", 3}}}}}, {"alpha", nullptr}};
    EXPECT_EQ(RPCResponse::success(1, nested).toJSON(),
              R"({"id":1,"jsonrpc":"2.0","result":{"alpha":null,"zeta":{"a":{"x":3,"y":2},"b":1}}})");
}

TEST(ResponseWriting, NonFiniteNumbersCannotBeWritten) {
    EXPECT_FALSE(RPCResponse::success(1, {{"x", std::nan("")}}).toJSON());
    EXPECT_FALSE(RPCResponse::success(1, Json::array({1, std::numeric_limits<double>::infinity()})).toJSON());
    EXPECT_TRUE(RPCResponse::success(1, {{"x", 0.5}}).toJSON());
}

TEST(ResponseWriting, BrokenUTF8InAResultIsReplacedNotDropped) {
    auto text = RPCResponse::success(1, {{"label", std::string("ok\xff")}}).toJSON();
    ASSERT_TRUE(text);
    EXPECT_TRUE(isValidUTF8(*text));
}

// The fast reader and writer must agree with nlohmann's own text for every
// kind of value the engine writes, or clients would see answers change shape.
TEST(JsonText, WritesWhatNlohmannWritesAndReadsItBack) {
    std::string controls;
    for (char c = 1; c < 0x20; ++c) controls += c;
    const Json values[] = {
        Json::object(),
        Json::array(),
        Json{{"b", {1, -2, 3.5, 1e300, -0.25, 0.1}}, {"a", nullptr}, {"c", {true, false}}},
        Json{{"quote\"back\\slash/", "tab\tnew\nline"}, {"uni", "\xc3\xa9\xe6\xbc\xa2\xf0\x9f\x99\x82 \x7f"}},
        Json{{"big", std::numeric_limits<std::int64_t>::min()}, {"huge", std::numeric_limits<std::uint64_t>::max()}},
        Json(std::string("nul\0inside", 11)),
    };
    for (const Json& value : values) {
        const std::string text = encodeJson(value);
        EXPECT_EQ(text, value.dump()) << text;
        EXPECT_EQ(decodeJson(text), value) << text;
    }
    // Other control characters are escaped too (hex case aside) and read back the same.
    EXPECT_EQ(decodeJson(encodeJson(Json(controls))), Json(controls));
    EXPECT_EQ(encodeJson(Json(controls)).find_first_of(controls), std::string::npos);
    // The same inside long strings, at every place of the sixteen bytes the
    // writer copies at once.
    for (std::size_t at = 0; at < 48; ++at) {
        std::string text(80, 'x');
        for (char c = 1; c < 0x20; ++c) {
            text[at] = c;
            EXPECT_EQ(decodeJson(encodeJson(Json(text))), Json(text)) << "control " << int(c) << " at " << at;
        }
    }
}

TEST(JsonText, LargeTextsRoundTripWhole) {
    std::string text;
    while (text.size() < (std::size_t{3} << 20)) text += "Gr\xc3\xbc\xc3\x9f\x65 \"q\" \\ \xe4\xb8\x96\n";
    const Json value = {{"text", text}};
    const auto back = decodeJson(encodeJson(value));
    ASSERT_TRUE(back);
    EXPECT_EQ((*back)["text"].get_ref<const std::string&>(), text);
    // A second, small document after a large one reads as itself.
    EXPECT_EQ(decodeJson(R"({"x":[1,2]})"), (Json{{"x", {1, 2}}}));
}

// A string written in pieces must be the very text encodeJson writes for it,
// wherever the slices fall: on escapes, inside multibyte characters, or on
// bytes that must be replaced.
TEST(JsonText, AStringWrittenInPiecesIsTheWholeStringsText) {
    std::string large;
    while (large.size() < (std::size_t{3} << 20)) large += "\xe4\xb8\x96\n\"\\ Gr\xc3\xbc\xc3\x9f\x65\x01\t";
    std::string broken = large;
    broken[(std::size_t{1} << 16) + 1] = '\xff';
    for (const std::string& text : {std::string(), std::string("plain"), std::string("\x1a\x1f"), large, broken}) {
        std::string pieces;
        std::size_t count = 0;
        encodeJsonString(text, [&](std::string_view piece) {
            pieces += piece;
            ++count;
        });
        EXPECT_EQ(pieces, encodeJson(Json(text))) << text.substr(0, 16);
        if (text == large) {
            EXPECT_GT(count, 40u);
        }
    }
    // Trusted text is not checked again, and written the same.
    std::string trusted;
    encodeJsonString(large, [&](std::string_view piece) { trusted += piece; }, Utf8Strings::trusted);
    EXPECT_EQ(trusted, encodeJson(Json(large)));
}

TEST(JsonText, RefusesWhatIsNotJsonAndReadsWideNumbers) {
    for (const char* bad : {"", "   ", "{", "{} {}", "[1,]", "{\"a\":1,}", "tru", "\"\xff\"", "{\"a\":01}", "nan"}) {
        EXPECT_FALSE(decodeJson(bad)) << bad;
    }
    EXPECT_EQ(decodeJson(" [1] \n"), Json::array({1}));
    // Escapes: a surrogate pair is one character; a lone half of one is not text.
    EXPECT_EQ(decodeJson(R"(["\ud83d\ude42", "\u00e9\u0000"])"),
              Json::array({"\xf0\x9f\x99\x82", std::string("\xc3\xa9\0", 3)}));
    for (const char* lone : {R"("\ud83d")", R"("\ude42")", R"("\ud83d x")", R"({"\udc00":1})"}) {
        EXPECT_FALSE(decodeJson(lone)) << lone;
    }
    // Broken UTF-8 in a key, and a raw NUL anywhere, are refused too.
    for (std::string bad : {std::string("{\"\xc3\":1}"), std::string("[1]\0", 4), std::string("[\"a\0\"]", 6)}) {
        EXPECT_FALSE(decodeJson(bad)) << bad;
        padForJsonReading(bad);
        EXPECT_FALSE(decodeJson(bad, TextEnd::padded)) << bad;
    }
    // A raw control character inside a string is refused wherever it falls,
    // within a block the reader scans sixteen bytes at a time or not.
    for (char control = 1; control < 0x20; ++control) {
        for (std::size_t at = 0; at < 40; ++at) {
            std::string text = "[\"" + std::string(48, 'a') + "\"]";
            text[2 + at] = control;
            EXPECT_FALSE(decodeJson(text)) << "control " << int(control) << " at " << at;
            padForJsonReading(text);
            EXPECT_FALSE(decodeJson(text, TextEnd::padded)) << "control " << int(control) << " at " << at;
        }
    }
    // Repeated keys keep the last value.
    EXPECT_EQ(decodeJson(R"({"a":1,"a":2})"), (Json{{"a", 2}}));
    // Past 64 bits an integer is read as a floating value, as before.
    const auto wide = decodeJson(R"({"n":123456789012345678901234567890})");
    ASSERT_TRUE(wide);
    EXPECT_TRUE((*wide)["n"].is_number_float());
    EXPECT_DOUBLE_EQ((*wide)["n"].get<double>(), 1.2345678901234568e29);
    // Nesting: exactly at the limit is read, one deeper is not; either way no crash.
    auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_TRUE(decodeJson(nested(kMaxJsonNesting)));
    EXPECT_FALSE(decodeJson(nested(kMaxJsonNesting + 1)));
    EXPECT_FALSE(decodeJson("[1e999999, " + nested(kMaxJsonNesting + 1) + "]"));
}

TEST(ErrorCodes, ExitStatuses) {
    const std::pair<std::int64_t, int> rows[] = {{-32001, 1}, {-32002, 2}, {-32005, 5}, {-32007, 7},
                                                  {-32000, 126}, {-32008, 126}, {-32600, 126}, {-32601, 126}};
    for (auto [code, status] : rows) EXPECT_EQ(exitStatusForCode(code), status) << code;
}

TEST(Utf8, Validation) {
    EXPECT_TRUE(isValidUTF8("plain"));
    EXPECT_TRUE(isValidUTF8("\xc3\xa9\xe6\xbc\xa2\xf0\x9f\x99\x82"));  // é 漢 🙂
    EXPECT_FALSE(isValidUTF8("\xff"));
    EXPECT_FALSE(isValidUTF8("\xc3"));             // cut short
    EXPECT_FALSE(isValidUTF8("\xc0\xaf"));         // overlong
    EXPECT_FALSE(isValidUTF8("\xed\xa0\x80"));     // surrogate
    EXPECT_FALSE(isValidUTF8("\xf4\x90\x80\x80"));  // past U+10FFFF
}

}  // namespace
}  // namespace kest
