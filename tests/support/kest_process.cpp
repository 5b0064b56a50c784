// Child processes and socket clients for the tests of the real binary.
#include "support/kest_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

extern char** environ;

#ifndef KEST_BINARY
#error "KEST_BINARY must name the kest-core binary"
#endif

namespace kest::test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        auto eq = text.find('=');
        if (eq != std::string::npos) merged[text.substr(0, eq)] = text.substr(eq + 1);
    }
    for (const auto& [key, value] : extra) merged[key] = value;
    std::vector<std::string> out;
    for (const auto& [key, value] : merged) out.push_back(key + "=" + value);
    return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

struct Pipe {
    UniqueFd read, write;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            read.reset(fds[0]);
            write.reset(fds[1]);
        }
    }
};

pid_t spawn(const std::string& argv0, const std::vector<std::string>& arguments,
            const std::map<std::string, std::string>& environment, int in, int out, int err,
            const std::string& program = KEST_BINARY) {
    std::vector<std::string> argv = {argv0};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    auto env = mergedEnvironment(environment);
    auto argvPointers = pointers(argv);
    auto envPointers = pointers(env);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argvPointers.data(), envPointers.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int decodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return -1;
}

}  // namespace

namespace {

ProcessResult run(const std::vector<std::string>& arguments, const std::string& input,
                  const std::map<std::string, std::string>& environment, std::chrono::milliseconds limit,
                  bool leaveInputOpen, const std::string& argv0 = KEST_BINARY,
                  const std::string& program = KEST_BINARY) {
    Pipe in, out, err;
    ProcessResult result;
    pid_t pid = spawn(argv0, arguments, environment, in.read.get(), out.write.get(), err.write.get(), program);
    if (pid < 0) return result;
    in.read.reset();
    out.write.reset();
    err.write.reset();
    if (!input.empty()) (void)!::write(in.write.get(), input.data(), input.size());
    if (!leaveInputOpen) in.write.reset();

    auto deadline = Clock::now() + limit;
    bool killed = false;
    pollfd fds[2] = {{out.read.get(), POLLIN, 0}, {err.read.get(), POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            ::kill(pid, SIGKILL);
            killed = true;
            break;
        }
        if (::poll(fds, 2, static_cast<int>(left)) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char chunk[4096];
            ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
            if (n <= 0) {
                fds[i].fd = -1;
                --open;
            } else {
                sinks[i]->append(chunk, static_cast<std::size_t>(n));
            }
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitStatus = killed ? -1 : decodeStatus(status);
    return result;
}

}  // namespace

ProcessResult runProgram(const std::string& program, const std::vector<std::string>& arguments) {
    return run(arguments, {}, {}, std::chrono::seconds(20), false, program, program);
}

const char* runKestPath() { return KEST_BINARY; }

const char* const BUILT_ENGINE = KEST_ENGINE;
const char* const OTHER_VERSION_ENGINE = KEST_OTHER_ENGINE;

ProcessResult runKest(const std::vector<std::string>& arguments, const std::string& input,
                      const std::map<std::string, std::string>& environment, std::chrono::milliseconds limit) {
    return run(arguments, input, environment, limit, false);
}

ProcessResult runKestInputLeftOpen(const std::vector<std::string>& arguments, const std::string& input,
                                   std::chrono::milliseconds limit) {
    return run(arguments, input, {}, limit, true);
}

ProcessResult runKestNamed(const std::string& argv0, const std::vector<std::string>& arguments,
                           const std::string& input) {
    return run(arguments, input, {}, std::chrono::seconds(20), false, argv0);
}

TempDir::TempDir(const std::string& prefix) {
    std::string pattern = prefix + "XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

DaemonProcess::DaemonProcess(const std::string& home, std::map<std::string, std::string> environment)
    : home_(home) {
    Pipe err;
    UniqueFd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
    environment["HOME"] = home;
    pid_ = spawn(KEST_BINARY, {"--daemon"}, environment, devNull.get(), devNull.get(), err.write.get());
    errRead_ = std::move(err.read);
    ::fcntl(errRead_.get(), F_SETFL, O_NONBLOCK);
}

DaemonProcess::~DaemonProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool DaemonProcess::waitUntilListening() {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        // The information file is written just after the socket listens.
        SocketClient probe;
        if (probe.connect(socketPath()) && std::filesystem::exists(infoPath())) return true;
        if (pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

int DaemonProcess::waitForExit(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (pid_ > 0 && Clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return decodeStatus(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

const std::string& DaemonProcess::errorOutput() {
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(errRead_.get(), chunk, sizeof chunk)) > 0) err_.append(chunk, static_cast<std::size_t>(n));
    return err_;
}

bool SocketClient::connect(const std::string& path) {
    fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        fd_.reset();
        return false;
    }
    return true;
}

bool SocketClient::send(const std::string& bytes) {
    std::string_view rest = bytes;
    while (!rest.empty()) {
        ssize_t n = ::send(fd_.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::optional<std::string> SocketClient::readLine(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    for (;;) {
        if (auto lf = pending_.find('\n'); lf != std::string::npos) {
            std::string line = pending_.substr(0, lf);
            pending_.erase(0, lf + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return std::nullopt;
        pollfd watch{fd_.get(), POLLIN, 0};
        if (::poll(&watch, 1, static_cast<int>(left)) <= 0) continue;
        char chunk[65536];
        ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, 0);
        if (n <= 0) return std::nullopt;
        pending_.append(chunk, static_cast<std::size_t>(n));
    }
}

bool SocketClient::closedByPeer(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        pollfd watch{fd_.get(), POLLIN, 0};
        if (::poll(&watch, 1, 50) <= 0) continue;
        char chunk[4096];
        ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
        if (n > 0) pending_.append(chunk, static_cast<std::size_t>(n));
    }
    return false;
}

std::optional<std::string> SocketClient::call(const std::string& line) {
    if (!send(line + "\n")) return std::nullopt;
    return readLine();
}

}  // namespace kest::test
