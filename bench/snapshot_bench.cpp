// Snapshot benchmark: a full non-interactive snapshot of gtk3-widget-factory's
// window through the daemon, against a plain pyatspi walk that reads the same
// attributes of the same window one call at a time, in the same run. Prints
// both medians, their ratio, the element counts, and the interactive
// snapshot's median. The three are taken in turns, one of each per round.
//
//   kest_bench_snapshot [KEST_CORE_BINARY] [WALK_SCRIPT]   (inside the virtual desktop)
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "bench_support.hpp"

namespace {

using kest::bench::Child;
using kest::bench::Client;
using kest::bench::Clock;
using kest::bench::Json;
using kest::bench::median;
using kest::bench::waitFor;

constexpr int RUNS = 15;

std::size_t countRecords(const Json& elements) {
    std::size_t n = 0;
    for (const Json& e : elements) n += 1 + (e.contains("children") ? countRecords(e["children"]) : 0);
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string binary = argc > 1 ? argv[1] : KEST_BINARY;
    const std::string script = argc > 2 ? argv[2] : KEST_WALK_SCRIPT;
    if (!std::getenv("DISPLAY")) {
        std::fprintf(stderr, "snapshot_bench: needs the virtual desktop (scripts/run-bench.sh)\n");
        return 1;
    }
    char homeTemplate[] = "/tmp/kest-snapshot-bench-XXXXXX";
    if (!::mkdtemp(homeTemplate)) return 1;
    const std::string home = homeTemplate;

    Child factory({"gtk3-widget-factory"});
    Child daemon({binary, "--daemon"}, {"HOME=" + home});
    Client client;
    if (!waitFor([&] { return client.connect(home + "/.kest/daemon.sock"); })) {
        std::fprintf(stderr, "snapshot_bench: the daemon did not start\n");
        return 1;
    }
    // Ready once the factory's window snapshots with its full tree.
    const Json byPid = {{"pid", factory.pid()}};
    std::size_t previous = 0;
    bool settled = waitFor([&] {
        Json r = client.call("snapshot", byPid);
        if (!r.contains("result")) return false;
        std::size_t n = countRecords(r["result"]["elements"]);
        bool same = n > 100 && n == previous;
        previous = n;
        return same;
    });
    if (!settled) {
        std::fprintf(stderr, "snapshot_bench: gtk3-widget-factory never came up\n");
        return 1;
    }

    // The Debian package lives with the system interpreter.
    Child walker({"/usr/bin/python3", script, std::to_string(factory.pid())}, {}, true);
    Json ready = Json::parse(walker.nextLine(), nullptr, false);
    if (!ready.is_object() || !ready.contains("ready")) {
        std::fprintf(stderr, "snapshot_bench: the pyatspi walk failed to start\n");
        return 1;
    }

    // Rounds of one of each, so that whatever else the machine is doing
    // meanwhile weighs on all three alike.
    Json interactiveParams = byPid;
    interactiveParams["interactive"] = true;
    auto timeSnapshot = [&](const Json& params, std::size_t& count) {
        const auto started = Clock::now();
        Json r = client.call("snapshot", params);
        const double took = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
        count = r.contains("result") ? countRecords(r["result"]["elements"]) : 0;
        return took;
    };
    std::vector<double> fullRuns;
    std::vector<double> interactiveRuns;
    std::vector<double> walkRuns;
    std::size_t fullCount = 0;
    std::size_t interactiveCount = 0;
    std::int64_t walkCount = 0;
    for (int i = 0; i < RUNS; ++i) {
        fullRuns.push_back(timeSnapshot(byPid, fullCount));
        if (!walker.say("walk")) break;
        Json walk = Json::parse(walker.nextLine(), nullptr, false);
        if (!walk.is_object() || !walk.contains("ms")) break;
        walkRuns.push_back(walk["ms"].get<double>());
        walkCount = walk["count"].get<std::int64_t>();
        interactiveRuns.push_back(timeSnapshot(interactiveParams, interactiveCount));
    }
    if (walkRuns.size() != static_cast<std::size_t>(RUNS)) {
        std::fprintf(stderr, "snapshot_bench: the pyatspi walk failed\n");
        return 1;
    }
    const double full = median(fullRuns);
    const double interactive = median(interactiveRuns);
    const double peer = median(walkRuns);

    client.call("shutdown");
    std::printf("gtk3-widget-factory, %d runs each, medians:\n", RUNS);
    std::printf("  kest-core snapshot (daemon, full)        %8.1f ms  %zu elements\n", full, fullCount);
    std::printf("  pyatspi walk, one call at a time         %8.1f ms  %lld elements\n", peer,
                static_cast<long long>(walkCount));
    std::printf("  ratio (pyatspi / kest-core)              %8.1fx\n", full > 0 ? peer / full : 0.0);
    std::printf("  kest-core snapshot (daemon, interactive) %8.1f ms  %zu elements\n", interactive, interactiveCount);
    std::filesystem::remove_all(home);
    return 0;
}
