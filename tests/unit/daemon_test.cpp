// The daemon over a real socket: framing, bad input, many clients, shared
// state, shutdown and start-up failures.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "rpc/protocol.hpp"
#include "support/kest_process.hpp"

namespace kest {
namespace {

using test::DaemonProcess;
using test::SocketClient;
using test::TempDir;

const std::string PARSE_ERROR = R"({"error":{"code":-32600,"message":"Parse error: invalid JSON"},"id":0,"jsonrpc":"2.0"})";

std::string request(std::int64_t id, const std::string& method, const std::string& params = "") {
    std::string line = R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":")" + method + "\"";
    if (!params.empty()) line += ",\"params\":" + params;
    return line + "}";
}

std::string pong(std::int64_t id) { return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{"pong":true}})"; }

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(startDaemon()); }

    bool startDaemon() {
        daemon_ = std::make_unique<DaemonProcess>(home_.path());
        return daemon_->waitUntilListening();
    }

    SocketClient connect() {
        SocketClient client;
        EXPECT_TRUE(client.connect(daemon_->socketPath()));
        return client;
    }

    TempDir home_;
    std::unique_ptr<DaemonProcess> daemon_;
};

TEST_F(DaemonTest, FilesArePrivateAndDescribeTheDaemon) {
    struct stat info {};
    ASSERT_EQ(::stat((home_.path() + "/.kest").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(daemon_->socketPath().c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0077, 0u);

    std::ifstream file(daemon_->infoPath());
    Json document = Json::parse(file, nullptr, false);
    ASSERT_TRUE(document.is_object());
    EXPECT_EQ(document["pid"], daemon_->pid());
    EXPECT_EQ(document["socket"], daemon_->socketPath());
    EXPECT_TRUE(document["started_at"].is_string());
    EXPECT_EQ(document["started_at"].get<std::string>().size(), 20u);  // 2025-01-31T10:20:30Z
    EXPECT_EQ(document["started_at"].get<std::string>().back(), 'Z');
}

TEST_F(DaemonTest, LineFraming) {
    SocketClient client = connect();
    // Two requests in one write: two answers, in order.
    ASSERT_TRUE(client.send(request(1, "ping") + "\n" + request(2, "ping") + "\n"));
    EXPECT_EQ(client.readLine(), pong(1));
    EXPECT_EQ(client.readLine(), pong(2));

    // A request split over writes is answered once its line feed arrives;
    // a partial second line waits.
    std::string line = request(3, "ping");
    ASSERT_TRUE(client.send(line.substr(0, 10)));
    ASSERT_TRUE(client.send(line.substr(10) + "\n" + request(4, "ping").substr(0, 7)));
    EXPECT_EQ(client.readLine(), pong(3));
    EXPECT_FALSE(client.readLine(std::chrono::milliseconds(200)));
    ASSERT_TRUE(client.send(request(4, "ping").substr(7) + "\n"));
    EXPECT_EQ(client.readLine(), pong(4));
}

TEST_F(DaemonTest, BadLinesGetTheParseErrorOrNothingAndTheConnectionLives) {
    SocketClient client = connect();
    ASSERT_TRUE(client.send("not json\n\n\xff\xfe\n[1,2]\n" + request(1, "ping", "[1]") + "\n{\"id\":1}\n" +
                            request(5, "ping") + "\n"));
    EXPECT_EQ(client.readLine(), PARSE_ERROR);  // not json
    EXPECT_EQ(client.readLine(), PARSE_ERROR);  // an array
    EXPECT_EQ(client.readLine(), PARSE_ERROR);  // params not an object
    EXPECT_EQ(client.readLine(), PARSE_ERROR);  // no method
    EXPECT_EQ(client.readLine(), pong(5));      // the empty and non-UTF-8 lines got nothing
}

TEST_F(DaemonTest, StateIsSharedAcrossConnections) {
    SocketClient first = connect();
    SocketClient second = connect();
    EXPECT_EQ(first.call(request(1, "kv_set", R"({"key":"a","value":[1,{"b":null}]})")),
              R"({"id":1,"jsonrpc":"2.0","result":{"ok":true}})");
    EXPECT_EQ(second.call(request(2, "kv_get", R"({"key":"a"})")),
              R"({"id":2,"jsonrpc":"2.0","result":{"key":"a","value":[1,{"b":null}]}})");
    auto status = second.call(request(3, "status"));
    ASSERT_TRUE(status);
    Json parsed = Json::parse(*status);
    EXPECT_EQ(parsed["result"]["daemon_pid"], daemon_->pid());
    EXPECT_TRUE(parsed["result"]["grabbed_window"].is_null());
}

TEST_F(DaemonTest, ManyClientsEachGetEveryAnswerInOrder) {
    constexpr int kClients = 8;
    constexpr int kRequests = 200;
    std::vector<std::thread> threads;
    std::vector<int> correct(kClients, 0);
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            SocketClient client;
            if (!client.connect(daemon_->socketPath())) return;
            std::string burst;
            for (int i = 0; i < kRequests; ++i) burst += request(c * 1000 + i, "ping") + "\n";
            if (!client.send(burst)) return;
            for (int i = 0; i < kRequests; ++i) {
                if (client.readLine() == pong(c * 1000 + i)) ++correct[c];
            }
        });
    }
    for (auto& t : threads) t.join();
    for (int c = 0; c < kClients; ++c) EXPECT_EQ(correct[c], kRequests) << "client " << c;
}

TEST_F(DaemonTest, ClientsThatVanishMidReplyHurtNoOne) {
    for (int i = 0; i < 20; ++i) {
        SocketClient leaver = connect();
        std::string burst;
        for (int k = 0; k < 2000; ++k) burst += request(k, "status") + "\n";
        leaver.send(burst);
        leaver.close();  // answers are still being written
    }
    SocketClient client = connect();
    EXPECT_EQ(client.call(request(1, "ping")), pong(1));
}

TEST_F(DaemonTest, OverlongLineIsRefusedAndOnlyThatConnectionEnds) {
    SocketClient bystander = connect();
    SocketClient flooder = connect();
    std::string chunk(1 << 20, 'x');
    bool sent = true;
    for (int i = 0; i < 70 && sent; ++i) sent = flooder.send(chunk);
    auto answer = flooder.readLine();
    ASSERT_TRUE(answer);
    Json parsed = Json::parse(*answer);
    EXPECT_EQ(parsed["id"], 0);
    EXPECT_EQ(parsed["error"]["code"], -32600);
    EXPECT_NE(parsed["error"]["message"].get<std::string>().find("too long"), std::string::npos);
    EXPECT_TRUE(flooder.closedByPeer());
    EXPECT_EQ(bystander.call(request(2, "ping")), pong(2));
}

TEST_F(DaemonTest, ShutdownAnswersThenRemovesBothFilesAndExits) {
    SocketClient other = connect();
    SocketClient client = connect();
    // Lines already sent after the shutdown request are still answered.
    ASSERT_TRUE(client.send(request(9, "shutdown") + "\n" + request(10, "ping") + "\n"));
    EXPECT_EQ(client.readLine(), R"({"id":9,"jsonrpc":"2.0","result":{"ok":true}})");
    EXPECT_EQ(client.readLine(), pong(10));
    EXPECT_EQ(daemon_->waitForExit(), 0);
    EXPECT_FALSE(std::filesystem::exists(daemon_->socketPath()));
    EXPECT_FALSE(std::filesystem::exists(daemon_->infoPath()));
    EXPECT_TRUE(other.closedByPeer());
    SocketClient late;
    EXPECT_FALSE(late.connect(daemon_->socketPath()));
    EXPECT_NE(daemon_->errorOutput().find("[kest-core] Daemon shutting down"), std::string::npos);
}

// A request that waits hands its turn on: other clients are answered while it
// sleeps, its own connection still answers strictly in order, and a shutdown
// from a third client ends the daemon and the sleeping request with it.
TEST_F(DaemonTest, AWaitingRequestHoldsUpNoOtherClient) {
    SocketClient waiting = connect();
    ASSERT_TRUE(waiting.send(request(1, "wait", R"({"ms": 600000})") + "\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the wait begin
    ASSERT_TRUE(waiting.send(request(2, "ping") + "\n"));

    SocketClient other = connect();
    for (int id = 3; id < 6; ++id) EXPECT_EQ(other.call(request(id, "ping")), pong(id));
    EXPECT_EQ(other.call(request(6, "kv_set", R"({"key": "k", "value": 1})")),
              R"({"id":6,"jsonrpc":"2.0","result":{"ok":true}})");
    // Behind its wait, the first connection's ping has not been answered.
    EXPECT_FALSE(waiting.readLine(std::chrono::milliseconds(100)));

    SocketClient stopper = connect();
    EXPECT_EQ(stopper.call(request(7, "shutdown")), R"({"id":7,"jsonrpc":"2.0","result":{"ok":true}})");
    EXPECT_EQ(daemon_->waitForExit(std::chrono::seconds(10)), 0);
    // The sleeping request is either told it was cut short or just closed.
    if (auto line = waiting.readLine(std::chrono::seconds(5))) {
        Json answer = Json::parse(*line);
        EXPECT_EQ(answer["id"], 1);
        EXPECT_EQ(answer["error"]["message"], "Interrupted: kest-core is shutting down");
    }
    EXPECT_TRUE(waiting.closedByPeer(std::chrono::seconds(5)));
}

TEST_F(DaemonTest, StaleSocketFromAKilledDaemonIsReplaced) {
    ::kill(daemon_->pid(), SIGKILL);
    EXPECT_EQ(daemon_->waitForExit(), -1);  // killed by a signal
    ASSERT_TRUE(std::filesystem::exists(daemon_->socketPath()));
    ASSERT_TRUE(startDaemon());
    SocketClient client = connect();
    EXPECT_EQ(client.call(request(1, "ping")), pong(1));
}

TEST(DaemonStartup, SocketPathTooLongFailsWithItsMessage) {
    TempDir base;
    std::string home = base.path() + "/" + std::string(110, 'h');
    std::filesystem::create_directories(home);
    auto result = test::runKest({"--daemon"}, "", {{"HOME", home}});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err, "[kest-core] Daemon error: Socket path too long: " + home + "/.kest/daemon.sock\n");
}

TEST(DaemonStartup, ExistingDataDirectoryIsTightened) {
    TempDir home;
    std::filesystem::create_directories(home.path() + "/.kest");
    ::chmod((home.path() + "/.kest").c_str(), 0755);
    DaemonProcess daemon(home.path());
    ASSERT_TRUE(daemon.waitUntilListening());
    struct stat info {};
    ASSERT_EQ(::stat((home.path() + "/.kest").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST(DaemonStartup, DataDirectoryThatIsAFileFails) {
    TempDir home;
    std::ofstream(home.path() + "/.kest") << "not a directory";
    auto result = test::runKest({"--daemon"}, "", {{"HOME", home.path()}});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err.rfind("[kest-core] Daemon error: ", 0), 0u) << result.err;
}

}  // namespace
}  // namespace kest
