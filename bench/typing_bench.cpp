// Typing benchmark: this backend's Events service, fed one key event pair per
// character as the engine's keyboard logic posts a text, against `xdotool
// type --delay 0`, both into the fixture's entry, each result read back
// through AT-SPI. Prints the median times, their ratio and how many runs
// arrived intact.
//
// Each run clears the entry, focuses it, starts the clock, types, and stops
// the clock once the entry's text equals the typed text (or after a bound,
// which counts as not intact).
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/atspi_reader.hpp"
#include "platform/linux/x11_windows.hpp"
#include "platform/linux/xtest_events.hpp"

extern char** environ;

namespace {

using namespace kest::platform::linux_desktop;
using kest::platform::EventFlag::kShift;
using Clock = std::chrono::steady_clock;

constexpr int RUNS = 7;
constexpr auto SETTLE_LIMIT = std::chrono::seconds(10);

// A child started from an argument vector, killed and reaped if still running
// when the owner goes.
class Child {
public:
    explicit Child(const std::vector<std::string>& argv) {
        std::vector<char*> args;
        for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        if (posix_spawnp(&pid_, args[0], nullptr, nullptr, args.data(), environ) != 0) pid_ = -1;
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    pid_t pid() const { return pid_; }
    int wait() {
        int status = -1;
        if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_) pid_ = -1;
        return status;
    }

private:
    pid_t pid_ = -1;
};

// The characters the engine types as keys of a US keyboard's table, by
// virtual key ("a" is key 0, "!" is key "1" with shift); the rest go as text.
constexpr std::string_view KEYS_PLAIN = "asdfhgzxcv bqweryt123465=97-80]ou[ip lj'k;\\,/nm.  `";
constexpr std::string_view KEYS_SHIFTED = "ASDFHGZXCV BQWERYT!@#$^%+(&_*)}OU{IP LJ\"K:|<?NM>  ~";

void postKey(kest::platform::Events& events, kest::platform::KeyCode code, bool down,
             kest::platform::EventFlags flags, const std::string& text) {
    auto event = events.createKeyEvent(code, down);
    if (!event) return;
    event->flags = flags;
    event->text = text;
    events.post(*event);
}

// One key down and up per code point (the texts here have no multi-point
// characters), as the keyboard logic posts a text.
void postText(kest::platform::Events& events, const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        const std::string character = text.substr(i, length);
        i += length;
        std::size_t plain = std::string_view::npos, shifted = std::string_view::npos;
        if (length == 1 && character[0] != ' ') {
            plain = KEYS_PLAIN.find(character[0]);
            shifted = KEYS_SHIFTED.find(character[0]);
        }
        if (plain != std::string_view::npos || shifted != std::string_view::npos) {
            const bool shift = plain == std::string_view::npos;
            const auto code = static_cast<kest::platform::KeyCode>(shift ? shifted : plain);
            postKey(events, code, true, shift ? kShift : 0, {});
            postKey(events, code, false, shift ? kShift : 0, {});
        } else {
            postKey(events, 0, true, 0, character);
            postKey(events, 0, false, 0, character);
        }
    }
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds poll, Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(poll);
    }
    return condition();
}

struct Sample {
    double milliseconds = 0;  // until the text read back whole
    double posting = 0;       // until the typing call returned
    bool intact = false;
};

struct Series {
    std::vector<Sample> samples;
    double median(double Sample::*field = &Sample::milliseconds) const {
        std::vector<double> times;
        for (const auto& s : samples) times.push_back(s.*field);
        std::ranges::sort(times);
        return times.empty() ? 0 : times[times.size() / 2];
    }
    int intact() const { return static_cast<int>(std::ranges::count_if(samples, &Sample::intact)); }
};

class Bench {
public:
    Bench(AtspiReader& reader, AtspiAccessible* entry) : reader_(reader), entry_(entry) {}

    Sample run(const std::string& text, const std::function<void()>& type) {
        reader_.setText(entry_, "");
        reader_.grabFocus(entry_);
        waitUntil(
            [&] {
                auto states = reader_.states(entry_);
                return states && states->has(ATSPI_STATE_FOCUSED) && reader_.text(entry_).value_or("x").empty();
            },
            std::chrono::milliseconds(5), SETTLE_LIMIT);
        const auto start = Clock::now();
        type();
        const auto posting = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        const bool intact = waitUntil([&] { return reader_.text(entry_).value_or("") == text; },
                                      std::chrono::milliseconds(1), SETTLE_LIMIT);
        const auto elapsed = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        // Let a garbled run's stragglers land before the next run clears.
        if (!intact) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return Sample{elapsed, posting, intact};
    }

private:
    AtspiReader& reader_;
    AtspiAccessible* entry_;
};

AccessiblePtr findByName(AtspiReader& reader, AtspiAccessible* root, const std::string& name) {
    auto kids = reader.children(root);
    if (!kids) return {};
    for (const auto& child : *kids) {
        if (reader.name(child.get()).value_or("") == name) return child;
        if (auto below = findByName(reader, child.get(), name)) return below;
    }
    return {};
}

}  // namespace

int main() {
    auto x = X11Connection::open();
    auto reader = AtspiReader::connect();
    if (!x || !reader) {
        std::fprintf(stderr, "typing_bench: needs the virtual desktop (scripts/run-bench.sh)\n");
        return 2;
    }
    XTestEvents events;
    if (!events.createKeyEvent(0, true)) {
        std::fprintf(stderr, "typing_bench: no XTest extension\n");
        return 2;
    }
    Child fixture({KEST_FIXTURE_APP});
    AccessiblePtr app;
    waitUntil(
        [&] {
            app = reader->applicationForPid(fixture.pid());
            return app && reader->childCount(app.get()).value_or(0) > 0;
        },
        std::chrono::milliseconds(20), std::chrono::seconds(30));
    auto entry = app ? findByName(*reader, app.get(), "Typing Target") : AccessiblePtr();
    if (!entry) {
        std::fprintf(stderr, "typing_bench: the fixture's entry never appeared\n");
        return 2;
    }
    EwmhWindows windows(*x);
    for (const auto& info : windows.list()) {
        if (info.pid == fixture.pid()) windows.activate(info.id);
    }
    x->sync();

    std::string ascii;
    for (int i = 0; ascii.size() < 200; ++i) ascii.push_back(static_cast<char>('!' + (i * 7) % 94));
    const std::string unicode = "Éü漢字✓🙂ñçßøåæœ€αβγδ→ж";

    Bench bench(*reader, entry.get());
    struct Case {
        const char* label;
        const std::string& text;
        int characters;
    };
    const Case cases[] = {{"ascii", ascii, 200}, {"non-ascii", unicode, 20}};
    int failures = 0;
    for (const auto& c : cases) {
        Series ours, peer;
        for (int run = 0; run < RUNS; ++run) {
            ours.samples.push_back(bench.run(c.text, [&] { postText(events, c.text); }));
            peer.samples.push_back(bench.run(c.text, [&] {
                Child xdotool({"xdotool", "type", "--delay", "0", "--", c.text});
                xdotool.wait();
            }));
        }
        const double ratio = peer.median() > 0 ? ours.median() / peer.median() : 0;
        std::printf(
            "%-9s %3d chars: kest %8.1f ms (posted in %.1f ms, %d/%d intact)  xdotool %8.1f ms (%d/%d intact)  "
            "ratio %.2fx\n",
            c.label, c.characters, ours.median(), ours.median(&Sample::posting), ours.intact(), RUNS, peer.median(),
            peer.intact(), RUNS, ratio);
        if (ours.intact() != RUNS) ++failures;
    }
    return failures == 0 ? 0 : 1;
}
