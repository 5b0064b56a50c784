// Snapshot benchmark: a full non-interactive snapshot of gtk3-widget-factory's
// window through the daemon, against a plain pyatspi walk that reads the same
// attributes of the same window one call at a time, in the same run. Prints
// both medians, their ratio, the element counts, and the interactive
// snapshot's median.
//
//   kest_bench_snapshot [KEST_CORE_BINARY] [WALK_SCRIPT]   (inside the virtual desktop)
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

constexpr int RUNS = 9;

// A child started from an argument vector (optionally with its standard output
// on a pipe), terminated and reaped when the owner goes.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {}, bool captureOutput = false) {
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::vector<std::string> envStore;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const bool replaced = std::ranges::any_of(extraEnv, [&](const std::string& extra) {
                return entry.compare(0, extra.find('=') + 1, extra, 0, extra.find('=') + 1) == 0;
            });
            if (!replaced) envStore.push_back(entry);
        }
        for (const auto& e : extraEnv) envStore.push_back(e);
        std::vector<char*> env;
        for (auto& e : envStore) env.push_back(e.data());
        env.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        int pipeFds[2] = {-1, -1};
        if (captureOutput && ::pipe(pipeFds) == 0) {
            posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
            posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
            posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
        }
        if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), env.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (pipeFds[1] >= 0) ::close(pipeFds[1]);
        output_ = pipeFds[0];
    }
    ~Child() {
        if (output_ >= 0) ::close(output_);
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 100 && ::waitpid(pid_, nullptr, WNOHANG) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (::waitpid(pid_, nullptr, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // Everything the child writes until it exits, and then reaps it.
    std::string readAll() {
        std::string text;
        char chunk[4096];
        ssize_t n;
        while (output_ >= 0 && (n = ::read(output_, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(n));
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return text;
    }

private:
    pid_t pid_ = -1;
    int output_ = -1;
};

class Client {
public:
    bool connect(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() {
        if (fd_ >= 0) ::close(fd_);
    }
    Json call(const std::string& method, const Json& params = Json::object()) {
        Json request = {{"jsonrpc", "2.0"}, {"id", ++id_}, {"method", method}, {"params", params}};
        std::string line = request.dump() + "\n";
        for (std::size_t sent = 0; sent < line.size();) {
            ssize_t n = ::send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return nullptr;
            sent += static_cast<std::size_t>(n);
        }
        std::size_t end;
        while ((end = buffer_.find('\n')) == std::string::npos) {
            char chunk[65536];
            ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) return nullptr;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
        Json response = Json::parse(buffer_.substr(0, end), nullptr, false);
        buffer_.erase(0, end + 1);
        return response;
    }

private:
    int fd_ = -1;
    std::int64_t id_ = 0;
    std::string buffer_;
};

bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

double median(std::vector<double> values) {
    std::ranges::sort(values);
    return values.empty() ? 0 : values[values.size() / 2];
}

std::size_t countRecords(const Json& elements) {
    std::size_t n = 0;
    for (const Json& e : elements) n += 1 + (e.contains("children") ? countRecords(e["children"]) : 0);
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string binary = argc > 1 ? argv[1] : KEST_BINARY;
    const std::string script = argc > 2 ? argv[2] : KEST_WALK_SCRIPT;
    if (!std::getenv("DISPLAY")) {
        std::fprintf(stderr, "snapshot_bench: needs the virtual desktop (scripts/run-bench.sh)\n");
        return 1;
    }
    char homeTemplate[] = "/tmp/kest-snapshot-bench-XXXXXX";
    if (!::mkdtemp(homeTemplate)) return 1;
    const std::string home = homeTemplate;

    Child factory({"gtk3-widget-factory"});
    Child daemon({binary, "--daemon"}, {"HOME=" + home});
    Client client;
    if (!waitFor([&] { return client.connect(home + "/.kest/daemon.sock"); })) {
        std::fprintf(stderr, "snapshot_bench: the daemon did not start\n");
        return 1;
    }
    // Ready once the factory's window snapshots with its full tree.
    const Json byPid = {{"pid", factory.pid()}};
    std::size_t previous = 0;
    bool settled = waitFor([&] {
        Json r = client.call("snapshot", byPid);
        if (!r.contains("result")) return false;
        std::size_t n = countRecords(r["result"]["elements"]);
        bool same = n > 100 && n == previous;
        previous = n;
        return same;
    });
    if (!settled) {
        std::fprintf(stderr, "snapshot_bench: gtk3-widget-factory never came up\n");
        return 1;
    }

    auto timeSnapshots = [&](const Json& params, std::size_t& count) {
        std::vector<double> runs;
        for (int i = 0; i < RUNS; ++i) {
            const auto started = Clock::now();
            Json r = client.call("snapshot", params);
            runs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
            count = r.contains("result") ? countRecords(r["result"]["elements"]) : 0;
        }
        return median(runs);
    };
    std::size_t fullCount = 0;
    std::size_t interactiveCount = 0;
    const double full = timeSnapshots(byPid, fullCount);
    Json interactiveParams = byPid;
    interactiveParams["interactive"] = true;
    const double interactive = timeSnapshots(interactiveParams, interactiveCount);

    // The Debian package lives with the system interpreter.
    Child walker({"/usr/bin/python3", script, std::to_string(factory.pid()), std::to_string(RUNS)}, {}, true);
    Json walk = Json::parse(walker.readAll(), nullptr, false);
    if (!walk.is_object() || !walk.contains("runs_ms")) {
        std::fprintf(stderr, "snapshot_bench: the pyatspi walk failed\n");
        return 1;
    }
    const double peer = median(walk["runs_ms"].get<std::vector<double>>());

    client.call("shutdown");
    std::printf("gtk3-widget-factory, %d runs each, medians:\n", RUNS);
    std::printf("  kest-core snapshot (daemon, full)        %8.1f ms  %zu elements\n", full, fullCount);
    std::printf("  pyatspi walk, one call at a time         %8.1f ms  %lld elements\n", peer,
                static_cast<long long>(walk["count"].get<std::int64_t>()));
    std::printf("  ratio (pyatspi / kest-core)              %8.1fx\n", full > 0 ? peer / full : 0.0);
    std::printf("  kest-core snapshot (daemon, interactive) %8.1f ms  %zu elements\n", interactive, interactiveCount);
    std::filesystem::remove_all(home);
    return 0;
}
