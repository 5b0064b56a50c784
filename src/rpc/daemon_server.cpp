// The daemon's socket, connections and lifecycle.
#include "rpc/daemon_server.hpp"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <system_error>

#include "rpc/line_buffer.hpp"

namespace kest {
namespace {

constexpr auto kSlice = std::chrono::milliseconds(100);
// Allocations from this size up are mapped on their own and unmapped on free.
constexpr std::size_t kLargeBufferBytes = 4u << 20;
// Free memory a heap may keep at its top rather than return.
constexpr std::size_t kTrimBytes = 2 * kLargeBufferBytes;
// The socket address holds at most this many bytes of path, its zero included.
constexpr std::size_t kMaxSocketPathBytes = 104;

void logLine(const std::string& text) {
    std::string line = "[kest-core] " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

std::string systemErrorText(const std::string& path, int error) { return path + ": " + std::strerror(error); }

DaemonError fileSystemError(const std::string& path, int error) {
    return DaemonError{DaemonError::Kind::fileSystem, error, systemErrorText(path, error)};
}

// Writes all of the bytes; false when the peer has gone. Never raises SIGPIPE.
bool sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The "pid" of an information file, when it holds one.
std::optional<std::int64_t> describedPid(const std::string& path) {
    std::ifstream info(path);
    const Json described = Json::parse(info, nullptr, false);
    if (!described.is_object() || !described.contains("pid") || !described["pid"].is_number_integer()) return std::nullopt;
    return described["pid"].get<std::int64_t>();
}

std::string utcTimestamp() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::atomic<DaemonServer*> gSignalTarget{nullptr};

extern "C" void onTerminationSignal(int) {
    if (DaemonServer* server = gSignalTarget.load()) server->requestStop();
}

}  // namespace

std::string DaemonError::description() const {
    switch (kind) {
    case Kind::socketCreationFailed:
        return "Failed to create socket (errno " + std::to_string(errorNumber) + ")";
    case Kind::socketPathTooLong:
        return "Socket path too long: " + text;
    case Kind::bindFailed:
        return "Failed to bind socket (errno " + std::to_string(errorNumber) + ")";
    case Kind::listenFailed:
        return "Failed to listen on socket (errno " + std::to_string(errorNumber) + ")";
    case Kind::fileSystem:
        return text;
    case Kind::alreadyRunning:
        return "Another daemon is running" + text;
    }
    return text;
}

std::string userHomeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
    if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return entry->pw_dir;
    }
    return "/";
}

DaemonServer::DaemonServer(Dispatcher& dispatcher, RequestGate& gate, std::string kestDir)
    : dispatcher_(dispatcher),
      kestDir_(std::move(kestDir)),
      socketPath_(kestDir_ + "/daemon.sock"),
      infoPath_(kestDir_ + "/daemon.json"),
      gate_(gate),
      // The main thread handles no request and holds no turn, so its idle
      // slice is a plain sleep.
      mainLoopSlice_([](std::chrono::milliseconds slice) { std::this_thread::sleep_for(slice); }) {
    if (const char* limit = std::getenv("KEST_SEND_TIMEOUT_MS")) {
        char* end = nullptr;
        errno = 0;
        const long long ms = std::strtoll(limit, &end, 10);
        if (errno == 0 && end != limit && *end == '\0' && ms > 0) sendLimit_ = std::chrono::milliseconds(ms);
    }
}

DaemonServer::~DaemonServer() {
    requestStop();
    gate_.stop();
    if (acceptThread_.joinable()) acceptThread_.join();
    std::lock_guard lock(connectionsMutex_);
    for (auto& connection : connections_) {
        ::shutdown(connection->fd.get(), SHUT_RDWR);
        if (connection->thread.joinable()) connection->thread.join();
    }
}

// The data directory is private: created 0700, tightened when it already
// exists, and refused when it is not a directory of this user's.
std::expected<void, DaemonError> DaemonServer::prepareDirectory() {
    std::string partial;
    std::size_t pos = 0;
    while ((pos = kestDir_.find('/', pos + 1)) != std::string::npos) {
        partial = kestDir_.substr(0, pos);
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return std::unexpected(fileSystemError(partial, errno));
    }
    if (::mkdir(kestDir_.c_str(), 0700) != 0 && errno != EEXIST) return std::unexpected(fileSystemError(kestDir_, errno));
    struct stat info {};
    if (::lstat(kestDir_.c_str(), &info) != 0) return std::unexpected(fileSystemError(kestDir_, errno));
    if (!S_ISDIR(info.st_mode)) return std::unexpected(fileSystemError(kestDir_, ENOTDIR));
    if (info.st_uid != ::getuid()) {
        return std::unexpected(
            DaemonError{DaemonError::Kind::fileSystem, EPERM, kestDir_ + ": not owned by the current user"});
    }
    if ((info.st_mode & 0777) != 0700 && ::chmod(kestDir_.c_str(), 0700) != 0) {
        return std::unexpected(fileSystemError(kestDir_, errno));
    }
    return {};
}

std::expected<void, DaemonError> DaemonServer::bindSocket() {
    if (::unlink(socketPath_.c_str()) != 0 && errno != ENOENT) {
        return std::unexpected(fileSystemError(socketPath_, errno));
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return std::unexpected(DaemonError{DaemonError::Kind::socketCreationFailed, errno, {}});

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath_.size() + 1 > kMaxSocketPathBytes || socketPath_.size() + 1 > sizeof address.sun_path) {
        return std::unexpected(DaemonError{DaemonError::Kind::socketPathTooLong, 0, socketPath_});
    }
    std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);

    // The socket file is owner-only from the moment it exists. Nothing else
    // runs yet, so changing the process umask here races with no one.
    mode_t previous = ::umask(0077);
    int bound = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    int bindErrno = errno;
    ::umask(previous);
    if (bound != 0) return std::unexpected(DaemonError{DaemonError::Kind::bindFailed, bindErrno, {}});
    (void)::chmod(socketPath_.c_str(), 0700);
    if (struct stat file{}; ::stat(socketPath_.c_str(), &file) == 0) socketFile_ = {file.st_dev, file.st_ino};
    if (::listen(fd.get(), 5) != 0) return std::unexpected(DaemonError{DaemonError::Kind::listenFailed, errno, {}});
    serverFd_ = std::move(fd);
    return {};
}

void DaemonServer::writeDaemonInfo() {
    Json info = {{"pid", static_cast<std::int64_t>(::getpid())}, {"socket", socketPath_}, {"started_at", utcTimestamp()}};
    // Written beside its final name and renamed, so a reader never sees half a file.
    std::string temporary = infoPath_ + ".tmp";
    {
        UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (!fd) return;
        std::string text = info.dump(2) + "\n";
        if (::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            ::unlink(temporary.c_str());
            return;
        }
    }
    if (::rename(temporary.c_str(), infoPath_.c_str()) != 0) ::unlink(temporary.c_str());
}

std::expected<void, DaemonError> DaemonServer::start() {
    if (auto ready = prepareDirectory(); !ready) return ready;
    // Two daemons at once would take the socket from each other: the second
    // start fails, and names the first.
    const std::string lockPath = kestDir_ + "/daemon.lock";
    lockFd_.reset(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lockFd_) return std::unexpected(fileSystemError(lockPath, errno));
    if (::flock(lockFd_.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) return std::unexpected(fileSystemError(lockPath, errno));
        const auto pid = describedPid(infoPath_);
        const std::string holder = pid ? " (pid " + std::to_string(*pid) + ")" : "";
        return std::unexpected(DaemonError{DaemonError::Kind::alreadyRunning, 0, holder + " on " + socketPath_});
    }
    if (auto bound = bindSocket(); !bound) return bound;
    writeDaemonInfo();
    ::fcntl(serverFd_.get(), F_SETFL, ::fcntl(serverFd_.get(), F_GETFL) | O_NONBLOCK);
    spareFd_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    // The daemon runs for days: big short-lived buffers (a long line, a large
    // answer) are to go back to the system when freed, not stay in the heap
    // as the allocator's adaptive threshold would have them after the first.
    // Below that size a heap keeps up to twice as much free at its top: a
    // request that moves a megabyte of text frees several buffers of that
    // size, and handing each back at once would have the next such request
    // fault every page in afresh (about a third of its time).
    (void)::mallopt(M_MMAP_THRESHOLD, static_cast<int>(kLargeBufferBytes));
    (void)::mallopt(M_TRIM_THRESHOLD, static_cast<int>(kTrimBytes));
    logLine("Daemon listening on " + socketPath_);

    acceptThread_ = std::thread([this] { acceptLoop(); });
    while (!shouldShutdown_.load()) mainLoopSlice_(kSlice);
    gate_.stop();  // a signal only set the flag
    acceptThread_.join();
    cleanup();
    endConnections();
    return {};
}

void DaemonServer::acceptLoop() {
    while (!shouldShutdown_.load()) {
        pollfd watch{serverFd_.get(), POLLIN, 0};
        int ready = ::poll(&watch, 1, static_cast<int>(kSlice.count()));
        reapConnections();
        if (ready <= 0 || shouldShutdown_.load()) continue;
        acceptOne();
    }
}

void DaemonServer::acceptOne() {
    UniqueFd client(::accept4(serverFd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) {
        const int error = errno;
        if (error != EMFILE && error != ENFILE && error != ENOBUFS && error != ENOMEM) return;  // try again
        // Out of descriptors or memory, the waiting client would stay queued
        // and the socket readable forever. Give the spare descriptor up to
        // take it off the queue and refuse it, then wait a little before the
        // next try.
        spareFd_.reset();
        UniqueFd waiting(::accept4(serverFd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (waiting) refuse(std::move(waiting), std::string("out of resources (") + std::strerror(error) + ")");
        spareFd_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        backOff();
        return;
    }
    backoff_ = std::chrono::milliseconds(0);

    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(client.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
        (peer.uid != 0 && peer.uid != ::geteuid())) {
        // Closed without a word: a stranger learns nothing from this socket.
        logRefusal("from uid " + std::to_string(peer.uid) + ", not this daemon's user");
        return;
    }

    // A send that makes no progress for the limit fails (EAGAIN), and the
    // connection ends.
    const auto limit = sendLimit_.count();
    const timeval sendLimit{static_cast<time_t>(limit / 1000), static_cast<suseconds_t>(limit % 1000 * 1000)};
    ::setsockopt(client.get(), SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);

    std::size_t open = 0;
    {
        std::lock_guard lock(connectionsMutex_);
        open = connections_.size();
    }
    if (open >= kMaxConnections) {
        refuse(std::move(client), std::to_string(kMaxConnections) + " connections are open already");
        return;
    }

    auto connection = std::make_unique<Connection>();
    connection->fd = std::move(client);
    Connection& ref = *connection;
    {
        std::lock_guard lock(connectionsMutex_);
        connections_.push_back(std::move(connection));
    }
    try {
        ref.thread = std::thread([this, &ref] {
            handleClient(ref);
            ref.finished.store(true);
        });
    } catch (const std::system_error& failure) {
        std::unique_ptr<Connection> failed;
        {
            std::lock_guard lock(connectionsMutex_);
            for (auto it = connections_.begin(); it != connections_.end(); ++it) {
                if (it->get() == &ref) {
                    failed = std::move(*it);
                    connections_.erase(it);
                    break;
                }
            }
        }
        if (failed) refuse(std::move(failed->fd), std::string("no thread to serve it (") + failure.what() + ")");
        backOff();
    }
}

// Tells the client why in one error line (never blocking: the line fits in an
// empty socket buffer) and closes it. The log gets at most a line a second.
void DaemonServer::refuse(UniqueFd client, const std::string& reason) {
    std::string line = *RPCResponse::failure(0, ErrorCode::kFailed, "Connection refused: " + reason).toJSON() + "\n";
    (void)::send(client.get(), line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    logRefusal(reason);
}

void DaemonServer::logRefusal(const std::string& reason) {
    ++refusalsNotLogged_;
    auto now = std::chrono::steady_clock::now();
    if (now - lastRefusalLog_ >= std::chrono::seconds(1)) {
        std::string also = refusalsNotLogged_ > 1 ? " (" + std::to_string(refusalsNotLogged_ - 1) + " more since the last report)" : "";
        logLine("Refused a connection: " + reason + also);
        lastRefusalLog_ = now;
        refusalsNotLogged_ = 0;
    }
}

// After a failure for lack of resources: waits 10 ms, doubling up to a
// second while the failures go on, and notices a stop within a slice. Runs on
// the accept thread, which handles no request and holds no turn, so the wait
// is a plain sleep: requests of connections already open go on meanwhile.
void DaemonServer::backOff() {
    backoff_ = std::clamp(backoff_ * 2, std::chrono::milliseconds(10), std::chrono::milliseconds(1000));
    auto until = std::chrono::steady_clock::now() + backoff_;
    while (!shouldShutdown_.load() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kSlice, until - std::chrono::steady_clock::now()));
    }
}

// Joins finished connections. Descriptors are closed only here, after the
// join, so a number is never reused while its thread may still use it.
void DaemonServer::reapConnections() {
    std::list<std::unique_ptr<Connection>> done;
    {
        std::lock_guard lock(connectionsMutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->finished.load()) {
                done.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& connection : done) {
        if (connection->thread.joinable()) connection->thread.join();
    }
}

// Every connection but the stopping one ends now; that one may finish
// answering what it had sent, within kStopGrace; then all are cut off and
// joined within kEndGrace. Threads that are still busy after that are inside
// a handler that cannot be interrupted: the process exits without them.
void DaemonServer::endConnections() {
    using Clock = std::chrono::steady_clock;
    const Connection* stopper = stopper_.load();
    auto cutOff = [this](const Connection* spared) {
        std::lock_guard lock(connectionsMutex_);
        for (auto& connection : connections_) {
            if (connection.get() != spared && !connection->finished.load()) ::shutdown(connection->fd.get(), SHUT_RDWR);
        }
    };
    auto settled = [this](const Connection* only) {
        std::lock_guard lock(connectionsMutex_);
        return std::ranges::all_of(connections_, [&](const auto& connection) {
            return (only != nullptr && connection.get() != only) || connection->finished.load();
        });
    };
    // The main thread, stopping: it handles no request and holds no turn, so
    // it polls the connections' ends with a plain sleep.
    auto waitUntil = [&](Clock::time_point deadline, const Connection* only) {
        while (!settled(only) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };

    cutOff(stopper);
    if (stopper != nullptr) waitUntil(Clock::now() + kStopGrace, stopper);
    cutOff(nullptr);
    waitUntil(Clock::now() + kEndGrace, nullptr);
    reapConnections();

    std::size_t busy = 0;
    {
        std::lock_guard lock(connectionsMutex_);
        busy = connections_.size();
    }
    if (busy > 0) {
        logLine("Exiting with " + std::to_string(busy) + " request(s) still running");
        std::fflush(nullptr);
        std::_Exit(0);
    }
}

bool DaemonServer::stoppingWithout(const Connection& connection) const {
    return shouldShutdown_.load() && stopper_.load() != &connection;
}

void DaemonServer::handleClient(Connection& connection) {
    const int fd = connection.fd.get();
    LineBuffer buffer(kMaxLineBytes);
    std::string out;  // answers not yet written (see handleLine)
    char chunk[64 * 1024];
    for (;;) {
        if (stoppingWithout(connection)) return;
        // Once this connection has stopped the server it answers only what
        // it had sent already: it reads without waiting and ends when dry.
        const bool draining = stopper_.load() == &connection;
        ssize_t n = ::recv(fd, chunk, sizeof chunk, draining ? MSG_DONTWAIT : 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        buffer.append(std::string_view(chunk, static_cast<std::size_t>(n)));
        while (auto line = buffer.nextLine()) {
            if (stoppingWithout(connection)) return;
            if (!handleLine(*line, connection, out)) return;
        }
        if (!sendAll(fd, out)) return;
        out.clear();
        if (buffer.overflowed()) {
            auto response = RPCResponse::failure(
                0, ErrorCode::kFailed,
                "Request line too long: more than " + std::to_string(kMaxLineBytes) + " bytes without a line feed");
            (void)sendAll(fd, *response.toJSON() + "\n");
            return;
        }
    }
}

namespace {

// Methods answered at once from the daemon's own state, never pausing and
// never waiting on the desktop.
bool answersAtOnce(std::string_view method) {
    return method == "ping" || method == "status" || method == "version" || method == "kv_get" || method == "kv_set";
}

constexpr std::size_t kMaxUnwrittenBytes = 64u << 10;

}  // namespace

// Answers one line into `out`, which is written before any request that may
// take time, so no answer ever waits behind a slow request: answers are held
// back only behind requests that answer at once (which saves a write per
// answer to a pipelining client), and never past the end of what was read.
// False when the connection is lost.
bool DaemonServer::handleLine(std::string_view line, Connection& connection, std::string& out) {
    const int fd = connection.fd.get();
    if (line.empty() || !isValidUTF8(line)) return true;
    auto request = parseRPCRequestFromLine(line);
    if (!request) {
        out += *parseErrorResponse().toJSON();
        out += '\n';
        return true;
    }
    const bool atOnce = answersAtOnce(request->method);
    if (!atOnce && !out.empty()) {
        const bool flushed = sendAll(fd, out);
        out.clear();
        // A lost client's requests are dropped, but a stop it asked for holds.
        if (!flushed && request->method != "shutdown") return false;
    }
    RPCResponse response = Dispatcher::runsWithoutTurn(request->method)
                               ? dispatcher_.dispatch(*request)
                               : gate_.serve([&] { return dispatcher_.dispatch(*request); });
    if (auto text = std::move(response).toJSON()) {
        if (out.empty()) {
            out = std::move(*text);  // a large answer is not copied again
        } else {
            out += *text;
        }
        out += '\n';
    }
    bool delivered = true;
    if (!atOnce || out.size() >= kMaxUnwrittenBytes) {
        delivered = sendAll(fd, out);
        out.clear();
    }
    if (request->method == "shutdown") {
        // The stop holds whether or not its answer could be delivered.
        const Connection* none = nullptr;
        stopper_.compare_exchange_strong(none, &connection);
        shouldShutdown_.store(true);
        gate_.stop();
    }
    return delivered;
}

void DaemonServer::cleanup() {
    logLine("Daemon shutting down");
    serverFd_.reset();
    removeOwnFiles();
}

void DaemonServer::removeOwnFiles() const {
    // Only the files this daemon made: whoever replaced them (a daemon of an
    // older version, which held no lock) keeps its own.
    if (struct stat file{}; ::lstat(socketPath_.c_str(), &file) == 0 &&
                            std::pair{file.st_dev, file.st_ino} == socketFile_) {
        ::unlink(socketPath_.c_str());
    }
    if (describedPid(infoPath_) == static_cast<std::int64_t>(::getpid())) ::unlink(infoPath_.c_str());
}

void removeRunningDaemonFiles() {
    if (DaemonServer* server = gSignalTarget.load()) server->removeOwnFiles();
}

int runDaemon(platform::Platform& platform) {
    // A client that vanishes mid-reply must end only its own connection.
    std::signal(SIGPIPE, SIG_IGN);
    RequestGate gate;
    Dispatcher dispatcher(platform, &gate);
    DaemonServer server(dispatcher, gate, userHomeDirectory() + "/.kest");
    // The main thread runs the overlay's loop: the halo, its tracking and ripples.
    server.setMainLoopSlice([&platform](std::chrono::milliseconds slice) { platform.overlay().runMainLoop(slice); });
    gSignalTarget.store(&server);
    std::signal(SIGTERM, onTerminationSignal);
    std::signal(SIGINT, onTerminationSignal);
    auto started = server.start();
    gSignalTarget.store(nullptr);
    if (!started) {
        logLine("Daemon error: " + started.error().description());
        return 1;
    }
    return 0;
}

}  // namespace kest
