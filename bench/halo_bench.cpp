// Halo benchmark: the daemon's CPU use (user + system, from /proc) over 10 s
//   - with no halo (the idle daemon, for reference),
//   - while a halo pulses around a still 1280 x 800 window,
//   - while that window is moved every 100 ms (the moves' own requests
//     included),
// without a compositor and with xcompmgr. Prints percent of one core.
//
//   kest_bench_halo [KEST_CORE_BINARY]   (inside the virtual desktop)
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "bench_support.hpp"

namespace {

using kest::bench::Child;
using kest::bench::DaemonSession;
using kest::bench::Json;
using kest::bench::waitFor;

constexpr auto WINDOW = std::chrono::seconds(10);

// Clock ticks of user and system time the process has used.
long cpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return utime + stime;
}

// Percent of one core the daemon used while `during` ran for the window.
double percentWhile(pid_t pid, const std::function<void()>& step) {
    const long before = cpuTicks(pid);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + WINDOW;
    while (std::chrono::steady_clock::now() < end) step();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return 100.0 * static_cast<double>(cpuTicks(pid) - before) / static_cast<double>(::sysconf(_SC_CLK_TCK)) / seconds;
}

void idle() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

}  // namespace

int main(int argc, char** argv) {
    const std::string binary = argc > 1 ? argv[1] : KEST_BINARY;
    DaemonSession session(binary, "halo-bench");
    if (!session.connected()) return 1;
    auto& client = session.client;
    Child fixture({KEST_FIXTURE_APP});
    std::string ref;
    waitFor([&] {
        Json windows = client.call("windows");
        for (const Json& w : windows["result"]["windows"]) {
            if (w["process_id"] == fixture.pid()) ref = w["ref"];
        }
        return !ref.empty();
    });
    if (ref.empty()) {
        std::fprintf(stderr, "halo-bench: the fixture's window did not appear\n");
        return 1;
    }
    client.call("bounds", {{"ref", ref}, {"x", 100}, {"y", 80}, {"width", 1280}, {"height", 800}});
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const Json bounds = client.call("windows")["result"]["windows"][0]["bounds"];
    std::printf("halo benchmark: daemon CPU over %lld s, percent of one core; window %s\n",
                static_cast<long long>(WINDOW.count()), bounds.dump().c_str());
    std::printf("  %-28s %6.2f %%\n", "no halo", percentWhile(session.daemonPid(), idle));

    for (bool composited : {false, true}) {
        std::unique_ptr<Child> compositor;
        if (composited) {
            compositor = std::make_unique<Child>(std::vector<std::string>{"xcompmgr"});
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        const char* mode = composited ? "xcompmgr" : "no compositor";
        client.call("grab", {{"ref", ref}});
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::printf("  %-16s %-11s %6.2f %%\n", mode, "still", percentWhile(session.daemonPid(), idle));
        int flip = 0;
        const double moving = percentWhile(session.daemonPid(), [&] {
            client.call("move", {{"ref", ref}, {"x", 100 + 40 * (flip++ % 2)}, {"y", 80}});
            idle();
        });
        std::printf("  %-16s %-11s %6.2f %%\n", mode, "moving", moving);
        client.call("ungrab");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    std::printf("  goal: at most 3 %% for a still target\n");
    return 0;
}
