// End-to-end tests of the clipboard on the virtual desktop: the Linux
// platform's pasteboard and the real kest-core binary against xclip as the
// other side, owners that hold no text or never answer, and the keeper that
// serves a text after its writer has exited.
#include <cairo.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <functional>
#include <future>
#include <thread>

#include "e2e_support.hpp"
#include "platform/linux/linux_platform.hpp"
#include "platform/linux/x11_connection.hpp"
#include "platform/linux/x11_selection_keeper.hpp"
#include "rpc/unique_fd.hpp"
#include "support/kest_process.hpp"

extern char** environ;

namespace kest::e2e {
namespace {

namespace ld = platform::linux_desktop;
using Clock = std::chrono::steady_clock;

constexpr auto RUN_LIMIT = std::chrono::seconds(60);

struct Output {
    int status = -1;  // the exit status; -1 when killed for running too long
    std::string out;
};

// Runs argv with `input` on its standard input; its output is read when
// `capture`, else it goes to /dev/null and only the exit is waited for (an
// `xclip -i` leaves a child behind that keeps what it inherited).
Output runProgram(const std::vector<std::string>& argv, const std::string& input = {}, bool capture = true) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return {};
    UniqueFd inRead(in[0]), inWrite(in[1]), outRead(out[0]), outWrite(out[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inRead.get(), STDIN_FILENO);
    if (capture) {
        posix_spawn_file_actions_adddup2(&actions, outWrite.get(), STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    inRead.reset();
    outWrite.reset();
    if (spawned != 0) return {};
    if (!capture) outRead.reset();
    ::fcntl(inWrite.get(), F_SETFL, O_NONBLOCK);
    if (input.empty()) inWrite.reset();

    Output result;
    std::size_t written = 0;
    const auto deadline = Clock::now() + RUN_LIMIT;
    while (inWrite || outRead) {
        if (Clock::now() >= deadline) break;
        pollfd fds[2] = {{inWrite.get(), POLLOUT, 0}, {outRead.get(), POLLIN, 0}};
        if (::poll(fds, 2, 100) <= 0) continue;
        if (fds[0].revents) {
            const ssize_t n = ::write(inWrite.get(), input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<std::size_t>(n);
            if (n < 0 || written == input.size()) inWrite.reset();
        }
        if (fds[1].revents) {
            char chunk[65536];
            const ssize_t n = ::read(outRead.get(), chunk, sizeof chunk);
            if (n <= 0) {
                outRead.reset();
            } else {
                result.out.append(chunk, static_cast<std::size_t>(n));
            }
        }
    }
    int status = 0;
    bool exited = false;
    while (!exited && Clock::now() < deadline) {
        exited = ::waitpid(pid, &status, WNOHANG) == pid;
        if (!exited) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!exited) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return {};
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

Output xclipRead(const std::string& target = {}) {
    std::vector<std::string> argv = {"xclip", "-o", "-selection", "clipboard"};
    if (!target.empty()) argv.insert(argv.end(), {"-t", target});
    return runProgram(argv);
}

// A line of `count` bytes made of a mixed text, so that chunk boundaries fall
// inside multi-byte characters.
std::string mixedText(std::size_t count) {
    const std::string unit = "Gr\xC3\xBC\xC3\x9F" "e, \xE4\xB8\x96\xE7\x95\x8C \xE2\x9C\x93 \xF0\x9F\x99\x82 0123456789\n";
    std::string text;
    text.reserve(count + unit.size());
    while (text.size() + unit.size() <= count) text += unit;
    text.append(count - text.size(), 'z');
    return text;
}

const std::string UNICODE_TEXT = "Gr\xC3\xBC\xC3\x9F" "e, \xE4\xB8\x96\xE7\x95\x8C \xE2\x9C\x93 \xF0\x9F\x99\x82\nline two\r\n\tthree\n";

class ClipboardTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!insideVirtualDesktop()) GTEST_SKIP() << "needs the virtual desktop (scripts/vdesktop.sh)";
        x_ = ld::X11Connection::open();
        ASSERT_TRUE(x_);
        clipboard_ = x_->atom("CLIPBOARD");
    }

    Window owner() { return XGetSelectionOwner(x_->display(), clipboard_); }

    // The process named by the owner window's _NET_WM_PID.
    std::optional<pid_t> ownerPid() {
        const Window window = owner();
        if (window == None) return std::nullopt;
        auto pid = x_->numbers(window, x_->atom("_NET_WM_PID"), XA_CARDINAL);
        if (!pid || pid->empty()) return std::nullopt;
        return static_cast<pid_t>(pid->front());
    }

    // `xclip -i`, once its background child owns the selection (it takes the
    // selection only after its first process has exited).
    void xclipWrite(const std::string& text, const std::string& target = {}) {
        const Window before = owner();
        std::vector<std::string> argv = {"xclip", "-i", "-selection", "clipboard"};
        if (!target.empty()) argv.insert(argv.end(), {"-t", target});
        ASSERT_EQ(runProgram(argv, text, false).status, 0);
        ASSERT_TRUE(waitFor([&] { return owner() != before && owner() != None; }));
    }

    std::unique_ptr<ld::X11Connection> x_;
    Atom clipboard_ = None;
};

// ---- Processes, found by pid ----

struct ProcessState {
    char state = '?';
    pid_t parent = -1;
};
std::optional<ProcessState> processState(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return std::nullopt;
    const auto close = line.rfind(')');
    if (close == std::string::npos || close + 4 >= line.size()) return std::nullopt;
    ProcessState out;
    out.state = line[close + 2];
    out.parent = static_cast<pid_t>(std::stol(line.substr(close + 4)));
    return out;
}

// Gone, or a zombie of an init that does not reap.
bool processGone(pid_t pid) {
    auto state = processState(pid);
    return !state || state->state == 'Z' || state->state == 'X';
}

std::string argv0Of(pid_t pid) {
    std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
    std::string first;
    std::getline(cmdline, first, '\0');
    return first;
}

// Live keeper processes, found by their sentinel argv[0].
std::vector<pid_t> liveKeepers() {
    std::vector<pid_t> out;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        if (argv0Of(pid) == ld::KEEPER_ARGV0 && !processGone(pid)) out.push_back(pid);
    }
    return out;
}

// Where each descriptor of the process leads ("/dev/null", "socket:[...]").
std::map<int, std::string> descriptorsOf(pid_t pid) {
    std::map<int, std::string> out;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ignored)) {
        out[std::stoi(entry.path().filename())] = std::filesystem::read_symlink(entry.path(), ignored).string();
    }
    return out;
}

// Children of this process that exited without being reaped.
int zombieChildren() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        auto state = processState(static_cast<pid_t>(std::stol(name)));
        if (state && state->parent == ::getpid() && state->state == 'Z') ++count;
    }
    return count;
}

std::unique_ptr<platform::Platform> platformWithKeeper() {
    return ld::makeLinuxPlatform({.clipboardKeeper = KEST_BINARY});
}

// ---- Texts both ways ----

TEST_F(ClipboardTest, TextsArriveIntactBothWays) {
    struct Row {
        const char* name;
        std::string text;
    };
    const Row rows[] = {
        {"25 bytes", "The quick brown fox jumps"},
        {"Unicode with line breaks", UNICODE_TEXT},
        {"1 MiB", mixedText(std::size_t{1} << 20)},
        {"16 MiB (INCR)", mixedText(std::size_t{16} << 20)},
    };
    auto platform = ld::makeLinuxPlatform();
    auto& pasteboard = platform->pasteboard();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(pasteboard.writeText(row.text));
        EXPECT_EQ(ownerPid(), ::getpid()) << "the owner window names this process";
        // The request thread waits for xclip here: the owner thread serves.
        Output read = xclipRead();
        EXPECT_EQ(read.status, 0);
        EXPECT_TRUE(read.out == row.text) << read.out.size() << " bytes read of " << row.text.size();
        EXPECT_EQ(pasteboard.readText(), row.text) << "from memory while owning";

        xclipWrite(row.text);
        auto text = pasteboard.readText();
        ASSERT_TRUE(text);
        EXPECT_TRUE(*text == row.text) << text->size() << " bytes read of " << row.text.size();
    }
}

TEST_F(ClipboardTest, EveryTextTargetConvertsAndClearOffersNone) {
    auto platform = ld::makeLinuxPlatform();
    auto& pasteboard = platform->pasteboard();
    const std::string text = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x99\x82";
    ASSERT_TRUE(pasteboard.writeText(text));
    struct Row {
        std::string target;
        std::string expected;
    };
    const Row rows[] = {
        {"UTF8_STRING", text},
        {"text/plain;charset=utf-8", text},
        {"TEXT", text},
        {"STRING", "Gr\xFC\xDF" "e ? ?"},
        {"TARGETS", "TARGETS\nMULTIPLE\nTIMESTAMP\nUTF8_STRING\ntext/plain;charset=utf-8\nSTRING\nTEXT\n"},
    };
    for (const auto& row : rows) {
        Output read = xclipRead(row.target);
        EXPECT_EQ(read.status, 0) << row.target;
        EXPECT_EQ(read.out, row.expected) << row.target;
    }
    EXPECT_EQ(xclipRead("image/png").status, 1) << "an unknown target is refused";

    pasteboard.clear();
    EXPECT_NE(owner(), None) << "cleared, the selection is still owned";
    EXPECT_EQ(xclipRead("TARGETS").out, "TARGETS\nMULTIPLE\nTIMESTAMP\n");
    for (const char* target : {"UTF8_STRING", "text/plain;charset=utf-8", "STRING", "TEXT"}) {
        Output read = xclipRead(target);
        EXPECT_TRUE(read.status != 0 || read.out.empty()) << target << " read " << read.out;
    }
    Output plain = xclipRead();
    EXPECT_TRUE(plain.status != 0 || plain.out.empty());
    EXPECT_EQ(pasteboard.readText(), std::nullopt);
    auto other = ld::makeLinuxPlatform();
    EXPECT_EQ(other->pasteboard().readText(), std::nullopt) << "another reader finds no text either";
}

TEST_F(ClipboardTest, MultipleConvertsEachPairAndRefusesTheUnknownOnes) {
    auto platform = ld::makeLinuxPlatform();
    ASSERT_TRUE(platform->pasteboard().writeText(UNICODE_TEXT));
    Display* display = x_->display();
    ld::OwnedWindow requestor(display, XCreateSimpleWindow(display, x_->root(), 0, 0, 1, 1, 0, 0, 0));
    const Atom list = x_->atom("KEST_TEST_MULTIPLE"), text = x_->atom("KEST_TEST_TEXT"),
               image = x_->atom("KEST_TEST_IMAGE"), targets = x_->atom("KEST_TEST_TARGETS");
    const unsigned long pairs[] = {x_->atom("UTF8_STRING"), text, x_->atom("image/png"), image,
                                   x_->atom("TARGETS"), targets};
    XChangeProperty(display, requestor.get(), list, x_->atom("ATOM_PAIR"), 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(pairs), 6);
    XConvertSelection(display, clipboard_, x_->atom("MULTIPLE"), list, requestor.get(), CurrentTime);
    x_->flush();
    XEvent notified{};
    ASSERT_TRUE(waitFor([&] { return XCheckTypedWindowEvent(display, requestor.get(), SelectionNotify, &notified); }));
    EXPECT_EQ(notified.xselection.property, list);

    auto answered = x_->numbers(requestor.get(), list);
    ASSERT_TRUE(answered);
    EXPECT_EQ(*answered, (std::vector<unsigned long>{pairs[0], text, pairs[2], None, pairs[4], targets}))
        << "the refused pair's property is None";
    EXPECT_EQ(x_->bytes(requestor.get(), text), UNICODE_TEXT);
    auto offered = x_->numbers(requestor.get(), targets, XA_ATOM);
    ASSERT_TRUE(offered);
    EXPECT_TRUE(std::ranges::find(*offered, x_->atom("UTF8_STRING")) != offered->end());
    EXPECT_EQ(x_->bytes(requestor.get(), image), std::nullopt);
}

TEST_F(ClipboardTest, SeveralRequestorsAtOnceGetTheWholeText) {
    auto platform = ld::makeLinuxPlatform();
    const std::string text = mixedText(std::size_t{16} << 20);
    ASSERT_TRUE(platform->pasteboard().writeText(text));
    std::vector<std::future<Output>> reads;
    for (const char* target : {"UTF8_STRING", "UTF8_STRING", "text/plain;charset=utf-8", "TEXT"}) {
        reads.push_back(std::async(std::launch::async, [target] { return xclipRead(target); }));
    }
    for (auto& read : reads) {
        Output run = read.get();
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(run.out == text) << run.out.size() << " bytes read of " << text.size();
    }
}

TEST_F(ClipboardTest, AnotherOwnerReplacesTheTextForReaders) {
    auto platform = ld::makeLinuxPlatform();
    auto& pasteboard = platform->pasteboard();
    ASSERT_TRUE(pasteboard.writeText("ours"));
    xclipWrite("theirs");
    EXPECT_EQ(pasteboard.readText(), "theirs");
    ASSERT_TRUE(pasteboard.writeText("ours again")) << "the selection can be taken back";
    EXPECT_EQ(xclipRead().out, "ours again");
}

TEST_F(ClipboardTest, ForeignTextsAreDecodedByTheirType) {
    struct Row {
        const char* target;  // what xclip offers
        std::string bytes;
        std::string expected;
    };
    const Row rows[] = {
        {"UTF8_STRING", "ok \xFF\xFE end", "ok \xEF\xBF\xBD\xEF\xBF\xBD end"},  // broken bytes replaced
        {"STRING", "caf\xE9 \xD7", "caf\xC3\xA9 \xC3\x97"},                    // Latin-1 only
        {"text/plain;charset=utf-8", UNICODE_TEXT, UNICODE_TEXT},
    };
    auto platform = ld::makeLinuxPlatform();
    for (const auto& row : rows) {
        xclipWrite(row.bytes, row.target);
        EXPECT_EQ(platform->pasteboard().readText(), row.expected) << row.target;
    }
}

// ---- No text ----

// An X client of the test's own: owns CLIPBOARD, or owned it and let go,
// and never answers a request.
class SilentOwner {
public:
    explicit SilentOwner(bool release) : x_(ld::X11Connection::open()) {
        window_ = ld::OwnedWindow(x_->display(), XCreateSimpleWindow(x_->display(), x_->root(), 0, 0, 1, 1, 0, 0, 0));
        const Atom clipboard = x_->atom("CLIPBOARD");
        XSetSelectionOwner(x_->display(), clipboard, window_.get(), CurrentTime);
        if (release) XSetSelectionOwner(x_->display(), clipboard, None, CurrentTime);
        x_->sync();
    }

private:
    std::unique_ptr<ld::X11Connection> x_;
    ld::OwnedWindow window_;
};

std::string tinyPng(const std::string& directory) {
    const std::string path = directory + "/pixel.png";
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
    cairo_surface_write_to_png(surface, path.c_str());
    cairo_surface_destroy(surface);
    return path;
}

TEST_F(ClipboardTest, AnImageOrNoOwnerIsNoText) {
    auto platform = ld::makeLinuxPlatform();
    auto& pasteboard = platform->pasteboard();
    test::TempDir directory;
    const std::string png = tinyPng(directory.path());
    const Window before = owner();
    ASSERT_EQ(runProgram({"xclip", "-selection", "clipboard", "-t", "image/png", "-i", png}, {}, false).status, 0);
    ASSERT_TRUE(waitFor([&] { return owner() != before && owner() != None; }));
    EXPECT_EQ(xclipRead("TARGETS").out, "TARGETS\nimage/png\n");
    EXPECT_EQ(pasteboard.readText(), std::nullopt) << "an image-only clipboard";

    SilentOwner released(true);
    ASSERT_EQ(owner(), None);
    EXPECT_EQ(pasteboard.readText(), std::nullopt) << "no owner";
}

TEST_F(ClipboardTest, AnOwnerThatNeverAnswersIsGivenUp) {
    auto platform = ld::makeLinuxPlatform();
    auto& pasteboard = platform->pasteboard();
    {
        SilentOwner silent(false);
        auto read = std::async(std::launch::async, [&] { return pasteboard.readText(); });
        ASSERT_EQ(read.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "the read hangs";
        EXPECT_EQ(read.get(), std::nullopt);
    }
    // The reader that waited in vain is not reused for the next owner.
    xclipWrite("answered");
    EXPECT_EQ(pasteboard.readText(), "answered");
}

// ---- The keeper ----

TEST_F(ClipboardTest, TheKeeperServesTheTextAfterItsWriterIsGone) {
    const std::string rows[] = {"kept after the writer", mixedText(std::size_t{16} << 20)};
    for (const auto& text : rows) {
        SCOPED_TRACE(text.size());
        {
            auto platform = platformWithKeeper();
            ASSERT_TRUE(platform->pasteboard().writeText(text));
        }
        auto keeper = ownerPid();
        ASSERT_TRUE(keeper);
        ASSERT_NE(*keeper, ::getpid()) << "the keeper owns the selection once the platform is gone";
        EXPECT_EQ(argv0Of(*keeper), ld::KEEPER_ARGV0);
        auto state = processState(*keeper);
        ASSERT_TRUE(state);
        EXPECT_NE(state->parent, ::getpid()) << "the keeper is not this process's child";
        EXPECT_EQ(zombieChildren(), 0) << "the process spawned for the hand-off was reaped";
        for (const auto& [fd, target] : descriptorsOf(*keeper)) {
            if (fd <= STDERR_FILENO) {
                EXPECT_EQ(target, "/dev/null") << fd;
            } else {
                EXPECT_EQ(target.rfind("socket:", 0), 0u) << "only its X connection: " << fd << " " << target;
            }
        }
        Output read = xclipRead();
        EXPECT_EQ(read.status, 0);
        EXPECT_TRUE(read.out == text) << read.out.size() << " bytes read of " << text.size();
        EXPECT_EQ(ld::makeLinuxPlatform()->pasteboard().readText(), text);

        xclipWrite("taken over");
        EXPECT_TRUE(waitFor([&] { return processGone(*keeper); })) << "the keeper exits once replaced";
        EXPECT_EQ(xclipRead().out, "taken over");
    }
}

TEST_F(ClipboardTest, NothingIsHandedOffWithoutATextStillOwned) {
    struct Row {
        const char* name;
        bool lose;  // another client takes the selection before the platform goes
    };
    for (const Row row : {Row{"taken by another client", true}, Row{"cleared", false}}) {
        SCOPED_TRACE(row.name);
        const auto keepersBefore = liveKeepers();
        Window ownerBefore = None;
        {
            auto platform = platformWithKeeper();
            ASSERT_TRUE(platform->pasteboard().writeText("not to be kept"));
            if (row.lose) {
                xclipWrite("the other client's");
            } else {
                platform->pasteboard().clear();
            }
            ownerBefore = owner();
        }
        if (row.lose) {
            EXPECT_EQ(owner(), ownerBefore) << "the other client keeps the selection";
            EXPECT_EQ(xclipRead().out, "the other client's");
        } else {
            EXPECT_TRUE(waitFor([&] { return owner() == None; })) << "the cleared selection goes with its owner";
        }
        for (const pid_t keeper : liveKeepers()) {
            EXPECT_TRUE(std::ranges::find(keepersBefore, keeper) != keepersBefore.end()) << "a keeper started: " << keeper;
        }
    }
}

// ---- The binary ----

TEST_F(ClipboardTest, OneShotSetReturnsAtOnceAndItsTextStays) {
    // A text too long for one argument comes as a request on standard input,
    // where the command line holds only the program's name, shorter than the
    // keeper's: the keeper must still carry its name.
    const std::string large = mixedText(std::size_t{2} << 20);
    const Json request = {{"jsonrpc", "2.0"}, {"id", 42}, {"method", "clipboard_set"}, {"params", {{"text", large}}}};
    struct Row {
        const char* name;
        std::string text;
        std::function<test::ProcessResult()> set;
        std::int64_t id;
    };
    const Row rows[] = {
        {"arguments", UNICODE_TEXT,
         [] {
             // runKest reads the output until both pipes close: a keeper holding
             // them would keep it waiting until it is killed (status -1).
             return test::runKest({"clipboard_set", "--text", UNICODE_TEXT}, {}, {}, std::chrono::seconds(30));
         },
         1},
        {"a request on standard input, under a short name", large,
         [&] { return test::runKestNamed("kc", {}, request.dump()); }, 42},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto set = row.set();
        ASSERT_EQ(set.exitStatus, 0) << set.out << set.err;
        EXPECT_EQ(Json::parse(set.out)["result"]["ok"], true);
        EXPECT_EQ(Json::parse(set.out)["id"], row.id);
        auto keeper = ownerPid();
        ASSERT_TRUE(keeper);
        EXPECT_EQ(argv0Of(*keeper), ld::KEEPER_ARGV0);
        EXPECT_TRUE(xclipRead().out == row.text);

        auto read = test::runKest({"clipboard_read"});
        ASSERT_EQ(read.exitStatus, 0);
        EXPECT_TRUE(Json::parse(read.out)["result"]["text"] == row.text);

        xclipWrite("after the one-shot");
        EXPECT_TRUE(waitFor([&] { return processGone(*keeper); }));
        read = test::runKest({"clipboard_read"});
        EXPECT_EQ(Json::parse(read.out)["result"]["text"], "after the one-shot");
    }
}

TEST_F(ClipboardTest, TheDaemonHandsItsTextOffAtShutdown) {
    test::TempDir home;
    test::DaemonProcess daemon(home.path());
    ASSERT_TRUE(daemon.waitUntilListening()) << daemon.errorOutput();
    test::SocketClient client;
    ASSERT_TRUE(client.connect(daemon.socketPath()));
    const std::string text = mixedText(std::size_t{1} << 20);
    auto set = client.call(Json{{"jsonrpc", "2.0"}, {"id", 1}, {"method", "clipboard_set"}, {"params", {{"text", text}}}}.dump());
    ASSERT_TRUE(set);
    EXPECT_EQ(Json::parse(*set)["result"]["ok"], true);
    EXPECT_EQ(ownerPid(), daemon.pid());
    auto read = client.call(R"({"jsonrpc":"2.0","id":2,"method":"clipboard_read"})");
    ASSERT_TRUE(read);
    EXPECT_TRUE(Json::parse(*read)["result"]["text"] == text);

    ASSERT_TRUE(client.call(R"({"jsonrpc":"2.0","id":3,"method":"shutdown"})"));
    EXPECT_EQ(daemon.waitForExit(), 0);
    auto keeper = ownerPid();
    ASSERT_TRUE(keeper);
    EXPECT_NE(*keeper, daemon.pid());
    Output after = xclipRead();
    EXPECT_TRUE(after.out == text) << after.out.size() << " bytes read of " << text.size();
    xclipWrite("after the daemon");
    EXPECT_TRUE(waitFor([&] { return processGone(*keeper); }));
}

// An X server of its own, for a daemon to lose: Xvfb on a free display
// number, stopped by pid.
TEST(ServerLost, TheDaemonRemovesItsFilesAndSaysWhyWhenTheXServerGoes) {
    if (!insideVirtualDesktop()) GTEST_SKIP() << "needs the virtual desktop (scripts/vdesktop.sh)";
    int number = 70 + ::getpid() % 100;
    auto taken = [](int n) {
        return std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n)) ||
               std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock");
    };
    while (taken(number)) ++number;
    auto server = ChildProcess::spawn({"Xvfb", ":" + std::to_string(number), "-nolisten", "tcp", "-screen", "0", "640x480x24"});
    ASSERT_TRUE(server);
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number)); }));
    test::TempDir home;
    test::DaemonProcess daemon(home.path(), {{"DISPLAY", ":" + std::to_string(number)}});
    ASSERT_TRUE(daemon.waitUntilListening()) << daemon.errorOutput();
    test::SocketClient client;
    ASSERT_TRUE(client.connect(daemon.socketPath()));
    // The clipboard's owner thread keeps a connection of its own open.
    auto set = client.call(R"({"jsonrpc":"2.0","id":1,"method":"clipboard_set","params":{"text":"kept"}})");
    ASSERT_TRUE(set);
    EXPECT_EQ(Json::parse(*set)["result"]["ok"], true) << *set;

    ASSERT_EQ(::kill(server->pid(), SIGKILL), 0);
    ASSERT_TRUE(server->wait(std::chrono::seconds(10)));
    (void)client.call(R"({"jsonrpc":"2.0","id":2,"method":"windows"})");
    EXPECT_EQ(daemon.waitForExit(), 1);
    EXPECT_NE(daemon.errorOutput().find("Lost the X server :" + std::to_string(number) + "; stopping"), std::string::npos)
        << daemon.errorOutput();
    EXPECT_FALSE(std::filesystem::exists(daemon.socketPath()));
    EXPECT_FALSE(std::filesystem::exists(daemon.infoPath()));
}

}  // namespace
}  // namespace kest::e2e
