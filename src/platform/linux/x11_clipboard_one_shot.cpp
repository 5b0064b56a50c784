// The front's one-shot clipboard_read and clipboard_set.
#include "platform/linux/x11_clipboard_one_shot.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/linux/x11_selection.hpp"
#include "platform/linux/x11_selection_keeper.hpp"
#include "rpc/json_codec.hpp"
#include "rpc/unique_fd.hpp"

namespace kest::platform::linux_desktop {
namespace {

using Json = nlohmann::json;

// How long the front waits for its keeper to name itself the owner.
constexpr int READY_LIMIT_MS = 1000;

// The answer line, as the engine writes it.
void writeResponse(const RPCResponse& response, Utf8Strings strings = Utf8Strings::check) {
    auto line = response.toJSON(strings);
    if (!line) return;
    line->push_back('\n');
    std::fwrite(line->data(), 1, line->size(), stdout);
    std::fflush(stdout);
}

void writeAnswer(std::int64_t id, Json result, Utf8Strings strings = Utf8Strings::check) {
    writeResponse(RPCResponse::success(id, std::move(result)), strings);
}

// Writes all of `bytes` to standard output; false once it cannot.
bool writeOut(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// The answer line for a text: the engine's answer with an empty text, split
// where the text goes, and the text's JSON written in between a piece at a
// time, so that a large text is not held a second time in its JSON form.
void writeTextAnswer(std::int64_t id, std::string_view text) {
    const auto empty = RPCResponse::success(id, {{"ok", true}, {"text", ""}}).toJSON();
    constexpr std::string_view TAIL = "\"\"}}";  // the empty text, closing both objects
    if (!empty || !empty->ends_with(TAIL)) {
        writeAnswer(id, {{"ok", true}, {"text", text}}, Utf8Strings::trusted);
        return;
    }
    std::fflush(stdout);
    bool writing = writeOut(std::string_view(*empty).substr(0, empty->size() - TAIL.size()));
    // The reader hands over well-formed UTF-8 only (it repairs what is not),
    // so a large text is not checked a second time on the way out.
    encodeJsonString(
        text, [&](std::string_view piece) { writing = writing && writeOut(piece); }, Utf8Strings::trusted);
    if (writing) writeOut("}}\n");
}

// No X server, or no owner, reads as no text, as it does in the engine. The
// front owns no selection, so the reader is asked straight away; its text
// goes out from the buffer it was read into.
int read(std::int64_t id) {
    auto reader = SelectionReader::open();
    auto text = reader && reader->owner() != None ? reader->readText() : std::nullopt;
    if (text) {
        writeTextAnswer(id, text->view());
    } else {
        writeAnswer(id, {{"ok", true}, {"text", nullptr}});
    }
    return 0;
}

// The forked child's start, once it is in a session of its own: standard
// descriptors on /dev/null, every other descriptor but the X connection
// closed, default signal handling, a working directory of its own.
void detach(int keep) {
    if (const int devNull = ::open("/dev/null", O_RDWR); devNull >= 0) {
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) ::dup2(devNull, fd);
        if (devNull > STDERR_FILENO) ::close(devNull);
    }
    if (keep > STDERR_FILENO + 1) ::close_range(STDERR_FILENO + 1, static_cast<unsigned>(keep) - 1, 0);
    ::close_range(static_cast<unsigned>(keep) + 1, UINT_MAX, 0);
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP) ::signal(signal, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::prctl(PR_SET_NAME, "kest-clipboard");
    (void)!::chdir("/");
}

// The memory of the process's command line (/proc/PID/cmdline): the strings
// main was given, laid end to end, and the environment's strings where they
// follow on directly, as the kernel lays them out.
std::span<char> commandLine(int argc, char** argv) {
    if (argc < 1) return {};
    char* end = argv[argc - 1] + std::strlen(argv[argc - 1]) + 1;
    for (char** variable = environ; *variable != nullptr && *variable == end; ++variable) {
        end += std::strlen(*variable) + 1;
    }
    return {argv[0], static_cast<std::size_t>(end - argv[0])};
}

// Rewrites the command line in place to the keeper's; answers what it was.
// The environment's strings may be overwritten: only the child, which drops
// its environment, runs on once this has succeeded.
std::string renameToKeeper(std::span<char> line, std::string_view displayName) {
    std::string was(line.begin(), line.end());
    if (line.empty()) return was;
    std::string words(KEEPER_ARGV0);
    words.push_back('\0');
    words.append(displayName);
    words.push_back('\0');
    if (words.size() > line.size()) {
        words.resize(line.size());
        words.back() = '\0';  // cut short, the last word still ends
    }
    std::ranges::fill(line, '\0');
    std::ranges::copy(words, line.begin());
    return was;
}

// The answer for a keeper that could not take the text over, as the engine
// words its failure; the one-shot mode's exit status for it, or 0 on standard
// input.
int writeFailure(std::int64_t id, bool oneShot) {
    writeResponse(RPCResponse::failure(id, ErrorCode::kFailed, "Failed to put the text on the clipboard"));
    return oneShot ? exitStatusForCode(ErrorCode::kFailed) : 0;
}

int set(int argc, char** argv, std::string text, std::int64_t id, bool oneShot) {
    auto connection = X11Connection::open();
    if (!connection) return -1;
    // A connection on a standard descriptor (the caller closed them) would be
    // lost to /dev/null in the child.
    const int fd = ConnectionNumber(connection->display());
    if (fd <= STDERR_FILENO) return -1;
    auto owner = SelectionOwner::create(*connection);
    if (!owner || !owner->take(std::make_shared<const std::string>(std::move(text)))) return -1;
    connection->flush();

    // Renamed before the fork, so that the keeper has its name by the time
    // the caller reads the answer (the front exits right after).
    const std::span<char> line = commandLine(argc, argv);
    const std::string was = renameToKeeper(line, DisplayString(connection->display()));
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        std::ranges::copy(was, line.begin());
        return -1;
    }
    UniqueFd readyRead(ready[0]);
    UniqueFd readyWrite(ready[1]);
    const pid_t child = ::fork();
    if (child < 0) {
        // The window goes with `owner`, and the engine starts afresh.
        std::ranges::copy(was, line.begin());
        return -1;
    }
    if (child == 0) {
        // Out of the caller's session before anything can wait on the X
        // server: a terminal closed meanwhile does not end it.
        ::setsid();
        ::clearenv();  // its strings now hold the keeper's name
        // The window names its owner's pid, which must be a live process
        // once the caller has the answer: the keeper's, not the front's.
        owner->markThisProcess();
        connection->sync();
        const char done = 1;
        (void)!::write(readyWrite.get(), &done, 1);
        readyWrite.reset();
        readyRead.reset();
        detach(fd);
        ::_exit(keepServing(*connection, *owner));
    }
    // Bounded: a child that never gets there still serves the text, under
    // the front's pid.
    readyWrite.reset();
    pollfd watch{readyRead.get(), POLLIN, 0};
    int polled;
    while ((polled = ::poll(&watch, 1, READY_LIMIT_MS)) < 0 && errno == EINTR) {
    }
    char done = 0;
    ssize_t got = 1;
    if (polled > 0) {
        while ((got = ::read(readyRead.get(), &done, 1)) < 0 && errno == EINTR) {
        }
    }
    // The window and connection are the child's now: leave without destroying
    // them (destructors would take the selection away from it). A pipe closed
    // without its byte is a child that ended first: nothing will hold the
    // text once this process has gone.
    if (got != 1) ::_exit(writeFailure(id, oneShot));
    writeAnswer(id, {{"ok", true}});
    ::_exit(0);
}

}  // namespace

std::optional<int> runClipboardOneShot(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + std::min(argc, 1), argv + argc);
    int status = -1;
    if (arguments.size() == 1 && arguments[0] == "clipboard_read") {
        status = read(1);
    } else if (arguments.size() == 3 && arguments[0] == "clipboard_set" && arguments[1] == "--text" &&
               arguments[2].rfind("--", 0) != 0) {
        status = set(argc, argv, arguments[2], 1, true);
    }
    if (status < 0) return std::nullopt;
    return status;
}

std::optional<int> runClipboardRequest(int argc, char** argv, RPCRequest& request) {
    if (request.method == "clipboard_read") return read(request.id);
    if (request.method != "clipboard_set" || !request.params) return std::nullopt;
    const auto text = request.params->find("text");
    if (text == request.params->end() || !text->second.value.is_string()) return std::nullopt;
    // Moved, not copied: a large text would otherwise be copied twice more.
    const int status = set(argc, argv, std::move(text->second.value.get_ref<std::string&>()), request.id, false);
    if (status < 0) return std::nullopt;
    return status;
}

}  // namespace kest::platform::linux_desktop
