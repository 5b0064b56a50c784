// Gesture benchmark through the daemon: the wall time of a default "drag",
// a default "human_move" and a "human_type" of 40 characters, against the
// time the gestures are meant to take (their own pauses added up), in the
// same run. Prints medians and ratios: 1.00x means the engine adds nothing a
// person would notice.
//
//   kest_bench_gesture [KEST_CORE_BINARY] [KEST_FIXTURE]   (inside the virtual desktop)
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numbers>

#include "bench_support.hpp"

namespace {

using kest::bench::Child;
using kest::bench::Client;
using kest::bench::Clock;
using kest::bench::DaemonSession;
using kest::bench::Json;
using kest::bench::median;
using kest::bench::waitFor;

constexpr int RUNS = 5;
const std::string TEXT = "Typing like a person, with pauses: ok?";  // padded to 40 below

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// What a default drag pauses: 0.05 before and after the press, then 0.5 s.
constexpr double DRAG_SECONDS = 0.05 + 0.05 + 0.5;

// A default curved move: 50 steps, steps + 1 pauses of 0.01 × (1 + 0.5 sin(tπ)).
double curvedMoveSeconds() {
    double total = 0;
    for (int i = 0; i <= 50; ++i) total += 0.01 * (1 + 0.5 * std::sin(static_cast<double>(i) / 50 * std::numbers::pi));
    return total;
}

// The mean pause of human typing at 50 ms: the middle of each character's band.
double humanTypeSeconds(const std::string& text) {
    double total = 0;
    for (char c : text) {
        const double factor = std::string_view(".!?,;:").find(c) != std::string_view::npos ? 2.25 : c == ' ' ? 0.8 : 1.05;
        total += factor * 0.05;
    }
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string binary = argc > 1 ? argv[1] : KEST_BINARY;
    const std::string fixturePath = argc > 2 ? argv[2] : KEST_FIXTURE_APP;
    std::string text = TEXT;
    text.resize(40, 'x');

    Child fixture({fixturePath});
    DaemonSession session(binary, "gesture_bench");
    if (!session.connected()) return 1;
    Client& client = session.client;
    std::string entry;
    bool ready = waitFor([&] {
        if (client.call("grab", {{"app", "kest-fixture"}}).contains("error")) return false;
        entry = session.refOf("Typing Target", "textfield");
        return !entry.empty();
    });
    if (!ready) {
        std::fprintf(stderr, "gesture_bench: the fixture never came up\n");
        return 1;
    }

    std::vector<double> drags, moves, typing;
    for (int i = 0; i < RUNS; ++i) {
        // On the desktop beside the window: nothing there takes the drag.
        auto started = Clock::now();
        client.call("drag", {{"from_x", 20}, {"from_y", 1000}, {"to_x", 200}, {"to_y", 1040}});
        drags.push_back(secondsSince(started));
        started = Clock::now();
        client.call("human_move", {{"x", i % 2 ? 100 : 700}, {"y", 900}});
        moves.push_back(secondsSince(started));
        client.call("fill", {{"ref", entry}, {"text", ""}});
        client.call("focus", {{"ref", entry}});
        started = Clock::now();
        client.call("human_type", {{"text", text}});
        typing.push_back(secondsSince(started));
    }
    auto line = [](const char* what, double measured, double meant) {
        std::printf("  %-34s %7.3f s   meant %7.3f s   ratio %.3fx\n", what, measured, meant, measured / meant);
    };
    std::printf("gestures through the daemon, %d runs each, medians:\n", RUNS);
    line("drag (default)", median(drags), DRAG_SECONDS);
    line("human_move (default)", median(moves), curvedMoveSeconds());
    line("human_type, 40 characters", median(typing), humanTypeSeconds(text));
    return 0;
}
