// Clipboard benchmark: a set then a get of 25 bytes and of 1 MiB,
//   - through the daemon (clipboard_set, then clipboard_read, on one connection),
//   - as two one-shot kest-core runs (clipboard_set, which hands its text to
//     the keeper as it exits, then clipboard_read from the keeper); 1 MiB goes
//     as a request on standard input, since no single argument may be that long,
// against `xclip -i` then `xclip -o` in the same run. `xclip -o` is repeated
// until it reads the text: `xclip -i` returns before its background child owns
// the selection, and that wait is part of what a caller pays. The sides are
// measured in turns, one of each per round; prints medians, ratios, how many
// rounds arrived intact, and where a one-shot spends its time.
//
//   kest_bench_clipboard [KEST_CORE_BINARY]   (inside the virtual desktop)
#include <cstdio>

#include "bench_support.hpp"

namespace {

using kest::bench::Client;
using kest::bench::DaemonSession;
using kest::bench::Clock;
using kest::bench::Json;
using kest::bench::median;
using kest::bench::Output;
using kest::bench::run;
using kest::bench::waitFor;

constexpr int SMALL_ROUNDS = 31;
constexpr int LARGE_ROUNDS = 15;
constexpr auto READ_BACK_LIMIT = std::chrono::seconds(5);

double elapsedMs(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// Whether a clipboard_read answer holds exactly `text` (looked at in place:
// copying a large answer out would be the benchmark's cost, not the engine's).
bool answersText(const Json& response, const std::string& text) {
    if (!response.is_object() || !response.contains("result")) return false;
    const Json& answered = response["result"]["text"];
    return answered.is_string() && answered.get_ref<const std::string&>() == text;
}

struct Series {
    std::vector<double> set, get, total;
    int intact = 0;
    void add(double setMs, double getMs, bool ok) {
        set.push_back(setMs);
        get.push_back(getMs);
        total.push_back(setMs + getMs);
        if (ok) ++intact;
    }
};

std::string sampleText(std::size_t count) {
    const std::string unit = "Gr\xC3\xBC\xC3\x9F" "e, \xE4\xB8\x96\xE7\x95\x8C \xE2\x9C\x93 0123456789 abcdefghij\n";
    std::string text;
    while (text.size() + unit.size() <= count) text += unit;
    text.append(count - text.size(), 'z');
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string binary = argc > 1 ? argv[1] : KEST_BINARY;
    DaemonSession session(binary, "clipboard-bench");
    if (!session.connected()) return 1;
    Client& client = session.client;
    if (client.call("clipboard_read").contains("error")) {
        std::fprintf(stderr, "clipboard_bench: this kest-core has no clipboard_read\n");
        return 1;
    }

    auto throughDaemon = [&](const std::string& text, Series& series) {
        auto started = Clock::now();
        const Json set = client.call("clipboard_set", {{"text", text}});
        const double setMs = elapsedMs(started);
        started = Clock::now();
        const bool read = answersText(client.call("clipboard_read"), text);
        series.add(setMs, elapsedMs(started), set.contains("result") && read);
    };
    // The caller's JSON work around a one-shot (writing the request, reading
    // the answer) is timed apart from the two runs: it is the caller's codec,
    // not the engine, and xclip's caller has none.
    std::vector<double> encodeMs, decodeMs;
    auto asOneShots = [&](const std::string& text, Series& series) {
        std::string input;
        if (text.size() >= 4096) {
            auto encoding = Clock::now();
            const Json request = {{"jsonrpc", "2.0"}, {"id", 1}, {"method", "clipboard_set"}, {"params", {{"text", text}}}};
            input = kest::encodeJson(request);
            encodeMs.push_back(elapsedMs(encoding));
        }
        auto started = Clock::now();
        const Output set = input.empty() ? run({binary, "clipboard_set", "--text", text}, {}, true)
                                         : run({binary}, input, true);
        const double setMs = elapsedMs(started);
        started = Clock::now();
        const Output read = run({binary, "clipboard_read"}, {}, true);
        const double getMs = elapsedMs(started);
        const auto decoding = Clock::now();
        const bool readBack = answersText(kest::decodeJson(read.out).value_or(Json(nullptr)), text);
        if (text.size() >= 4096) decodeMs.push_back(elapsedMs(decoding));
        series.add(setMs, getMs, set.status == 0 && readBack);
    };
    auto withXclip = [&](const std::string& text, Series& series) {
        auto started = Clock::now();
        const Output set = run({"xclip", "-i", "-selection", "clipboard"}, text, false);
        const double setMs = elapsedMs(started);
        started = Clock::now();
        const auto deadline = Clock::now() + READ_BACK_LIMIT;
        bool intact = false;
        while (!intact && Clock::now() < deadline) {
            intact = run({"xclip", "-o", "-selection", "clipboard"}, {}, true).out == text;
        }
        series.add(setMs, elapsedMs(started), set.status == 0 && intact);
    };

    struct Size {
        const char* name;
        std::string text;
        int rounds;
        Series daemon, oneShot, xclip;
    };
    Size sizes[] = {{"25 bytes", "The quick brown fox jumps", SMALL_ROUNDS, {}, {}, {}},
                    {"1 MiB", sampleText(std::size_t{1} << 20), LARGE_ROUNDS, {}, {}, {}}};
    for (auto& size : sizes) {
        for (int i = 0; i < size.rounds; ++i) {
            throughDaemon(size.text, size.daemon);
            asOneShots(size.text, size.oneShot);
            withXclip(size.text, size.xclip);
        }
    }
    // Where a one-shot's time goes: starting the process alone.
    std::vector<double> starts;
    for (int i = 0; i < SMALL_ROUNDS; ++i) {
        const auto started = Clock::now();
        run({binary, "--version"}, {}, true);
        starts.push_back(elapsedMs(started));
    }
    std::vector<double> xclipStarts;
    for (int i = 0; i < SMALL_ROUNDS; ++i) {
        const auto started = Clock::now();
        run({"xclip", "-version"}, {}, false);
        xclipStarts.push_back(elapsedMs(started));
    }

    auto ratio = [](double ours, double theirs) { return theirs > 0 ? ours / theirs : 0.0; };
    std::printf("clipboard set then get, medians in ms (set + get = total), intact rounds:\n");
    for (auto& size : sizes) {
        const double xclipTotal = median(size.xclip.total);
        std::printf("  %s, %d rounds:\n", size.name, size.rounds);
        std::printf("    xclip -i, xclip -o        %7.2f + %7.2f = %7.2f          intact %d/%d\n",
                    median(size.xclip.set), median(size.xclip.get), xclipTotal, size.xclip.intact, size.rounds);
        std::printf("    kest-core daemon          %7.2f + %7.2f = %7.2f  %6.2fx  intact %d/%d\n",
                    median(size.daemon.set), median(size.daemon.get), median(size.daemon.total),
                    ratio(median(size.daemon.total), xclipTotal), size.daemon.intact, size.rounds);
        std::printf("    kest-core one-shot x2     %7.2f + %7.2f = %7.2f  %6.2fx  intact %d/%d\n",
                    median(size.oneShot.set), median(size.oneShot.get), median(size.oneShot.total),
                    ratio(median(size.oneShot.total), xclipTotal), size.oneShot.intact, size.rounds);
    }
    // The daemon's figures include its client's JSON; the one-shots' do not.
    const Size& large = sizes[1];
    const double withJson = median(large.oneShot.total) + median(encodeMs) + median(decodeMs);
    std::printf("  the caller's JSON around a 1 MiB one-shot pair (not in the figures above): "
                "encoding the request %.2f ms, decoding the answer %.2f ms; with it the pair takes %.2f ms, "
                "%.2fx xclip\n",
                median(encodeMs), median(decodeMs), withJson, ratio(withJson, median(large.xclip.total)));
    std::printf("  process start alone: kest-core --version %.2f ms, xclip -version %.2f ms\n", median(starts),
                median(xclipStarts));
    return 0;
}
