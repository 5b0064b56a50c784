// Snapshot benchmark: a full non-interactive snapshot of an application's
// window through the daemon, against a plain pyatspi walk that reads the same
// attributes of the same window one call at a time, in the same run, for
// gtk3-widget-factory (GTK 3), gtk4-widget-factory (GTK 4), FeatherPad (Qt 5)
// and Chromium. Prints, for each, both medians, their ratio and the element
// counts, and the interactive snapshot's median. The three are taken in turns,
// one of each per round. An application that is not installed is skipped.
//
//   kest_bench_snapshot [KEST_CORE_BINARY] [WALK_SCRIPT]   (inside the virtual desktop)
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

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

struct Application {
    std::string name;
    std::vector<std::string> argv;
};

struct Row {
    std::string name;
    double full = 0;
    std::size_t fullCount = 0;
    double walk = 0;
    std::int64_t walkCount = 0;
    double interactive = 0;
    std::size_t interactiveCount = 0;
};

bool installed(const std::string& program) {
    for (const char* dir : {"/usr/bin/", "/bin/", "/usr/local/bin/"}) {
        if (::access((dir + program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

// One application: started, snapshotted until its tree stops changing, then
// measured. Nothing when it cannot be measured (the reason on stderr).
std::optional<Row> measure(Client& client, const Application& app, const std::string& script) {
    Child child(app.argv);
    const Json byPid = {{"pid", child.pid()}};
    std::size_t previous = 0;
    bool settled = waitFor([&] {
        Json r = client.call("snapshot", byPid);
        if (!r.contains("result")) return false;
        std::size_t n = countRecords(r["result"]["elements"]);
        bool same = n > 20 && n == previous;
        previous = n;
        return same;
    }, std::chrono::seconds(60));
    if (!settled) {
        std::fprintf(stderr, "snapshot_bench: %s never came up\n", app.name.c_str());
        return std::nullopt;
    }

    // The Debian package lives with the system interpreter.
    Child walker({"/usr/bin/python3", script, std::to_string(child.pid())}, {}, true);
    Json ready = Json::parse(walker.nextLine(), nullptr, false);
    if (!ready.is_object() || !ready.contains("ready")) {
        std::fprintf(stderr, "snapshot_bench: the pyatspi walk of %s failed to start\n", app.name.c_str());
        return std::nullopt;
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
    Row row{.name = app.name};
    std::vector<double> fullRuns;
    std::vector<double> interactiveRuns;
    std::vector<double> walkRuns;
    for (int i = 0; i < RUNS; ++i) {
        fullRuns.push_back(timeSnapshot(byPid, row.fullCount));
        if (!walker.say("walk")) break;
        Json walk = Json::parse(walker.nextLine(), nullptr, false);
        if (!walk.is_object() || !walk.contains("ms")) break;
        walkRuns.push_back(walk["ms"].get<double>());
        row.walkCount = walk["count"].get<std::int64_t>();
        interactiveRuns.push_back(timeSnapshot(interactiveParams, row.interactiveCount));
    }
    if (walkRuns.size() != static_cast<std::size_t>(RUNS)) {
        std::fprintf(stderr, "snapshot_bench: the pyatspi walk of %s failed\n", app.name.c_str());
        return std::nullopt;
    }
    row.full = median(fullRuns);
    row.interactive = median(interactiveRuns);
    row.walk = median(walkRuns);
    return row;
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

    Child daemon({binary, "--daemon"}, {"HOME=" + home});
    Client client;
    if (!waitFor([&] { return client.connect(home + "/.kest/daemon.sock"); })) {
        std::fprintf(stderr, "snapshot_bench: the daemon did not start\n");
        return 1;
    }
    // Chromium joins the accessibility bus once the desktop's toolkit
    // accessibility is on; its web content needs the renderer flag too.
    client.call("permissions_grant");
    const std::string page =
        "data:text/html,<title>Bench</title><h1>Snapshot bench</h1><form>"
        "<label>Name <input value=x></label><label><input type=checkbox checked>Check</label>"
        "<select><option>One<option>Two</select><button>Send</button></form>"
        "<ul><li>one<li>two<li>three</ul><p>Some <a href=%23>link</a> text.</p>";
    const std::vector<Application> applications = {
        {"gtk3-widget-factory", {"gtk3-widget-factory"}},
        {"gtk4-widget-factory", {"gtk4-widget-factory"}},
        {"FeatherPad (Qt 5)", {"featherpad"}},
        {"Chromium", {"chromium", "--no-sandbox", "--no-first-run", "--user-data-dir=" + home + "/chromium",
                      "--force-renderer-accessibility", page}},
    };
    std::vector<Row> rows;
    for (const Application& app : applications) {
        if (!installed(app.argv.front())) {
            std::fprintf(stderr, "snapshot_bench: %s is not installed (scripts/install-deps.sh)\n", app.argv.front().c_str());
            continue;
        }
        if (auto row = measure(client, app, script)) rows.push_back(std::move(*row));
    }
    client.call("shutdown");

    std::printf("full snapshots through the daemon against a pyatspi walk, %d runs each, medians:\n", RUNS);
    std::printf("  %-22s %12s %9s %12s %9s %8s %14s\n", "application", "kest-core", "elements", "pyatspi", "elements",
                "ratio", "interactive");
    for (const Row& r : rows) {
        std::printf("  %-22s %9.1f ms %9zu %9.1f ms %9lld %7.1fx %11.1f ms\n", r.name.c_str(), r.full, r.fullCount,
                    r.walk, static_cast<long long>(r.walkCount), r.full > 0 ? r.walk / r.full : 0.0, r.interactive);
    }
    std::filesystem::remove_all(home);
    return rows.size() == applications.size() ? 0 : 1;
}
