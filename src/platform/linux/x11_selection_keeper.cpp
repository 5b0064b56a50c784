// Spawning the clipboard keeper, the message it reads, and the keeper role.
#include "platform/linux/x11_selection_keeper.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/linux/x11_selection.hpp"
#include "rpc/unique_fd.hpp"

extern char** environ;

namespace kest::platform::linux_desktop {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view MAGIC = "KESTCLP1";
constexpr std::size_t HEADER_BYTES = MAGIC.size() + 2 * sizeof(std::uint64_t);

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

// Waits for `events` on `fd` until the deadline; false when it passed.
bool awaitReady(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd watch{fd, events, 0};
        const int ready = ::poll(&watch, 1, millisecondsUntil(deadline));
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}

bool sendAll(int fd, std::string_view bytes, Clock::time_point deadline) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && errno == EAGAIN) {
            if (!awaitReady(fd, POLLOUT, deadline)) return false;
        } else {
            return false;
        }
    }
    return true;
}

// The spawned process's descriptors: the socket as standard input, /dev/null
// for output, nothing else; default signal handling, a session of its own.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    explicit SpawnSetup(int input) {
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
        posix_spawnattr_init(&attributes);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    }
    ~SpawnSetup() {
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// The spawned process forks and exits first thing, so this is short; bounded
// all the same, after which the process is left to whoever adopts it.
void reap(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        const pid_t done = ::waitpid(pid, nullptr, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) return;
        if (Clock::now() >= deadline) return;
        ::usleep(500);
    }
}

std::string readAll(int fd, std::size_t limit) {
    std::string bytes;
    char chunk[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        bytes.append(chunk, static_cast<std::size_t>(n));
        if (bytes.size() > limit) break;
    }
    return bytes;
}

[[noreturn]] int exitOnConnectionLoss(Display*) { ::_exit(0); }

int runKeeper(const char* displayName) {
    // The spawner waits for this first process; the keeper carries on in its
    // child, reparented once this one has exited. No thread runs yet here.
    const pid_t child = ::fork();
    if (child < 0) return 1;
    if (child > 0) ::_exit(0);
    ::prctl(PR_SET_NAME, "kest-clipboard");
    (void)!::chdir("/");

    auto message =
        decodeKeeperMessage(readAll(STDIN_FILENO, SelectionReader::MAX_TEXT_BYTES + HEADER_BYTES));
    if (!message) return 1;
    auto connection = X11Connection::open(displayName);
    if (!connection) return 1;
    auto owner = SelectionOwner::create(*connection);
    if (!owner || !owner->take(std::make_shared<const std::string>(std::move(message->text)), message->ownedSince)) {
        return 1;
    }
    const char owned = 1;
    (void)!::send(STDIN_FILENO, &owned, 1, MSG_NOSIGNAL);
    if (UniqueFd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC)); devNull) ::dup2(devNull.get(), STDIN_FILENO);
    return keepServing(*connection, *owner);
}

}  // namespace

int keepServing(X11Connection& connection, SelectionOwner& owner) {
    XSetIOErrorHandler(exitOnConnectionLoss);
    for (;;) {
        const auto deadline = handleSelectionEvents(connection, owner);
        if (!owner.owning() && !owner.transferring()) return 0;
        awaitSelectionEvents(connection, -1, deadline);
    }
}

std::string encodeKeeperMessage(unsigned long ownedSince, std::string_view text) {
    std::string bytes(MAGIC);
    const std::uint64_t fields[2] = {ownedSince, text.size()};
    bytes.append(reinterpret_cast<const char*>(fields), sizeof fields);
    bytes.append(text);
    return bytes;
}

std::optional<KeeperMessage> decodeKeeperMessage(std::string_view bytes) {
    if (bytes.size() < HEADER_BYTES || bytes.substr(0, MAGIC.size()) != MAGIC) return std::nullopt;
    std::uint64_t fields[2];
    std::memcpy(fields, bytes.data() + MAGIC.size(), sizeof fields);
    if (fields[1] != bytes.size() - HEADER_BYTES) return std::nullopt;
    return KeeperMessage{static_cast<unsigned long>(fields[0]), std::string(bytes.substr(HEADER_BYTES))};
}

bool handOffToKeeper(const std::string& program, const std::string& displayName, unsigned long ownedSince,
                     const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
    UniqueFd ours(ends[0]);
    UniqueFd theirs(ends[1]);
    // Had the socket landed on a standard descriptor, the dup2 onto it would
    // keep its close-on-exec flag.
    if (theirs.get() <= STDERR_FILENO) theirs.reset(::fcntl(theirs.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    if (!theirs) return false;

    std::string argv0(KEEPER_ARGV0);
    std::string display = displayName;
    char* argv[] = {argv0.data(), display.data(), nullptr};
    pid_t pid = -1;
    int spawned;
    {
        SpawnSetup setup(theirs.get());
        spawned = ::posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, argv, environ);
    }
    theirs.reset();
    if (spawned != 0) return false;

    ::fcntl(ours.get(), F_SETFL, O_NONBLOCK);
    bool owned = sendAll(ours.get(), encodeKeeperMessage(ownedSince, text), deadline);
    ::shutdown(ours.get(), SHUT_WR);
    if (owned && awaitReady(ours.get(), POLLIN, deadline)) {
        char answer = 0;
        ssize_t n;
        while ((n = ::recv(ours.get(), &answer, 1, 0)) < 0 && errno == EINTR) {
        }
        owned = n == 1;
    } else {
        owned = false;
    }
    reap(pid, std::max(deadline, Clock::now() + std::chrono::seconds(1)));
    return owned;
}

std::optional<int> runSelectionKeeperIfAsked(int argc, char** argv) {
    if (argc != 2 || argv[0] == nullptr || std::string_view(argv[0]) != KEEPER_ARGV0) return std::nullopt;
    return runKeeper(argv[1]);
}

}  // namespace kest::platform::linux_desktop
