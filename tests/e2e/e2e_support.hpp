// Helpers for the end-to-end tests: child processes started with an argument
// vector and stopped by pid, bounded polling, and element lookup by name.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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
    // The same, with standard output written to the file at `stdoutPath`.
    static std::optional<ChildProcess> spawn(const std::vector<std::string>& argv, const std::string& stdoutPath);
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

// The path of the project's GTK 3 fixture application.
const char* fixtureApp();

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

// Every record of a snapshot tree, depth first, without "children".
void flatten(const Json& elements, Json& out);

// A dispatcher over the Linux platform, as the daemon has it, with the
// applications a test starts; skips the test outside the virtual desktop.
class DispatcherSession : public ::testing::Test {
protected:
    void SetUp() override;

    // Starts the program and waits until it is on the accessibility bus.
    ChildProcess start(const std::vector<std::string>& argv);
    // Lists the windows and grabs the first one of `pid`.
    void grab(pid_t pid);
    Json call(const std::string& method, const Json& params = Json::object()) {
        return kest::e2e::call(*dispatcher_, method, params);
    }

    // The element's "value" as "read" answers it.
    Json value(const std::string& elementRef) { return call("read", {{"ref", elementRef}})["value"]; }
    // Waits until the element's value is `expected`; the last value seen.
    Json settlesTo(const std::string& elementRef, const Json& expected) {
        Json seen;
        waitFor([&] { return (seen = value(elementRef)) == expected; }, std::chrono::seconds(5));
        return seen;
    }
    bool checked(const std::string& elementRef) {
        return call("is", {{"state", "checked"}, {"ref", elementRef}})["value"] == true;
    }
    // Waits for the application's dialog to be up with its buttons; the
    // last answer of "dialog".
    Json dialogOf(const std::string& app) {
        Json seen;
        waitFor([&] {
            seen = call("dialog", {{"app", app}});
            return seen["found"] == true && seen["dialog"].contains("buttons");
        });
        return seen;
    }

    std::unique_ptr<platform::Platform> platform_;
    std::unique_ptr<Dispatcher> dispatcher_;
    std::unique_ptr<AtspiReader> reader_;
};

}  // namespace kest::e2e
