// Helpers for the end-to-end tests: child processes started with an argument
// vector and stopped by pid, bounded polling, and element lookup by name.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/atspi_reader.hpp"
#include "rpc/dispatcher.hpp"

namespace kest::e2e {

using platform::linux_desktop::AccessiblePtr;
using platform::linux_desktop::AtspiReader;

// A child process, stopped (SIGTERM, then SIGKILL) and reaped when the owner
// goes. Nothing runs through a shell.
class ChildProcess {
public:
    static std::optional<ChildProcess> spawn(const std::vector<std::string>& argv);
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&&) = delete;
    ChildProcess(const ChildProcess&) = delete;
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    // Waits for the exit; the status as waitpid reports it.
    std::optional<int> wait(std::chrono::milliseconds limit);

private:
    explicit ChildProcess(pid_t pid) : pid_(pid) {}
    pid_t pid_ = -1;
};

// Polls `condition` every 20 ms until it holds or `limit` passes.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10));

// True when the tests run inside a desktop started by scripts/vdesktop.sh.
bool insideVirtualDesktop();

// The application of `pid` once it is on the bus with at least one window.
AccessiblePtr waitForApplication(AtspiReader& reader, pid_t pid,
                                 std::chrono::milliseconds limit = std::chrono::seconds(30));

// Depth-first search below `root` for an element with this accessible name
// (and, when given, this AX role).
AccessiblePtr findByName(AtspiReader& reader, AtspiAccessible* root, const std::string& name,
                         std::string_view axRole = {});

// Every element below `root` (root included), depth first.
std::vector<AccessiblePtr> walk(AtspiReader& reader, const AccessiblePtr& root, std::size_t limit = 5000);

// Dispatches one request as a client would send it; answers the result, or
// {"error": {"code", "message"}} when the method failed.
Json call(Dispatcher& dispatcher, const std::string& method, const Json& params = Json::object());

}  // namespace kest::e2e
