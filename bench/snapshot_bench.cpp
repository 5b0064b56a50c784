// Snapshot benchmark: a full non-interactive snapshot of gtk3-widget-factory's
// window through the daemon, against a plain pyatspi walk that reads the same
// attributes of the same window one call at a time, in the same run. Prints
// both medians, their ratio, the element counts, and the interactive
// snapshot's median. The three are taken in turns, one of each per round.
//
//   kest_bench_snapshot [KEST_CORE_BINARY] [WALK_SCRIPT]   (inside the virtual desktop)
#include <fcntl.h>
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

constexpr int RUNS = 15;

// A child started from an argument vector (optionally talking over pipes on
// its standard input and output), terminated and reaped when the owner goes.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {}, bool talk = false) {
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
        int out[2] = {-1, -1};
        int in[2] = {-1, -1};
        if (talk && ::pipe2(out, O_CLOEXEC) == 0 && ::pipe2(in, O_CLOEXEC) == 0) {
            posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
            posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        }
        if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), env.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        for (int unused : {out[1], in[0]}) {
            if (unused >= 0) ::close(unused);
        }
        output_ = out[0];
        input_ = in[1];
    }
    ~Child() {
        if (input_ >= 0) ::close(input_);
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
    // Writes one line to the child; true when it went.
    bool say(const std::string& line) {
        const std::string text = line + "\n";
        return input_ >= 0 && ::write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    // The next line the child writes, or "" once it has closed its output.
    std::string nextLine() {
        std::size_t end;
        while ((end = pending_.find('\n')) == std::string::npos) {
            char chunk[4096];
            const ssize_t n = output_ >= 0 ? ::read(output_, chunk, sizeof chunk) : -1;
            if (n <= 0) return {};
            pending_.append(chunk, static_cast<std::size_t>(n));
        }
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string pending_;
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

    // The Debian package lives with the system interpreter.
    Child walker({"/usr/bin/python3", script, std::to_string(factory.pid())}, {}, true);
    Json ready = Json::parse(walker.nextLine(), nullptr, false);
    if (!ready.is_object() || !ready.contains("ready")) {
        std::fprintf(stderr, "snapshot_bench: the pyatspi walk failed to start\n");
        return 1;
    }

    // Rounds of one of each, so that whatever else the machine is doing
    // meanwhile weighs on all three alike.
    Json interactiveParams = byPid;
    interactiveParams["interactive"] = true;
    auto timeSnapshot = [&](const Json& params, std::size_t& count) {
        const auto started = Clock::now();
        Json r = client.call("snapshot", params);
        const double took = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
        count = r.contains("result") ? countRecords(r["result"]["elements"]) : 0;
        return took;
    };
    std::vector<double> fullRuns;
    std::vector<double> interactiveRuns;
    std::vector<double> walkRuns;
    std::size_t fullCount = 0;
    std::size_t interactiveCount = 0;
    std::int64_t walkCount = 0;
    for (int i = 0; i < RUNS; ++i) {
        fullRuns.push_back(timeSnapshot(byPid, fullCount));
        if (!walker.say("walk")) break;
        Json walk = Json::parse(walker.nextLine(), nullptr, false);
        if (!walk.is_object() || !walk.contains("ms")) break;
        walkRuns.push_back(walk["ms"].get<double>());
        walkCount = walk["count"].get<std::int64_t>();
        interactiveRuns.push_back(timeSnapshot(interactiveParams, interactiveCount));
    }
    if (walkRuns.size() != static_cast<std::size_t>(RUNS)) {
        std::fprintf(stderr, "snapshot_bench: the pyatspi walk failed\n");
        return 1;
    }
    const double full = median(fullRuns);
    const double interactive = median(interactiveRuns);
    const double peer = median(walkRuns);

    client.call("shutdown");
    std::printf("gtk3-widget-factory, %d runs each, medians:\n", RUNS);
    std::printf("  kest-core snapshot (daemon, full)        %8.1f ms  %zu elements\n", full, fullCount);
    std::printf("  pyatspi walk, one call at a time         %8.1f ms  %lld elements\n", peer,
                static_cast<long long>(walkCount));
    std::printf("  ratio (pyatspi / kest-core)              %8.1fx\n", full > 0 ? peer / full : 0.0);
    std::printf("  kest-core snapshot (daemon, interactive) %8.1f ms  %zu elements\n", interactive, interactiveCount);
    std::filesystem::remove_all(home);
    return 0;
}
