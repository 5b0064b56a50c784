// The daemon: newline-delimited JSON-RPC over a Unix-domain socket in the
// user's data directory, with one dispatcher kept alive across connections.
//
// Threads: start() runs on the main thread, which after set-up only runs the
// main-loop slices (the overlay lives there) until the stop flag is set. One
// thread accepts connections; each connection has its own thread and answers
// its lines strictly one after another. Requests of all connections take turns
// through one RequestGate, because the dispatcher's state and the desktop
// connections are not free-threaded; a request that pauses hands its turn on,
// so one client's wait never holds up another's request. Liveness, status and
// the key-value store need no turn (Dispatcher::runsWithoutTurn): they answer
// even while a long request holds it. Stopping ends every pause at once, lets
// the connection that asked for the stop answer what it had already sent, and
// ends every other connection at once.
//
// Only this user (or root) may connect: a peer of another uid is closed on
// accept. At most kMaxConnections are served at once; an extra one, or one that
// arrives when no thread or descriptor is to be had, gets an error line and is
// closed, and the accept loop backs off instead of spinning.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include "common/expected.hpp"
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>

#include "rpc/dispatcher.hpp"
#include "rpc/request_gate.hpp"
#include "rpc/unique_fd.hpp"

namespace kest {

struct DaemonError {
    enum class Kind { socketCreationFailed, socketPathTooLong, bindFailed, listenFailed, fileSystem, alreadyRunning };
    Kind kind;
    int errorNumber = 0;  // for the socket cases
    std::string text;     // the path for socketPathTooLong, the whole text for fileSystem

    std::string description() const;
};

class DaemonServer {
public:
    // A line may wait this long for its line feed; a longer one is answered
    // with an error and its connection closed.
    static constexpr std::size_t kMaxLineBytes = 64u << 20;
    // Connections served at once; more are refused until one ends.
    static constexpr std::size_t kMaxConnections = 128;
    // How long a stop waits for the stopping connection's remaining answers,
    // and then for every connection's thread to end. A thread still busy
    // after that is inside a handler that cannot be cut short: the process
    // then exits without waiting for it.
    static constexpr std::chrono::milliseconds kStopGrace{5000};
    static constexpr std::chrono::milliseconds kEndGrace{1000};
    // A client that reads nothing for this long while an answer waits for it
    // loses its connection, so that it holds no thread in a send for ever
    // (nor, with kMaxConnections of them, locks everyone out). The
    // environment's KEST_SEND_TIMEOUT_MS, a positive number, replaces it.
    static constexpr std::chrono::milliseconds kSendLimit{30000};

    // kestDir is the data directory (the user's home + "/.kest" in the daemon
    // entry). The dispatcher and the gate (the dispatcher's pause) must
    // outlive the server.
    DaemonServer(Dispatcher& dispatcher, RequestGate& gate, std::string kestDir);
    ~DaemonServer();

    // Sets up the socket and the information file, serves until stopped, then
    // cleans up. Fails only before serving begins.
    std::expected<void, DaemonError> start();

    // Asks the server to stop, from any thread or a signal handler.
    void requestStop() { shouldShutdown_.store(true); }

    // What the main thread does with each slice while serving; by default it
    // sleeps for the slice. The overlay replaces it with its event loop.
    void setMainLoopSlice(std::function<void(std::chrono::milliseconds)> slice) { mainLoopSlice_ = std::move(slice); }

    const std::string& socketPath() const { return socketPath_; }
    // The socket file and the information file, while they are this daemon's.
    void removeOwnFiles() const;
    const std::string& infoPath() const { return infoPath_; }

private:
    std::chrono::milliseconds sendLimit_ = kSendLimit;
    struct Connection {
        UniqueFd fd;
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    std::expected<void, DaemonError> prepareDirectory();
    std::expected<void, DaemonError> bindSocket();
    void writeDaemonInfo();
    void acceptLoop();
    void acceptOne();
    void refuse(UniqueFd client, const std::string& reason);
    void logRefusal(const std::string& reason);
    void backOff();
    void handleClient(Connection& connection);
    bool handleLine(std::string_view line, Connection& connection, std::string& out);
    bool stoppingWithout(const Connection& connection) const;
    void reapConnections();
    void endConnections();
    void cleanup();

    Dispatcher& dispatcher_;
    std::string kestDir_;
    std::string socketPath_;
    std::string infoPath_;
    UniqueFd serverFd_;
    // The lock on daemon.lock, held while this daemon lives: one daemon per
    // data directory. The kernel lets it go when the process dies, however.
    UniqueFd lockFd_;
    // The socket file this daemon bound (device, inode): cleanup removes the
    // files only while they are still its own.
    std::pair<dev_t, ino_t> socketFile_{};
    std::atomic<bool> shouldShutdown_{false};
    // The connection whose shutdown request stopped the server (compared,
    // never dereferenced: it may be gone).
    std::atomic<const Connection*> stopper_{nullptr};
    RequestGate& gate_;
    std::mutex connectionsMutex_;
    std::list<std::unique_ptr<Connection>> connections_;
    std::thread acceptThread_;
    // Held in reserve so that, out of descriptors, the loop can still take a
    // waiting client off the queue and tell it why it is refused.
    UniqueFd spareFd_;
    std::chrono::milliseconds backoff_{0};
    std::chrono::steady_clock::time_point lastRefusalLog_{};
    std::size_t refusalsNotLogged_ = 0;
    std::function<void(std::chrono::milliseconds)> mainLoopSlice_;
};

// The home directory of the current user: $HOME, else the password database.
std::string userHomeDirectory();

// The daemon mode: serves until shutdown and returns the exit status.
int runDaemon(platform::Platform& platform);
// Removes the running daemon's socket and information file (while they are
// its own), for a process that must end at once; nothing when none runs.
void removeRunningDaemonFiles();

}  // namespace kest
