// The method table, the built-in methods and batches, driven as a client
// would drive them.
#include <gtest/gtest.h>

#include <system_error>

#include "rpc/batch.hpp"
#include "support/dispatcher_harness.hpp"

namespace kest::fake {
namespace {

Json entry(std::int64_t index, const std::string& method, const Json& result) {
    return {{"index", index}, {"method", method}, {"result", result}};
}

TEST(Dispatch, UnknownMethodsAndLetterCase) {
    DispatcherHarness harness;
    for (const char* method : {"Ping", "nosuch", "--version", ""}) {
        EXPECT_EQ(harness.error(method), Json({{"code", -32601}, {"message", std::string("Method not found: ") + method}}));
    }
}

TEST(Dispatch, AFaultInAHandlerIsThatRequestsErrorAlone) {
    DispatcherHarness harness;
    auto& handlers = harness.dispatcher().handlers;
    handlers["boom"] = [](const RPCRequest&) -> RPCResponse { throw std::system_error(EAGAIN, std::generic_category()); };
    handlers["odd"] = [](const RPCRequest&) -> RPCResponse { throw 7; };
    const Json fault = harness.error("boom");
    EXPECT_EQ(fault["code"], -32603);
    EXPECT_TRUE(fault["message"].get<std::string>().starts_with("Internal error: ")) << fault;
    EXPECT_EQ(harness.error("odd"), Json({{"code", -32603}, {"message", "Internal error"}}));
    EXPECT_EQ(harness.result("ping"), Json({{"pong", true}}));
    // Inside a batch, the same: that command's error, and the batch stops there.
    Json batch = harness.result("batch", {{"commands", Json::array({Json::array({"ping"}), Json::array({"odd"}),
                                                                     Json::array({"ping"})})}});
    EXPECT_EQ(batch["results"].size(), 2u) << batch;
    EXPECT_EQ(batch["results"][1]["code"], -32603) << batch;
}

TEST(BuiltinMethods, Results) {
    DispatcherHarness harness;
    EXPECT_EQ(harness.result("ping", {{"extra", 1}}), Json({{"pong", true}}));
    EXPECT_EQ(harness.result("version"), Json({{"version", "0.1.0"}}));
    EXPECT_EQ(harness.result("shutdown"), Json({{"ok", true}}));
}

TEST(BuiltinMethods, StatusReportsTheGrabbedWindowFromTheCache) {
    DispatcherHarness harness;
    Json fresh = harness.result("status");
    for (const char* key : {"grabbed_window", "grabbed_app", "grabbed_pid", "last_snapshot_id"}) {
        EXPECT_TRUE(fresh[key].is_null()) << key;
    }
    EXPECT_TRUE(fresh["daemon_pid"].is_number_integer());
    EXPECT_GE(fresh["daemon_uptime_ms"].get<std::int64_t>(), 0);

    Dispatcher& dispatcher = harness.dispatcher();
    dispatcher.grabbedWindow = "@w2";
    dispatcher.lastSnapshotId = "snap-1";
    dispatcher.windowManager.windowInfoCache["@w2"] = {{"app", "Editor"}, {"process_id", 4242}};
    dispatcher.publishStatus();
    Json grabbed = harness.result("status");
    EXPECT_EQ(grabbed["grabbed_window"], "@w2");
    EXPECT_EQ(grabbed["grabbed_app"], "Editor");
    EXPECT_EQ(grabbed["grabbed_pid"], 4242);
    EXPECT_EQ(grabbed["last_snapshot_id"], "snap-1");

    // Values of the wrong kind, or a record dropped from the cache, read as null.
    dispatcher.windowManager.windowInfoCache["@w2"] = {{"app", 5}, {"process_id", "4242"}};
    dispatcher.publishStatus();
    EXPECT_TRUE(harness.result("status")["grabbed_app"].is_null());
    dispatcher.windowManager.windowInfoCache.clear();
    dispatcher.publishStatus();
    Json dropped = harness.result("status");
    EXPECT_EQ(dropped["grabbed_window"], "@w2");
    EXPECT_TRUE(dropped["grabbed_app"].is_null());
    EXPECT_TRUE(dropped["grabbed_pid"].is_null());
}

TEST(BuiltinMethods, KeyValueStore) {
    DispatcherHarness harness;
    Json value = Json::parse(R"([1, {"b": null}, 2.5, "x"])");
    EXPECT_EQ(harness.result("kv_set", {{"key", "a"}, {"value", value}}), Json({{"ok", true}}));
    EXPECT_EQ(harness.result("kv_get", {{"key", "a"}}), Json({{"key", "a"}, {"value", value}}));

    // A stored null and a missing entry read the same; no value removes the key.
    EXPECT_EQ(harness.result("kv_set", {{"key", "n"}, {"value", nullptr}}), Json({{"ok", true}}));
    EXPECT_EQ(harness.result("kv_get", {{"key", "n"}}), Json({{"key", "n"}, {"value", nullptr}}));
    EXPECT_EQ(harness.result("kv_set", {{"key", "a"}}), Json({{"ok", true}}));
    EXPECT_EQ(harness.result("kv_get", {{"key", "a"}}), Json({{"key", "a"}, {"value", nullptr}}));

    const Json missingKey = {{"code", -32602}, {"message", "Missing key"}};
    EXPECT_EQ(harness.error("kv_set", {{"key", 5}, {"value", 1}}), missingKey);
    EXPECT_EQ(harness.error("kv_get", Json::object()), missingKey);
    EXPECT_EQ(harness.error("kv_get", {{"key", nullptr}}), missingKey);
}

TEST(BatchMethod, ParameterErrors) {
    DispatcherHarness harness;
    const std::pair<Json, std::string> rows[] = {
        {Json::object(), "Missing commands array"},
        {{{"commands", "ping"}}, "Missing commands array"},
        {{{"commands", Json::array()}}, "Empty command list"},
        {{{"commands", {{"ping"}, "version"}}}, "Each command must be an array"},
    };
    for (const auto& [params, message] : rows) {
        EXPECT_EQ(harness.error("batch", params), Json({{"code", -32602}, {"message", message}})) << params.dump();
    }
    // Nothing ran before the shape check failed.
    EXPECT_EQ(harness.result("kv_get", {{"key", "k"}})["value"], nullptr);
    EXPECT_TRUE(harness.error("batch", {{"commands", Json::array({Json::array({"kv_set", {{"key", "k"}, {"value", 1}}}), 7})}})
                    .is_object());
    EXPECT_EQ(harness.result("kv_get", {{"key", "k"}})["value"], nullptr);
}

TEST(BatchMethod, RunsInOrderAndStopsOnError) {
    DispatcherHarness harness;
    EXPECT_EQ(harness.result("batch", {{"commands", Json::parse(R"([["ping"], ["version"]])")}}),
              Json({{"ok", true},
                    {"count", 2},
                    {"total", 2},
                    {"results", {entry(0, "ping", {{"pong", true}}), entry(1, "version", {{"version", "0.1.0"}})}}}));

    const Json failing = Json::parse(R"([["nosuch"], ["ping"]])");
    Json stopped = harness.result("batch", {{"commands", failing}});
    EXPECT_EQ(stopped["ok"], false);
    EXPECT_EQ(stopped["count"], 1);
    EXPECT_EQ(stopped["total"], 2);
    EXPECT_EQ(stopped["results"][0],
              Json({{"index", 0}, {"method", "nosuch"}, {"error", "Method not found: nosuch"}, {"code", -32601}}));

    Json goneOn = harness.result("batch", {{"commands", failing}, {"stop_on_error", false}});
    EXPECT_EQ(goneOn["ok"], true);
    EXPECT_EQ(goneOn["count"], 2);
    // A non-boolean flag counts as absent: the default stops.
    EXPECT_EQ(harness.result("batch", {{"commands", failing}, {"stop_on_error", "false"}})["count"], 1);

    Json lastFails = harness.result("batch", {{"commands", Json::parse(R"([["ping"], ["nosuch"]])")}});
    EXPECT_EQ(lastFails["ok"], false);
    EXPECT_EQ(lastFails["count"], 2);

    Json badFormat = harness.result("batch", {{"commands", Json::parse(R"([[42, "x"], ["ping"]])")}});
    EXPECT_EQ(badFormat["ok"], false);
    EXPECT_EQ(badFormat["results"],
              Json::parse(R"([{"index": 0, "error": "Invalid command format: first element must be method name"}])"));
    Json emptyCommand = harness.result("batch", {{"commands", Json::parse(R"([[], ["ping"]])")}, {"stop_on_error", false}});
    EXPECT_EQ(emptyCommand["count"], 2);
    EXPECT_EQ(emptyCommand["results"][1], entry(1, "ping", {{"pong", true}}));
}

TEST(BatchMethod, CommandsShareStateAndNest) {
    DispatcherHarness harness;
    Json result = harness.result(
        "batch", {{"commands", Json::parse(R"([["kv_set", {"key": "k", "value": 3}],
                                                ["batch", {"commands": [["kv_get", {"key": "k"}]]}],
                                                ["ping", {"a": 1}, "ignored"]])")}});
    EXPECT_EQ(result["ok"], true);
    EXPECT_EQ(result["results"][1]["result"]["results"][0]["result"], Json({{"key", "k"}, {"value", 3}}));
    EXPECT_EQ(result["results"][2], entry(2, "ping", {{"pong", true}}));
}

// What the positional shorthand hands to the method, seen through kv_set,
// which stores its raw "value" and reports a missing "key".
TEST(BatchPositional, MappingTable) {
    struct Row {
        std::string method;
        Json positional;
        Json expected;  // the params built, "_positional" included
    };
    const Row rows[] = {
        {"click", {"@b3"}, {{"_positional", {"@b3"}}, {"ref", "@b3"}}},
        {"click", {3}, {{"_positional", {3}}}},
        {"children", {"@g1"}, {{"_positional", {"@g1"}}, {"ref", "@g1"}}},
        {"type", {"hi"}, {{"_positional", {"hi"}}, {"text", "hi"}}},
        {"paste", {"hi"}, {{"_positional", {"hi"}}, {"text", "hi"}}},
        {"fill", {"@t1"}, {{"_positional", {"@t1"}}}},
        {"fill", {"@t1", "hello"}, {{"_positional", {"@t1", "hello"}}, {"ref", "@t1"}, {"text", "hello"}}},
        {"fill", {"@t1", 5}, {{"_positional", {"@t1", 5}}}},
        {"key", {"cmd+s", "extra"}, {{"_positional", {"cmd+s", "extra"}}, {"combo", "cmd+s"}}},
        {"launch", {"Files"}, {{"_positional", {"Files"}}, {"name", "Files"}}},
        {"unhide", {"Files"}, {{"_positional", {"Files"}}, {"name", "Files"}}},
        {"menu_click", {"File > Open"}, {{"_positional", {"File > Open"}}, {"path", "File > Open"}}},
        {"wait", {500}, {{"_positional", {500}}, {"ms", 500}}},
        {"wait", {"500"}, {{"_positional", {"500"}}}},
        {"wait", {1.5}, {{"_positional", {1.5}}}},
        {"scroll", {"down", 3}, {{"_positional", {"down", 3}}, {"direction", "down"}}},
        {"snapshot", {"@w1"}, {{"_positional", {"@w1"}}}},
    };
    for (const auto& row : rows) {
        Params params;
        Batch::mapPositionalParams(row.method, row.positional, params);
        params["_positional"] = AnyCodable{row.positional};
        Json built = Json::object();
        for (const auto& [key, value] : params) built[key] = value.value;
        EXPECT_EQ(built, row.expected) << row.method << " " << row.positional.dump();
    }
}

TEST(BatchPositional, ReachesTheMethodAsParams) {
    DispatcherHarness harness;
    // kv_set reads "key" with the string accessor; a positional command has no
    // "key", so it answers Missing key, proving "_positional" is not mapped.
    Json result = harness.result("batch", {{"commands", Json::parse(R"([["kv_set", "k", 1]])")}});
    EXPECT_EQ(result["results"][0]["error"], "Missing key");
}

}  // namespace
}  // namespace kest::fake
