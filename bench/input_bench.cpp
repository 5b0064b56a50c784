// Input benchmark through the daemon, against xdotool in the same run:
//   - "type" of 200 ASCII characters and of 20 non-ASCII ones into the
//     fixture's entry, against `xdotool type --delay 0` into the same entry;
//     each run is timed until the entry reads the whole text (or a bound,
//     which counts as not intact);
//   - "click" by ref on a button of the front application (the daemon's
//     round trip), against `xdotool mousemove X Y click 1` on the same point.
// Prints medians, ratios and how many runs arrived intact. The two sides are
// measured in turns, one of each per round.
//
//   kest_bench_input [KEST_CORE_BINARY] [KEST_FIXTURE]   (inside the virtual desktop)
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "bench_support.hpp"

namespace {

using kest::bench::Child;
using kest::bench::Client;
using kest::bench::Clock;
using kest::bench::DaemonSession;
using kest::bench::Json;
using kest::bench::median;
using kest::bench::waitFor;

constexpr int TYPING_RUNS = 7;
constexpr int CLICK_RUNS = 15;
constexpr auto SETTLE_LIMIT = std::chrono::seconds(10);

const std::string ASCII_TEXT =
    "The quick brown fox jumps over the lazy dog; THE QUICK BROWN FOX! 0123456789 "
    "(a+b)*c = [d/e] - {f|g} <h> ~i^j & k_l % m$n #o @p \"q\" 'r' `s` ?t: u, v. w\\x "
    "pack my box with five dozen liquor jugs 42 end";
const std::string UNICODE_TEXT = "üßéñ€世界✓🙂Ωμέγαçøåæžł";

struct Series {
    std::vector<double> milliseconds;
    std::vector<double> sendingMilliseconds;  // until the request (or xdotool) returned
    int intact = 0;
};

// Between reads of the entry: reading it is a call into the application,
// which would otherwise compete with the typing it waits for.
constexpr auto READ_INTERVAL = std::chrono::milliseconds(2);

double elapsedMs(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

std::string byteCountOf(const std::string& text) { return std::to_string(text.size()) + " bytes"; }

}  // namespace

int main(int argc, char** argv) {
    const std::string binary = argc > 1 ? argv[1] : KEST_BINARY;
    const std::string fixturePath = argc > 2 ? argv[2] : KEST_FIXTURE_APP;
    Child fixture({fixturePath});
    DaemonSession session(binary, "input_bench");
    if (!session.connected()) return 1;
    Client& client = session.client;
    auto refOf = [&](const std::string& text, const std::string& role) { return session.refOf(text, role); };
    std::string entry;
    std::string target;
    bool ready = waitFor([&] {
        if (client.call("grab", {{"app", "kest-fixture"}}).contains("error")) return false;
        if (client.call("snapshot", {{"interactive", true}}).contains("error")) return false;
        entry = refOf("Typing Target", "textfield");
        target = refOf("Click Target", "button");
        return !entry.empty() && !target.empty();
    });
    if (!ready) {
        std::fprintf(stderr, "input_bench: the fixture never came up\n");
        return 1;
    }
    auto entryReads = [&](const std::string& text) {
        Json r = client.call("read", {{"ref", entry}});
        return r.contains("result") && r["result"]["value"] == text;
    };
    // Empties the entry and gives it the keyboard focus.
    auto prepare = [&] {
        client.call("fill", {{"ref", entry}, {"text", ""}});
        client.call("focus", {{"ref", entry}});
        waitFor([&] { return entryReads(""); }, std::chrono::seconds(5));
    };
    auto settle = [&](const std::string& text, Clock::time_point started, Series& series) {
        const auto deadline = started + SETTLE_LIMIT;
        bool intact = false;
        while (Clock::now() < deadline && !(intact = entryReads(text))) std::this_thread::sleep_for(READ_INTERVAL);
        series.milliseconds.push_back(elapsedMs(started));
        if (intact) ++series.intact;
    };
    auto typeWithKest = [&](const std::string& text, Series& series) {
        prepare();
        const auto started = Clock::now();
        client.call("type", {{"text", text}});
        series.sendingMilliseconds.push_back(elapsedMs(started));
        settle(text, started, series);
    };
    auto typeWithXdotool = [&](const std::string& text, Series& series) {
        prepare();
        const auto started = Clock::now();
        Child xdotool({"xdotool", "type", "--delay", "0", text});
        xdotool.wait();
        series.sendingMilliseconds.push_back(elapsedMs(started));
        settle(text, started, series);
    };

    Series kestAscii, xdoAscii, kestUnicode, xdoUnicode;
    for (int i = 0; i < TYPING_RUNS; ++i) {
        typeWithKest(ASCII_TEXT, kestAscii);
        typeWithXdotool(ASCII_TEXT, xdoAscii);
        typeWithKest(UNICODE_TEXT, kestUnicode);
        typeWithXdotool(UNICODE_TEXT, xdoUnicode);
    }

    // Clicks: the daemon's round trip for a click by ref, and xdotool's whole
    // run, on the button's centre.
    Json box = client.call("box", {{"ref", target}});
    const Json bounds = box["result"]["bounds"];
    const int x = static_cast<int>(bounds[0].get<double>() + bounds[2].get<double>() / 2);
    const int y = static_cast<int>(bounds[1].get<double>() + bounds[3].get<double>() / 2);
    std::vector<double> kestClicks, xdoClicks;
    for (int i = 0; i < CLICK_RUNS; ++i) {
        auto started = Clock::now();
        client.call("click", {{"ref", target}});
        kestClicks.push_back(elapsedMs(started));
        started = Clock::now();
        Child xdotool({"xdotool", "mousemove", std::to_string(x), std::to_string(y), "click", "1"});
        xdotool.wait();
        xdoClicks.push_back(elapsedMs(started));
    }
    // Every click landed: the fixture counts them.
    const std::string expected = "Clicks: " + std::to_string(2 * CLICK_RUNS);
    std::string counted = "?";
    waitFor([&] {
        Json counter = client.call("find", {{"text", "Clicks: "}, {"first", true}});
        if (counter.contains("result") && !counter["result"]["elements"].empty()) {
            const Json& e = counter["result"]["elements"][0];
            counted = e["label"].is_string() ? e["label"].get<std::string>() : e["value"].dump();
        }
        return counted == expected;
    }, std::chrono::seconds(5));

    auto ratio = [](double ours, double theirs) { return theirs > 0 ? ours / theirs : 0.0; };
    std::printf("typing into kest-fixture's entry, %d runs each, medians (until the entry reads the text):\n",
                TYPING_RUNS);
    std::printf("  200 ASCII (%s):  kest-core %7.1f ms  xdotool %7.1f ms  ratio %.2fx  intact %d/%d vs %d/%d\n",
                byteCountOf(ASCII_TEXT).c_str(), median(kestAscii.milliseconds), median(xdoAscii.milliseconds),
                ratio(median(kestAscii.milliseconds), median(xdoAscii.milliseconds)), kestAscii.intact, TYPING_RUNS,
                xdoAscii.intact, TYPING_RUNS);
    std::printf("  20 non-ASCII (%s): kest-core %7.1f ms  xdotool %7.1f ms  ratio %.2fx  intact %d/%d vs %d/%d\n",
                byteCountOf(UNICODE_TEXT).c_str(), median(kestUnicode.milliseconds), median(xdoUnicode.milliseconds),
                ratio(median(kestUnicode.milliseconds), median(xdoUnicode.milliseconds)), kestUnicode.intact,
                TYPING_RUNS, xdoUnicode.intact, TYPING_RUNS);
    std::printf("  sending alone (medians): ASCII kest-core %.1f ms, xdotool %.1f ms; non-ASCII kest-core %.1f ms, "
                "xdotool %.1f ms\n",
                median(kestAscii.sendingMilliseconds), median(xdoAscii.sendingMilliseconds),
                median(kestUnicode.sendingMilliseconds), median(xdoUnicode.sendingMilliseconds));
    std::printf("click on Click Target, %d runs each, medians:\n", CLICK_RUNS);
    std::printf("  kest-core click by ref (daemon round trip) %7.2f ms\n", median(kestClicks));
    std::printf("  xdotool mousemove + click 1                %7.2f ms\n", median(xdoClicks));
    std::printf("  ratio (kest-core / xdotool)                %7.2fx   fixture counted: %s (expected %s)\n",
                ratio(median(kestClicks), median(xdoClicks)), counted.c_str(), expected.c_str());
    return 0;
}
