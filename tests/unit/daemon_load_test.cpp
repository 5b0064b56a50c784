// The daemon under load, slow and broken clients, and a kill under load: many
// clients at once, each answered exactly once and in order, with its own data
// intact, and the daemon's memory back where it was once they have gone.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
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

#ifdef __SANITIZE_ADDRESS__
// The sanitizer build runs the daemon several times slower: a quarter of the
// requests keeps the suite's time reasonable and still overlaps every client.
constexpr int kRequestsEach = 250;
#else
constexpr int kRequestsEach = 1000;
#endif
constexpr int kClients = 64;

std::string requestLine(std::int64_t id, const std::string& method, const Json& params = Json()) {
    Json line = {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}};
    if (!params.is_null()) line["params"] = params;
    return line.dump();
}

std::string pongLine(std::int64_t id) { return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{"pong":true}})"; }

// A field of /proc/<pid>/status, in its own unit (kB for the sizes).
long procStatus(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

// One client's share of the load: pings, status, its own keys set and read
// back, and batches reading them again, written all at once by one thread
// while another reads the answers. Answers how many were right, in order.
int runClient(const std::string& socketPath, int client, int requests) {
    SocketClient connection;
    if (!connection.connect(socketPath)) return 0;
    std::vector<std::string> values(4);
    std::string burst;
    for (int i = 0; i < requests; ++i) {
        const std::string key = "client-" + std::to_string(client) + "-" + std::to_string((i / 5) % 4);
        switch (i % 5) {
        case 0: burst += requestLine(i, "ping"); break;
        case 1: burst += requestLine(i, "status"); break;
        case 2: burst += requestLine(i, "kv_set", {{"key", key}, {"value", "élan " + std::to_string(client) + "/" + std::to_string(i) + " ✓"}}); break;
        case 3: burst += requestLine(i, "kv_get", {{"key", key}}); break;
        default:
            burst += requestLine(i, "batch", {{"commands", Json::array({Json::array({"kv_get", {{"key", key}}}), Json::array({"ping"})})}});
        }
        burst += '\n';
    }
    std::thread writer([&] { (void)connection.send(burst); });
    int correct = 0;
    for (int i = 0; i < requests; ++i) {
        auto line = connection.readLine(std::chrono::seconds(60));
        if (!line) break;
        Json answer = Json::parse(*line, nullptr, false);
        if (!answer.is_object() || answer["id"] != i || !answer.contains("result")) continue;
        const Json& result = answer["result"];
        const std::string expected = "élan " + std::to_string(client) + "/" + std::to_string(i - i % 5 + 2) + " ✓";
        bool right = false;
        switch (i % 5) {
        case 0: right = result == Json{{"pong", true}}; break;
        case 1: right = result.contains("daemon_pid"); break;
        case 2: right = result == Json{{"ok", true}}; break;
        case 3: right = result["value"] == expected; break;
        default:
            right = result["ok"] == true && result["results"].size() == 2 && result["results"][0]["result"]["value"] == expected &&
                    result["results"][1]["result"]["pong"] == true;
        }
        if (right) ++correct;
    }
    writer.join();
    // Nothing more was answered than asked: the next answer is the next request's.
    if (connection.call(requestLine(1'000'000, "ping")) != pongLine(1'000'000)) correct = -1;
    for (int k = 0; k < 4; ++k) {
        (void)connection.call(requestLine(2'000'000 + k, "kv_set", {{"key", "client-" + std::to_string(client) + "-" + std::to_string(k)}}));
    }
    return correct;
}

// Runs every client at once; answers each one's count of right answers.
std::vector<int> runLoad(const std::string& socketPath, int requests) {
    std::vector<int> correct(kClients, 0);
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) threads.emplace_back([&, c] { correct[c] = runClient(socketPath, c, requests); });
    for (auto& t : threads) t.join();
    return correct;
}

class DaemonLoadTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(startDaemon()); }

    bool startDaemon() {
        daemon_ = std::make_unique<DaemonProcess>(home_.path());
        return daemon_->waitUntilListening();
    }

    // Once the clients have gone, the daemon's connection threads end soon.
    void waitForThreads(long atMost) {
        for (int i = 0; i < 500 && procStatus(daemon_->pid(), "Threads") > atMost; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    void shutDown() {
        SocketClient stopper;
        ASSERT_TRUE(stopper.connect(daemon_->socketPath()));
        EXPECT_EQ(stopper.call(requestLine(1, "shutdown")), R"({"id":1,"jsonrpc":"2.0","result":{"ok":true}})");
        // Exit status 0 also says the sanitizer build found no leak at exit.
        EXPECT_EQ(daemon_->waitForExit(std::chrono::seconds(30)), 0) << daemon_->errorOutput();
    }

    TempDir home_;
    std::unique_ptr<DaemonProcess> daemon_;
};

TEST_F(DaemonLoadTest, SixtyFourPipeliningClientsAreEachAnsweredExactlyOnceInOrder) {
    const long idleThreads = procStatus(daemon_->pid(), "Threads");
    // A first, smaller round brings the daemon to its working size.
    for (int correct : runLoad(daemon_->socketPath(), 50)) ASSERT_EQ(correct, 50);
    waitForThreads(idleThreads);
    const long warmKiB = procStatus(daemon_->pid(), "VmRSS");

    std::vector<int> correct = runLoad(daemon_->socketPath(), kRequestsEach);
    for (int c = 0; c < kClients; ++c) EXPECT_EQ(correct[c], kRequestsEach) << "client " << c;

    waitForThreads(idleThreads);
    const long afterKiB = procStatus(daemon_->pid(), "VmRSS");
    std::printf("daemon resident memory: %ld kB warm, %ld kB after %d x %d requests\n", warmKiB, afterKiB, kClients,
                kRequestsEach);
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's quarantine holds freed memory on purpose
    // Connection buffers, answers and keys are all gone again; what may stay is
    // the allocator's cached free memory, bounded well below this.
    EXPECT_LT(afterKiB, warmKiB + 16 * 1024);
#endif
    shutDown();
}

TEST_F(DaemonLoadTest, SlowAndBrokenClientsHurtNoOneElse) {
    const std::string big(4 << 20, 'b');
    SocketClient setter;
    ASSERT_TRUE(setter.connect(daemon_->socketPath()));
    ASSERT_EQ(setter.call(requestLine(1, "kv_set", {{"key", "big"}, {"value", big}})), R"({"id":1,"jsonrpc":"2.0","result":{"ok":true}})");

    const long idleThreads = procStatus(daemon_->pid(), "Threads");
    [[maybe_unused]] const long startKiB = procStatus(daemon_->pid(), "VmRSS");

    // Asks for far more than its socket buffer holds and does not read yet.
    constexpr int kUnread = 16;
    SocketClient sleeper;
    ASSERT_TRUE(sleeper.connect(daemon_->socketPath()));
    std::string asks;
    for (int i = 0; i < kUnread; ++i) asks += requestLine(i, "kv_get", {{"key", "big"}}) + "\n";
    ASSERT_TRUE(sleeper.send(asks));

    // Half a line, then gone.
    {
        SocketClient halfway;
        ASSERT_TRUE(halfway.connect(daemon_->socketPath()));
        ASSERT_TRUE(halfway.send(requestLine(1, "ping").substr(0, 20)));
    }
    // Gone in the middle of a large answer.
    {
        SocketClient quitter;
        ASSERT_TRUE(quitter.connect(daemon_->socketPath()));
        ASSERT_TRUE(quitter.send(requestLine(1, "kv_get", {{"key", "big"}}) + "\n"));
        char some[4096];
        ASSERT_GT(::recv(quitter.fd(), some, sizeof some, 0), 0);
    }
    // One line of 64 MiB: answered with an error, as any line that is no request.
    std::optional<std::string> hugeAnswer;
    std::thread huge([&] {
        SocketClient flooder;
        if (!flooder.connect(daemon_->socketPath())) return;
        std::string line(64u << 20, 'x');
        line.back() = '\n';
        if (flooder.send(line)) hugeAnswer = flooder.readLine(std::chrono::seconds(60));
    });

    // Meanwhile everyone else is served as usual.
    std::vector<std::thread> bystanders;
    std::vector<int> correct(4, 0);
    for (int b = 0; b < 4; ++b) {
        bystanders.emplace_back([&, b] {
            SocketClient client;
            if (!client.connect(daemon_->socketPath())) return;
            for (int i = 0; i < 200; ++i) {
                if (client.call(requestLine(i, "ping")) == pongLine(i)) ++correct[b];
            }
        });
    }
    for (auto& t : bystanders) t.join();
    for (int b = 0; b < 4; ++b) EXPECT_EQ(correct[b], 200) << "bystander " << b;
    huge.join();
    ASSERT_TRUE(hugeAnswer);
    EXPECT_EQ(Json::parse(*hugeAnswer)["error"]["code"], -32600);

    // The slow reader finally reads: every answer is there, whole.
    int whole = 0;
    for (int i = 0; i < kUnread; ++i) {
        auto line = sleeper.readLine(std::chrono::seconds(60));
        if (line && Json::parse(*line)["result"]["value"] == big && Json::parse(*line)["id"] == i) ++whole;
    }
    EXPECT_EQ(whole, kUnread);
    EXPECT_EQ(setter.call(requestLine(2, "ping")), pongLine(2));

    sleeper.close();
    waitForThreads(idleThreads);
#ifndef __SANITIZE_ADDRESS__
    // The 64 MiB line and the answers queued for the slow reader are freed.
    const long afterKiB = procStatus(daemon_->pid(), "VmRSS");
    EXPECT_LT(afterKiB, startKiB + 32 * 1024) << "from " << startKiB << " kB";
#endif
    shutDown();
}

// A client that asks and never reads loses its connection once its answers
// have made no way for the send limit, and its thread ends; one that reads
// slowly (above) keeps it.
TEST_F(DaemonLoadTest, AClientThatNeverReadsIsCutOffAfterTheSendLimit) {
    daemon_.reset();  // the one SetUp started, without the limit
    daemon_ = std::make_unique<DaemonProcess>(home_.path(), std::map<std::string, std::string>{{"KEST_SEND_TIMEOUT_MS", "1000"}});
    ASSERT_TRUE(daemon_->waitUntilListening());
    SocketClient setter;
    ASSERT_TRUE(setter.connect(daemon_->socketPath()));
    ASSERT_EQ(setter.call(requestLine(1, "kv_set", {{"key", "big"}, {"value", std::string(4 << 20, 'b')}})),
              R"({"id":1,"jsonrpc":"2.0","result":{"ok":true}})");
    const long idleThreads = procStatus(daemon_->pid(), "Threads");
    SocketClient sleeper;
    ASSERT_TRUE(sleeper.connect(daemon_->socketPath()));
    std::string asks;
    for (int i = 0; i < 4; ++i) asks += requestLine(i, "kv_get", {{"key", "big"}}) + "\n";
    ASSERT_TRUE(sleeper.send(asks));
    // Its thread has started, and sent what the socket holds, before it ends.
    for (int i = 0; i < 500 && procStatus(daemon_->pid(), "Threads") <= idleThreads; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GT(procStatus(daemon_->pid(), "Threads"), idleThreads);
    waitForThreads(idleThreads);
    EXPECT_LE(procStatus(daemon_->pid(), "Threads"), idleThreads) << "the connection's thread is still in its send";
    int answers = 0;
    while (sleeper.readLine(std::chrono::seconds(5))) ++answers;
    EXPECT_LT(answers, 4);
    EXPECT_EQ(setter.call(requestLine(2, "ping")), pongLine(2));
    shutDown();
}

// SIGKILL leaves the socket file behind, with clients in the middle of their
// pipelines; a new daemon takes the path over and serves them afresh.
TEST_F(DaemonLoadTest, KilledUnderLoadThenStartedAgainTakesOverAndServes) {
    std::atomic<bool> go{true};
    std::vector<std::thread> clients;
    for (int c = 0; c < 8; ++c) {
        clients.emplace_back([&, c] {
            SocketClient client;
            if (!client.connect(daemon_->socketPath())) return;
            std::string burst;
            for (int i = 0; i < 100; ++i) burst += requestLine(c, "status") + "\n";
            while (go.load() && client.send(burst)) {
                if (!client.readLine()) break;
            }
        });
    }
    SocketClient probe;
    ASSERT_TRUE(probe.connect(daemon_->socketPath()));
    ASSERT_EQ(probe.call(requestLine(1, "ping")), pongLine(1));
    ASSERT_EQ(::kill(daemon_->pid(), SIGKILL), 0);
    EXPECT_EQ(daemon_->waitForExit(), -1);
    go.store(false);
    for (auto& t : clients) t.join();
    ASSERT_TRUE(std::filesystem::exists(daemon_->socketPath()));

    ASSERT_TRUE(startDaemon());
    SocketClient client;
    ASSERT_TRUE(client.connect(daemon_->socketPath()));
    EXPECT_EQ(client.call(requestLine(2, "ping")), pongLine(2));
    EXPECT_EQ(client.call(requestLine(3, "kv_get", {{"key", "big"}})), R"({"id":3,"jsonrpc":"2.0","result":{"key":"big","value":null}})");
    shutDown();
}

}  // namespace
}  // namespace kest
