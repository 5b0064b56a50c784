// Daemon latency and throughput, against a bare line-echo server on the same
// kind of socket in the same run (the floor any daemon pays), and one-shot
// process cost against spawning /bin/true; and 64 clients at once, each
// keeping a window of requests in flight, for throughput and latency under load.
//
//   daemon_bench [KEST_CORE_BINARY]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRoundTrips = 20000;
constexpr int kPipelined = 200000;
constexpr int kProcesses = 200;
const std::string PING = R"({"jsonrpc":"2.0","id":1,"method":"ping"})"
                         "\n";

int connectTo(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads until `lines` line feeds have arrived; false if the peer closed.
bool readLines(int fd, long lines) {
    char chunk[65536];
    while (lines > 0) {
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        lines -= std::count(chunk, chunk + n, '\n');
    }
    return true;
}

// The peer: answers each line with itself, one connection a thread.
class EchoServer {
public:
    explicit EchoServer(std::string path) : path_(std::move(path)) {
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        ::unlink(path_.c_str());
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 16) != 0) {
            std::perror("echo server");
            std::exit(1);
        }
        acceptor_ = std::thread([this] {
            for (;;) {
                int client = ::accept(listener_, nullptr, nullptr);
                if (client < 0) return;
                std::thread([client] {
                    std::string buffer;
                    char chunk[65536];
                    for (;;) {
                        ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
                        if (n <= 0) break;
                        buffer.append(chunk, static_cast<std::size_t>(n));
                        auto last = buffer.rfind('\n');
                        if (last == std::string::npos) continue;
                        if (!sendAll(client, buffer.data(), last + 1)) break;
                        buffer.erase(0, last + 1);
                    }
                    ::close(client);
                }).detach();
            }
        });
    }
    ~EchoServer() {
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        acceptor_.join();
        ::unlink(path_.c_str());
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int listener_ = -1;
    std::thread acceptor_;
};

struct Latency {
    double p50Us, p99Us;
};

Latency roundTrips(const std::string& path) {
    int fd = connectTo(path);
    std::vector<double> samples;
    samples.reserve(kRoundTrips);
    for (int i = 0; i < kRoundTrips; ++i) {
        auto start = Clock::now();
        if (!sendAll(fd, PING.data(), PING.size()) || !readLines(fd, 1)) break;
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    ::close(fd);
    std::sort(samples.begin(), samples.end());
    if (samples.empty()) return {0, 0};
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

// Requests a second with `connections` clients each pipelining its share.
double pipelined(const std::string& path, int connections) {
    const int each = kPipelined / connections;
    std::string burst;
    for (int i = 0; i < 1000; ++i) burst += PING;
    std::vector<std::thread> clients;
    std::atomic<bool> ok{true};
    auto start = Clock::now();
    for (int c = 0; c < connections; ++c) {
        clients.emplace_back([&] {
            int fd = connectTo(path);
            std::thread writer([&] {
                for (int sent = 0; sent < each; sent += 1000) {
                    if (!sendAll(fd, burst.data(), burst.size())) ok = false;
                }
            });
            if (!readLines(fd, (each + 999) / 1000 * 1000)) ok = false;
            writer.join();
            ::close(fd);
        });
    }
    for (auto& t : clients) t.join();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!ok) std::fprintf(stderr, "pipelined run lost its connection\n");
    return (each + 999) / 1000 * 1000 * connections / seconds;
}

struct LoadFigures {
    double requestsPerSecond;
    double p50Us, p99Us;
    long lost;
};

// kLoadClients clients at once, each sending kLoadEach requests (ping, kv_set
// and kv_get of its own key, status) in writes of up to 10 lines, never more
// than `window` unanswered; latency is from a request's write to its answer.
// A window of 1 is 64 clients each waiting for every answer; a deep window
// queues thousands of requests behind the daemon's one turn at a time.
constexpr int kLoadClients = 64;
constexpr int kLoadEach = 1000;

LoadFigures load(const std::string& path, int window) {
    const int kLoadGroup = std::min(10, window);
    const int kLoadWindow = window;
    std::vector<std::vector<double>> samples(kLoadClients);
    std::atomic<long> lost{0};
    std::vector<std::thread> clients;
    auto start = Clock::now();
    for (int c = 0; c < kLoadClients; ++c) {
        clients.emplace_back([&, c] {
            int fd = connectTo(path);
            if (fd < 0) {
                lost += kLoadEach;
                return;
            }
            std::vector<std::string> lines(kLoadEach);
            const std::string key = "\"bench-" + std::to_string(c) + "\"";
            for (int i = 0; i < kLoadEach; ++i) {
                const std::string id = std::to_string(i);
                switch (i % 4) {
                case 0: lines[i] = R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"ping"})"; break;
                case 1: lines[i] = R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"kv_set","params":{"key":)" + key + R"(,"value":)" + id + "}}"; break;
                case 2: lines[i] = R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"kv_get","params":{"key":)" + key + "}}"; break;
                default: lines[i] = R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"status"})";
                }
                lines[i] += '\n';
            }
            std::vector<Clock::time_point> sentAt(kLoadEach);
            std::atomic<int> answered{0};
            std::thread writer([&] {
                for (int i = 0; i < kLoadEach; i += kLoadGroup) {
                    for (int seen = answered.load(); i - seen >= kLoadWindow; seen = answered.load()) answered.wait(seen);
                    std::string group;
                    for (int k = i; k < std::min(i + kLoadGroup, kLoadEach); ++k) group += lines[k];
                    auto now = Clock::now();
                    for (int k = i; k < std::min(i + kLoadGroup, kLoadEach); ++k) sentAt[k] = now;
                    if (!sendAll(fd, group.data(), group.size())) return;
                }
            });
            char chunk[65536];
            samples[c].reserve(kLoadEach);
            while (answered.load() < kLoadEach) {
                ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
                if (n <= 0) break;
                auto now = Clock::now();
                for (ssize_t k = 0; k < n; ++k) {
                    if (chunk[k] != '\n') continue;
                    int i = answered.fetch_add(1);
                    samples[c].push_back(std::chrono::duration<double, std::micro>(now - sentAt[i]).count());
                }
                answered.notify_all();
            }
            lost += kLoadEach - answered.load();
            ::shutdown(fd, SHUT_RDWR);
            answered.store(kLoadEach * 2);  // a writer waiting on a lost connection goes on, and fails
            answered.notify_all();
            writer.join();
            ::close(fd);
        });
    }
    for (auto& t : clients) t.join();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> all;
    for (auto& s : samples) all.insert(all.end(), s.begin(), s.end());
    std::sort(all.begin(), all.end());
    if (all.empty()) return {0, 0, 0, lost.load()};
    return {static_cast<double>(all.size()) / seconds, all[all.size() / 2], all[all.size() * 99 / 100], lost.load()};
}

double medianProcessMs(std::vector<std::string> argv) {
    std::vector<char*> pointers;
    for (auto& a : argv) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<double> samples;
    for (int i = 0; i < kProcesses; ++i) {
        auto start = Clock::now();
        pid_t pid;
        if (posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ) != 0) break;
        ::waitpid(pid, nullptr, 0);
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    posix_spawn_file_actions_destroy(&actions);
    std::sort(samples.begin(), samples.end());
    return samples.empty() ? 0 : samples[samples.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::string binary = argc > 1 ? argv[1] : KEST_BINARY;
    auto home = std::filesystem::temp_directory_path() / ("kest-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(home);
    ::signal(SIGPIPE, SIG_IGN);

    std::string homeVar = "HOME=" + home.string();
    std::vector<char*> env;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "HOME=", 5) != 0) env.push_back(*e);
    }
    env.push_back(homeVar.data());
    env.push_back(nullptr);
    std::string daemonFlag = "--daemon";
    char* daemonArgv[] = {binary.data(), daemonFlag.data(), nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    pid_t daemon;
    if (posix_spawn(&daemon, binary.c_str(), &quiet, nullptr, daemonArgv, env.data()) != 0) {
        std::fprintf(stderr, "cannot start %s\n", binary.c_str());
        return 1;
    }
    posix_spawn_file_actions_destroy(&quiet);
    std::string socketPath = (home / ".kest" / "daemon.sock").string();
    for (int i = 0; i < 500; ++i) {
        int fd = connectTo(socketPath);
        if (fd >= 0) {
            ::close(fd);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EchoServer echo((home / "echo.sock").string());

    // Warm both up.
    (void)roundTrips(socketPath);
    (void)roundTrips(echo.path());

    Latency kest = roundTrips(socketPath);
    Latency floor = roundTrips(echo.path());
    std::printf("ping round trip, 1 connection (%d sequential requests)\n", kRoundTrips);
    std::printf("  kest-core daemon   p50 %7.1f us   p99 %7.1f us\n", kest.p50Us, kest.p99Us);
    std::printf("  echo server (peer) p50 %7.1f us   p99 %7.1f us\n", floor.p50Us, floor.p99Us);
    std::printf("  ratio              p50 %7.2fx     p99 %7.2fx\n", kest.p50Us / floor.p50Us, kest.p99Us / floor.p99Us);

    for (int connections : {1, 8}) {
        double kestRate = pipelined(socketPath, connections);
        double floorRate = pipelined(echo.path(), connections);
        std::printf("pipelined ping, %d connection%s (%d requests)\n", connections, connections > 1 ? "s" : "", kPipelined);
        std::printf("  kest-core daemon   %10.0f requests/s\n", kestRate);
        std::printf("  echo server (peer) %10.0f requests/s\n", floorRate);
        std::printf("  ratio              %10.2fx of the peer's rate\n", kestRate / floorRate);
    }

    (void)load(socketPath, 100);  // warm-up: threads and buffers of 64 connections
    (void)load(echo.path(), 100);
    for (int window : {1, 100}) {
        LoadFigures kestLoad = load(socketPath, window);
        LoadFigures echoLoad = load(echo.path(), window);
        std::printf("load: %d clients at once, %d requests each, up to %d in flight each\n", kLoadClients, kLoadEach, window);
        std::printf("  kest-core daemon   %10.0f requests/s   p50 %8.1f us   p99 %8.1f us   lost %ld\n",
                    kestLoad.requestsPerSecond, kestLoad.p50Us, kestLoad.p99Us, kestLoad.lost);
        std::printf("  echo server (peer) %10.0f requests/s   p50 %8.1f us   p99 %8.1f us   lost %ld\n",
                    echoLoad.requestsPerSecond, echoLoad.p50Us, echoLoad.p99Us, echoLoad.lost);
        std::printf("  ratio              %10.2fx of the peer's rate   p50 %6.2fx   p99 %6.2fx (goal <= 2x)\n",
                    kestLoad.requestsPerSecond / echoLoad.requestsPerSecond, kestLoad.p50Us / echoLoad.p50Us,
                    kestLoad.p99Us / echoLoad.p99Us);
    }

    double oneShot = medianProcessMs({binary, "ping"});
    double trueMs = medianProcessMs({"/bin/true"});
    std::printf("one-shot process, median of %d\n", kProcesses);
    std::printf("  kest-core ping     %7.2f ms\n", oneShot);
    std::printf("  /bin/true (peer)   %7.2f ms\n", trueMs);
    std::printf("  ratio              %7.2fx\n", oneShot / trueMs);

    int fd = connectTo(socketPath);
    std::string shutdownLine = R"({"jsonrpc":"2.0","id":2,"method":"shutdown"})"
                               "\n";
    sendAll(fd, shutdownLine.data(), shutdownLine.size());
    readLines(fd, 1);
    ::close(fd);
    int status = 0;
    ::waitpid(daemon, &status, 0);
    std::filesystem::remove_all(home);
    return 0;
}
