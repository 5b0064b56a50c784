// What the desktop benchmarks share: children started from an argument
// vector, a line-protocol client of the daemon, bounded polling and medians.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "rpc/json_codec.hpp"

extern char** environ;

namespace kest::bench {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

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
    // Waits for the child to exit; its status as waitpid reports it.
    int wait() {
        int status = -1;
        if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) pid_ = -1;
        return status;
    }
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

struct Output {
    int status = -1;
    std::string out;
};

// Runs argv with `input` on its standard input. With `capture`, reads its
// output to the end; otherwise the output goes to /dev/null and only the exit
// is waited for (xclip -i leaves a child that keeps what it inherited).
inline Output run(const std::vector<std::string>& argv, const std::string& input, bool capture) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    if (capture) {
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    int input_fd = in[1];
    int output_fd = capture ? out[0] : -1;
    if (!capture) ::close(out[0]);
    if (spawned != 0) {
        ::close(input_fd);
        if (output_fd >= 0) ::close(output_fd);
        return {};
    }
    ::fcntl(input_fd, F_SETFL, O_NONBLOCK);
    if (input.empty()) {
        ::close(input_fd);
        input_fd = -1;
    }
    Output result;
    std::size_t written = 0;
    while (input_fd >= 0 || output_fd >= 0) {
        pollfd fds[2] = {{input_fd, POLLOUT, 0}, {output_fd, POLLIN, 0}};
        if (::poll(fds, 2, 1000) <= 0) continue;
        if (fds[0].revents) {
            const ssize_t n = ::write(input_fd, input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<std::size_t>(n);
            if (n < 0 || written == input.size()) {
                ::close(input_fd);
                input_fd = -1;
            }
        }
        if (fds[1].revents) {
            char chunk[65536];
            const ssize_t n = ::read(output_fd, chunk, sizeof chunk);
            if (n <= 0) {
                ::close(output_fd);
                output_fd = -1;
            } else {
                result.out.append(chunk, static_cast<std::size_t>(n));
            }
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

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
    Json call(const std::string& method, Json params = Json::object()) {
        // The engine's own codec: a client's JSON costs are part of every call,
        // so they are paid at the speed a well-chosen codec allows. Built member
        // by member, so that a large parameter is moved, not copied.
        Json request = Json::object();
        request["jsonrpc"] = "2.0";
        request["id"] = ++id_;
        request["method"] = method;
        request["params"] = std::move(params);
        std::string line = kest::encodeJson(request) + "\n";
        for (std::size_t sent = 0; sent < line.size();) {
            ssize_t n = ::send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return nullptr;
            sent += static_cast<std::size_t>(n);
        }
        std::size_t end, looked = 0;
        while ((end = buffer_.find('\n', looked)) == std::string::npos) {
            looked = buffer_.size();
            char chunk[65536];
            ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) return nullptr;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
        auto response = kest::decodeJson(std::string_view(buffer_).substr(0, end));
        buffer_.erase(0, end + 1);
        return response ? std::move(*response) : Json(nullptr);
    }

private:
    int fd_ = -1;
    std::int64_t id_ = 0;
    std::string buffer_;
};

inline bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

inline double median(std::vector<double> values) {
    std::ranges::sort(values);
    return values.empty() ? 0 : values[values.size() / 2];
}

// A daemon with a private temporary home, and a client connected to it. The
// home is removed when the session goes (after the daemon has been stopped).
class DaemonSession {
public:
    // `name` prefixes what goes wrong on standard error.
    DaemonSession(const std::string& binary, const std::string& name) : name_(name) {
        if (!std::getenv("DISPLAY")) {
            std::fprintf(stderr, "%s: needs the virtual desktop (scripts/run-bench.sh)\n", name.c_str());
            return;
        }
        std::string pattern = "/tmp/kest-" + name + "-XXXXXX";
        if (!::mkdtemp(pattern.data())) return;
        home_ = pattern;
        daemon_ = std::make_unique<Child>(std::vector<std::string>{binary, "--daemon"},
                                          std::vector<std::string>{"HOME=" + home_});
        connected_ = waitFor([&] { return client.connect(home_ + "/.kest/daemon.sock"); });
        if (!connected_) std::fprintf(stderr, "%s: the daemon did not start\n", name.c_str());
    }
    ~DaemonSession() {
        if (connected_) client.call("shutdown");
        daemon_.reset();
        if (!home_.empty()) std::filesystem::remove_all(home_);
    }
    DaemonSession(const DaemonSession&) = delete;
    DaemonSession& operator=(const DaemonSession&) = delete;

    bool connected() const { return connected_; }
    pid_t daemonPid() const { return daemon_ ? daemon_->pid() : -1; }
    // The ref of the first element "find" answers for the text and role; ""
    // when none.
    std::string refOf(const std::string& text, const std::string& role) {
        Json found = client.call("find", {{"text", text}, {"role", role}, {"first", true}});
        if (!found.contains("result") || found["result"]["elements"].empty()) return {};
        return found["result"]["elements"][0]["ref"];
    }

    Client client;

private:
    std::string name_;
    std::string home_;
    std::unique_ptr<Child> daemon_;
    bool connected_ = false;
};

}  // namespace kest::bench
