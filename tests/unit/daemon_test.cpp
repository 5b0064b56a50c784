// The daemon over a real socket: framing, bad input, many clients, shared
// state, shutdown, who may connect and how many, and start-up failures.
#include <gtest/gtest.h>

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "rpc/daemon_server.hpp"
#include "rpc/protocol.hpp"
#include "support/fake_desktop.hpp"
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

// One daemon per data directory: a second start fails and names the first,
// which serves on. And a daemon removes at its end only the files that are
// still its own (a daemon of an older version may have replaced them).
TEST_F(DaemonTest, ASecondDaemonIsRefusedAndOnlyOwnFilesAreRemoved) {
    DaemonProcess second(home_.path());
    EXPECT_EQ(second.waitForExit(), 1);
    EXPECT_NE(second.errorOutput().find("Another daemon is running (pid " + std::to_string(daemon_->pid()) + ")"),
              std::string::npos)
        << second.errorOutput();
    SocketClient client = connect();
    EXPECT_EQ(client.call(request(1, "ping")), pong(1));

    const std::string info = home_.path() + "/.kest/daemon.json";
    ASSERT_TRUE(std::filesystem::remove(daemon_->socketPath()));
    std::ofstream(daemon_->socketPath()) << "someone else's\n";
    std::ofstream(info) << R"({"pid": 1})" << "\n";
    EXPECT_EQ(client.call(request(2, "shutdown")), R"({"id":2,"jsonrpc":"2.0","result":{"ok":true}})");
    EXPECT_EQ(daemon_->waitForExit(), 0);
    EXPECT_TRUE(std::filesystem::exists(daemon_->socketPath()));
    EXPECT_TRUE(std::filesystem::exists(info));
}

// --- How the daemon stops, answers, admits and refuses ---

// Open descriptors of a process.
std::size_t openDescriptors(pid_t pid) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) ++count;
    return count;
}

// Sends a line and reads the answer, which may be a refusal written before
// the line arrived (and the connection closed, so the send itself may fail).
std::optional<std::string> answerOrRefusal(SocketClient& client, const std::string& line) {
    (void)client.send(line + "\n");
    return client.readLine();
}

bool isRefusal(const std::optional<std::string>& line) {
    if (!line) return false;
    Json parsed = Json::parse(*line, nullptr, false);
    return parsed.is_object() && parsed["id"] == 0 && parsed["error"]["code"] == -32600 &&
           parsed["error"]["message"].get<std::string>().rfind("Connection refused: ", 0) == 0;
}

// A client that stops reading before its shutdown is answered: the answer
// cannot be written, nor one held back from the same read, and the daemon
// stops all the same.
TEST_F(DaemonTest, ShutdownWhoseAnswerCannotBeWrittenStillStops) {
    for (const std::string& burst :
         {request(1, "shutdown") + "\n", request(1, "ping") + "\n" + request(2, "shutdown") + "\n"}) {
        if (!daemon_) {
            ASSERT_TRUE(startDaemon());
        }
        SocketClient client = connect();
        ASSERT_EQ(::shutdown(client.fd(), SHUT_RD), 0);
        ASSERT_TRUE(client.send(burst));
        client.close();
        EXPECT_EQ(daemon_->waitForExit(), 0) << burst;
        EXPECT_FALSE(std::filesystem::exists(daemon_->socketPath())) << burst;
        daemon_.reset();
    }
}

// Everything the stopping client sent before its shutdown was answered is
// answered, though it reads only later (the daemon blocks writing to it);
// other connections end at once with their backlog unanswered.
TEST_F(DaemonTest, StopAnswersTheStoppersBacklogAndEndsTheOthers) {
    SocketClient other = connect();
    SocketClient stopper = connect();
    const std::string value(2000, 'v');
    ASSERT_EQ(stopper.call(request(1, "kv_set", R"({"key":"big","value":")" + value + "\"}")),
              R"({"id":1,"jsonrpc":"2.0","result":{"ok":true}})");
    ASSERT_EQ(other.call(request(2, "ping")), pong(2));

    constexpr int kBehind = 2000;  // about 4 MB of answers: far more than a socket buffer holds
    std::string burst = request(3, "shutdown") + "\n";
    for (int i = 0; i < kBehind; ++i) burst += request(10 + i, "kv_get", R"({"key":"big"})") + "\n";
    ASSERT_TRUE(stopper.send(burst));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the daemon sees the stop meanwhile

    EXPECT_EQ(stopper.readLine(), R"({"id":3,"jsonrpc":"2.0","result":{"ok":true}})");
    const std::string expected = R"(,"jsonrpc":"2.0","result":{"key":"big","value":")" + value + "\"}}";
    int answered = 0;
    for (int i = 0; i < kBehind; ++i) {
        if (stopper.readLine() == R"({"id":)" + std::to_string(10 + i) + expected) ++answered;
    }
    EXPECT_EQ(answered, kBehind);
    EXPECT_TRUE(stopper.closedByPeer());
    EXPECT_TRUE(other.closedByPeer());
    EXPECT_EQ(daemon_->waitForExit(), 0);
}

// Each answer goes out when it is made: the first line of a write is answered
// while the second, sent with it, still waits.
TEST_F(DaemonTest, AnAnswerDoesNotWaitForTheRestOfItsRead) {
    SocketClient client = connect();
    ASSERT_TRUE(client.send(request(1, "ping") + "\n" + request(2, "wait", R"({"ms": 600000})") + "\n"));
    EXPECT_EQ(client.readLine(), pong(1));
    SocketClient stopper = connect();
    EXPECT_EQ(stopper.call(request(3, "shutdown")), R"({"id":3,"jsonrpc":"2.0","result":{"ok":true}})");
    EXPECT_EQ(daemon_->waitForExit(), 0);
}

// Past the connection limit a client gets one error line and is closed; the
// open ones are served on, and a place freed is taken again.
TEST_F(DaemonTest, ConnectionsBeyondTheLimitAreRefusedCleanly) {
    std::vector<SocketClient> open(DaemonServer::kMaxConnections);
    for (std::size_t i = 0; i < open.size(); ++i) {
        ASSERT_TRUE(open[i].connect(daemon_->socketPath()));
        ASSERT_EQ(open[i].call(request(static_cast<std::int64_t>(i), "ping")), pong(static_cast<std::int64_t>(i)));
    }
    SocketClient extra = connect();
    EXPECT_TRUE(isRefusal(extra.readLine()));
    EXPECT_TRUE(extra.closedByPeer());
    EXPECT_EQ(open.front().call(request(1, "ping")), pong(1));

    open.back().close();
    bool servedAgain = false;
    for (int attempt = 0; attempt < 100 && !servedAgain; ++attempt) {
        SocketClient late = connect();
        auto line = answerOrRefusal(late, request(7, "ping"));
        servedAgain = line == pong(7);
        if (!servedAgain) {
            EXPECT_TRUE(isRefusal(line));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    EXPECT_TRUE(servedAgain);
    EXPECT_NE(daemon_->errorOutput().find("[kest-core] Refused a connection: "), std::string::npos);
}

// Out of descriptors, a waiting client is refused with a line (not left in
// the queue while the accept loop spins), and the daemon serves on once
// descriptors are to be had again.
TEST_F(DaemonTest, RunningOutOfDescriptorsRefusesAndRecovers) {
    SocketClient first = connect();
    ASSERT_EQ(first.call(request(1, "ping")), pong(1));
    rlimit before{};
    ASSERT_EQ(::prlimit(daemon_->pid(), RLIMIT_NOFILE, nullptr, &before), 0);
    rlimit tight = before;
    tight.rlim_cur = openDescriptors(daemon_->pid()) + 2;
    ASSERT_EQ(::prlimit(daemon_->pid(), RLIMIT_NOFILE, &tight, nullptr), 0);

    std::vector<SocketClient> clients;
    bool refused = false;
    for (int i = 0; i < 10 && !refused; ++i) {
        clients.emplace_back();
        ASSERT_TRUE(clients.back().connect(daemon_->socketPath()));
        auto line = answerOrRefusal(clients.back(), request(100 + i, "ping"));
        refused = isRefusal(line);
        if (!refused) {
            ASSERT_EQ(line, pong(100 + i));
        }
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ(first.call(request(2, "ping")), pong(2)) << daemon_->errorOutput();

    ASSERT_EQ(::prlimit(daemon_->pid(), RLIMIT_NOFILE, &before, nullptr), 0);
    clients.clear();
    bool served = false;
    for (int attempt = 0; attempt < 100 && !served; ++attempt) {
        SocketClient again = connect();
        served = answerOrRefusal(again, request(3, "ping")) == pong(3);
        if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(served);
}

#ifndef __SANITIZE_ADDRESS__
// A thread that cannot be started (no address space left for its stack)
// refuses that one client; the daemon lives on.
TEST_F(DaemonTest, AFailedThreadStartRefusesThatClientOnly) {
    // Hold connections open so that no finished thread's stack is left to
    // reuse: more than the allocator caches (five 8 MiB stacks), with those of
    // the start-up probes' threads, which may be joined only meanwhile.
    std::vector<SocketClient> held(16);
    for (std::size_t i = 0; i < held.size(); ++i) {
        ASSERT_TRUE(held[i].connect(daemon_->socketPath()));
        ASSERT_EQ(held[i].call(request(1, "ping")), pong(1));
    }
    std::ifstream status("/proc/" + std::to_string(daemon_->pid()) + "/status");
    std::string line;
    rlim_t sizeKiB = 0;
    while (std::getline(status, line)) {
        if (line.rfind("VmSize:", 0) == 0) sizeKiB = std::stoull(line.substr(7));
    }
    ASSERT_GT(sizeKiB, 0u);
    rlimit before{};
    ASSERT_EQ(::prlimit(daemon_->pid(), RLIMIT_AS, nullptr, &before), 0);
    rlimit tight = before;
    tight.rlim_cur = (sizeKiB + 2048) * 1024;  // less than one thread stack more
    ASSERT_EQ(::prlimit(daemon_->pid(), RLIMIT_AS, &tight, nullptr), 0);
    SocketClient refused = connect();
    auto answer = refused.readLine();
    ASSERT_EQ(::prlimit(daemon_->pid(), RLIMIT_AS, &before, nullptr), 0);
    EXPECT_TRUE(isRefusal(answer)) << answer.value_or("(nothing)");
    EXPECT_EQ(held.front().call(request(2, "ping")), pong(2));
    SocketClient later = connect();
    EXPECT_EQ(later.call(request(3, "ping")), pong(3));
}
#endif

// Only the daemon's own user (or root) may talk to it, whatever the modes of
// its files: a client of another uid is closed unanswered.
TEST_F(DaemonTest, ClientsOfAnotherUserAreTurnedAway) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    // Widen everything by hand so that only the credential check is left.
    ASSERT_EQ(::chmod(home_.path().c_str(), 0711), 0);
    ASSERT_EQ(::chmod((home_.path() + "/.kest").c_str(), 0711), 0);
    ASSERT_EQ(::chmod(daemon_->socketPath().c_str(), 0777), 0);

    const std::string path = daemon_->socketPath();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const std::string line = request(1, "ping") + "\n";

    // The child makes only async-signal-safe calls; its exit status is the verdict.
    enum Verdict { kClosedUnanswered = 0, kAnswered = 1, kCannotConnect = 2, kNoVerdict = 3, kNoSwitch = 4 };
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(kNoSwitch);
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) ::_exit(kCannotConnect);
        (void)!::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
        pollfd watch{fd, POLLIN, 0};
        if (::poll(&watch, 1, 10000) <= 0) ::_exit(kNoVerdict);
        char byte;
        ssize_t n = ::recv(fd, &byte, 1, 0);
        ::_exit(n > 0 ? kAnswered : kClosedUnanswered);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), kClosedUnanswered);
    EXPECT_NE(daemon_->errorOutput().find("Refused a connection: from uid " + std::to_string(uid)), std::string::npos);
    // Root and the owner (here the same) are served as before.
    SocketClient owner = connect();
    EXPECT_EQ(owner.call(request(2, "ping")), pong(2));
}

// Polls until the condition holds, for up to ten seconds.
bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 1000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A request that keeps the turn without pausing (a long snapshot, a hung
// application) leaves liveness, status and the key-value store answering:
// they need neither the desktop nor the state it guards. Served in process,
// so that a handler can hold the turn for as long as the test wants.
TEST(DaemonTurn, PingStatusAndKeysAnswerWhileAnotherRequestHoldsTheTurn) {
    fake::FakeDesktop desktop;
    RequestGate gate;
    Dispatcher dispatcher(desktop, &gate);
    std::atomic<bool> release{false};
    std::atomic<bool> holding{false};
    dispatcher.handlers["hold"] = [&](const RPCRequest& request) {
        holding.store(true);
        while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return RPCResponse::success(request.id, {{"ok", true}});
    };
    TempDir home;
    const std::string kestDir = home.path() + "/.kest";
    DaemonServer server(dispatcher, gate, kestDir);
    std::thread serving([&] { (void)server.start(); });
    struct Stop {
        DaemonServer& server;
        std::atomic<bool>& release;
        std::thread& serving;
        ~Stop() {
            release.store(true);
            server.requestStop();
            serving.join();
        }
    } stop{server, release, serving};

    SocketClient busy;
    ASSERT_TRUE(eventually([&] { return busy.connect(kestDir + "/daemon.sock"); }));
    ASSERT_TRUE(busy.send(request(1, "hold") + "\n"));
    ASSERT_TRUE(eventually([&] { return holding.load(); }));

    SocketClient other;
    ASSERT_TRUE(other.connect(kestDir + "/daemon.sock"));
    EXPECT_EQ(other.call(request(2, "ping")), pong(2));
    EXPECT_EQ(other.call(request(3, "kv_set", R"({"key": "k", "value": [1, "two"]})")),
              R"({"id":3,"jsonrpc":"2.0","result":{"ok":true}})");
    EXPECT_EQ(other.call(request(4, "kv_get", R"({"key": "k"})")),
              R"({"id":4,"jsonrpc":"2.0","result":{"key":"k","value":[1,"two"]}})");
    auto status = other.call(request(5, "status"));
    ASSERT_TRUE(status);
    EXPECT_TRUE(Json::parse(*status)["result"]["grabbed_window"].is_null());
    // A request that needs the desktop waits its turn.
    ASSERT_TRUE(other.send(request(6, "windows") + "\n"));
    EXPECT_FALSE(other.readLine(std::chrono::milliseconds(100)));

    release.store(true);
    EXPECT_EQ(busy.readLine(), R"({"id":1,"jsonrpc":"2.0","result":{"ok":true}})");
    auto windows = other.readLine();
    ASSERT_TRUE(windows);
    EXPECT_EQ(Json::parse(*windows)["id"], 6);
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
