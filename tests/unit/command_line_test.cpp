// The argument grammar, mode choice, and the program's one-shot and
// standard-input modes run as a real process.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "rpc/command_line.hpp"
#include "rpc/request_reader.hpp"
#include "support/kest_process.hpp"

namespace kest {
namespace {

Json paramsOf(const std::vector<std::string>& arguments) {
    RPCRequest request = CommandLine::buildOneShotRequest(arguments);
    if (!request.params) return nullptr;
    Json out = Json::object();
    for (const auto& [key, value] : *request.params) out[key] = value.value;
    return out;
}

TEST(CommandLineArguments, BecomeParamsWithoutConversion) {
    struct Row {
        std::vector<std::string> arguments;
        Json params;
    };
    const Row rows[] = {
        {{"ping"}, nullptr},
        {{"type", "--text", "Hi", "--delay", "20", "--app"}, {{"text", "Hi"}, {"delay", "20"}, {"app", true}}},
        {{"type", "--a", "--b", "x"}, {{"a", true}, {"b", "x"}}},
        {{"type", "--last"}, {{"last", true}}},
        {{"launch", "Safari", "--wait"}, {{"_positional", {"Safari"}}, {"wait", true}}},
        {{"launch", "A", "B"}, {{"_positional", {"A", "B"}}}},
        {{"wait", "--ms", "500"}, {{"ms", "500"}}},
        {{"key", "--combo", "-5"}, {{"combo", "-5"}}},
        {{"x", "--k", "1", "--k", "2"}, {{"k", "2"}}},
        {{"x", "--", "v"}, {{"", "v"}}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(paramsOf(row.arguments), row.params) << row.arguments[0] << " " << row.params.dump();
    }
    RPCRequest request = CommandLine::buildOneShotRequest({"--weird"});
    EXPECT_EQ(request.method, "--weird");
    EXPECT_EQ(request.id, 1);
}

TEST(CommandLineArguments, ModeChoice) {
    using CommandLine::Mode;
    const std::pair<std::vector<std::string>, Mode> rows[] = {
        {{}, Mode::standardInput},
        {{"ping"}, Mode::oneShot},
        {{"click", "--daemon"}, Mode::daemon},
        {{"--version", "--daemon"}, Mode::version},
        {{"--daemon", "x", "--version"}, Mode::version},
    };
    for (const auto& [arguments, mode] : rows) EXPECT_EQ(CommandLine::chooseMode(arguments), mode);
}

TEST(ProgramModes, OneShotPrintsTheResponseAndMapsExitStatus) {
    auto ping = test::runKest({"ping"});
    EXPECT_EQ(ping.exitStatus, 0);
    EXPECT_EQ(ping.out, "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{\"pong\":true}}\n");

    auto unknown = test::runKest({"nosuch"});
    EXPECT_EQ(unknown.exitStatus, 126);
    EXPECT_EQ(unknown.out, "{\"error\":{\"code\":-32601,\"message\":\"Method not found: nosuch\"},\"id\":1,\"jsonrpc\":\"2.0\"}\n");

    auto missing = test::runKest({"kv_get", "--key"});  // a flag is true, not a string key
    EXPECT_EQ(missing.exitStatus, 126);
    EXPECT_NE(missing.out.find("Missing key"), std::string::npos);

    auto version = test::runKest({"--version", "--daemon"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.out, "0.1.0\n");
}

// The front runs only an engine of its own version: the one installed for it
// or beside it, and nothing at all when there is none.
TEST(ProgramModes, TheFrontRunsOnlyAnEngineOfItsOwnVersion) {
    const std::pair<const char*, int> rows[] = {{nullptr, 70}, {test::OTHER_VERSION_ENGINE, 70}, {test::BUILT_ENGINE, 0}};
    for (const auto& [engine, status] : rows) {
        test::TempDir dir;
        const std::filesystem::path front = std::filesystem::path(dir.path()) / "kest-core";
        std::filesystem::copy_file(test::runKestPath(), front);
        if (engine) std::filesystem::copy_file(engine, front.parent_path() / "libkest-engine.so");
        auto ping = test::runProgram(front, {"ping"});
        EXPECT_EQ(ping.exitStatus, status) << (engine ? engine : "no engine") << ": " << ping.err;
        if (status == 70) {
            EXPECT_NE(ping.err.find("kest-core: cannot load the engine"), std::string::npos) << ping.err;
        }
    }
}

TEST(ProgramModes, StandardInput) {
    const std::string usageFirstLine = "Usage: kest-core [--daemon | --version | <method> [args...]]\n";
    struct Row {
        std::string input;
        std::string out;  // empty: the usage text instead
    };
    const Row rows[] = {
        {"", ""},
        {"not json\n", ""},
        {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}", "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{\"pong\":true}}\n"},
        {"{\n  \"jsonrpc\": \"2.0\",\n  \"id\": 4,\n  \"method\": \"version\"\n}\n",
         "{\"id\":4,\"jsonrpc\":\"2.0\",\"result\":{\"version\":\"0.1.0\"}}\n"},
        {"{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"nosuch\"}\n",
         "{\"error\":{\"code\":-32601,\"message\":\"Method not found: nosuch\"},\"id\":2,\"jsonrpc\":\"2.0\"}\n"},
    };
    for (const auto& row : rows) {
        auto result = test::runKest({}, row.input);
        EXPECT_EQ(result.exitStatus, 0) << row.input;
        EXPECT_EQ(result.out, row.out) << row.input;
        if (row.out.empty()) {
            EXPECT_EQ(result.err.rfind(usageFirstLine, 0), 0u) << row.input;
            EXPECT_NE(result.err.find("  (stdin)     Read JSON-RPC request from stdin\n"), std::string::npos);
        }
    }
}

TEST(ProgramModes, StandardInputTakesARequestLargerThanOnePipeWrite) {
    // Past the buffer a large request is given at first, so that it grows too.
    std::string big((9 << 20) + 3, 'x');
    std::string input = R"({"jsonrpc":"2.0","id":5,"method":"kv_set","params":{"key":"k","value":")" + big + "\"}}\n";
    auto result = test::runKest({}, input);
    EXPECT_EQ(result.out, "{\"id\":5,\"jsonrpc\":\"2.0\",\"result\":{\"ok\":true}}\n");
    // A writer that waits for the answer with its end still open gets it,
    // whether the request is whole or plainly not JSON.
    result = test::runKestInputLeftOpen({}, input);
    EXPECT_EQ(result.out, "{\"id\":5,\"jsonrpc\":\"2.0\",\"result\":{\"ok\":true}}\n");
    result = test::runKestInputLeftOpen({}, R"({"jsonrpc": nope, "id": 1)");
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("Usage: kest-core"), std::string::npos);

    // Past a daemon's line limit, reading stops and the answer says why.
    const std::string huge = R"({"jsonrpc":"2.0","id":6,"method":"kv_set","params":{"key":"k","value":")" +
                             std::string(CommandLine::kMaxRequestBytes, 'y') + "\"}}\n";
    for (bool leftOpen : {false, true}) {
        result = leftOpen ? test::runKestInputLeftOpen({}, huge) : test::runKest({}, huge);
        EXPECT_EQ(result.out, R"({"error":{"code":-32600,"message":"Request too long: more than 67108864 bytes"},)"
                              R"("id":0,"jsonrpc":"2.0"})" "\n")
            << leftOpen;
    }
}

// Whether text read so far could have ended is followed chunk by chunk, so
// that a writer cutting its request after every closing brace costs one parse
// at the end, not one per cut.
TEST(ProgramModes, StandardInputKnowsWhenARequestMayHaveEnded) {
    struct Row {
        std::vector<std::string> chunks;
        std::vector<bool> mayHaveEnded;  // after each chunk
    };
    const Row rows[] = {
        {{R"({"a":{"b":{})", "}", "}"}, {false, false, true}},
        {{R"({"s":"}")", R"(,"t":"\"}")", "}  \n"}, {false, false, true}},
        {{R"({"s":"\)", R"("}"})"}, {false, true}},
        {{"[{}", "]", "}"}, {false, false, true}},
        {{"}"}, {true}},
        {{"{}", " x"}, {true, false}},
    };
    for (const auto& row : rows) {
        CommandLine::JsonNesting nesting;
        std::string text;
        for (std::size_t i = 0; i < row.chunks.size(); ++i) {
            nesting.feed(row.chunks[i]);
            text += row.chunks[i];
            EXPECT_EQ(nesting.mayHaveEnded(), row.mayHaveEnded[i]) << text;
        }
    }
}

}  // namespace
}  // namespace kest
