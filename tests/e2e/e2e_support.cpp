// End-to-end helpers: child processes, polling and element lookup.
#include "e2e_support.hpp"

#include "platform/linux/linux_platform.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <thread>

extern char** environ;

namespace kest::e2e {

std::optional<ChildProcess> ChildProcess::spawn(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return std::nullopt;
    return ChildProcess(pid);
}

std::optional<ChildProcess> ChildProcess::spawn(const std::vector<std::string>& argv, const std::string& stdoutPath) {
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) return std::nullopt;
    return ChildProcess(pid);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }

std::optional<int> ChildProcess::wait(std::chrono::milliseconds limit) {
    if (pid_ <= 0) return std::nullopt;
    int status = 0;
    std::optional<int> result;
    waitFor(
        [&] {
            if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
            result = status;
            return true;
        },
        limit);
    if (result) pid_ = -1;
    return result;
}

ChildProcess::~ChildProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGCONT);  // a stopped child cannot act on SIGTERM
    kill(pid_, SIGTERM);
    if (!wait(std::chrono::seconds(3))) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

const char* fixtureApp() { return KEST_FIXTURE_APP; }

bool insideVirtualDesktop() {
    const char* state = std::getenv("KEST_VDESKTOP_STATE");
    return state && *state && std::getenv("DISPLAY");
}

AccessiblePtr waitForApplication(AtspiReader& reader, pid_t pid, std::chrono::milliseconds limit) {
    AccessiblePtr found;
    waitFor(
        [&] {
            auto app = reader.applicationForPid(pid);
            if (!app) return false;
            auto count = reader.childCount(app.get());
            if (!count || *count == 0) return false;
            found = app;
            return true;
        },
        limit);
    return found;
}

AccessiblePtr findByName(AtspiReader& reader, AtspiAccessible* root, const std::string& name, std::string_view axRole) {
    auto kids = reader.children(root);
    if (!kids) return {};
    for (const auto& child : *kids) {
        auto childName = reader.name(child.get());
        if (childName && *childName == name) {
            if (axRole.empty()) return child;
            if (auto role = reader.axRole(child.get()); role && *role == axRole) return child;
        }
        if (auto below = findByName(reader, child.get(), name, axRole)) return below;
    }
    return {};
}

std::vector<AccessiblePtr> walk(AtspiReader& reader, const AccessiblePtr& root, std::size_t limit) {
    std::vector<AccessiblePtr> result{root};
    for (std::size_t i = 0; i < result.size() && result.size() < limit; ++i) {
        auto kids = reader.children(result[i].get());
        if (!kids) continue;
        for (auto& child : *kids) result.push_back(std::move(child));
    }
    return result;
}

Json call(Dispatcher& dispatcher, const std::string& method, const Json& params) {
    static std::int64_t id = 0;
    RPCRequest request;
    request.jsonrpc = "2.0";
    request.id = ++id;
    request.method = method;
    Params converted;
    for (auto& [key, value] : params.items()) converted[key] = AnyCodable{value};
    request.params = std::move(converted);
    auto response = dispatcher.dispatch(request);
    if (response.error) return {{"error", {{"code", response.error->code}, {"message", response.error->message}}}};
    return response.result.value_or(Json());
}

void flatten(const Json& elements, Json& out) {
    for (const Json& e : elements) {
        Json copy = e;
        copy.erase("children");
        out.push_back(copy);
        if (e.contains("children")) flatten(e["children"], out);
    }
}

void DispatcherSession::SetUp() {
    if (!insideVirtualDesktop()) GTEST_SKIP() << "needs the virtual desktop: run scripts/run-e2e.sh";
    platform_ = platform::linux_desktop::makeLinuxPlatform();
    dispatcher_ = std::make_unique<Dispatcher>(*platform_);
    reader_ = AtspiReader::connect();
    ASSERT_TRUE(reader_);
}

ChildProcess DispatcherSession::start(const std::vector<std::string>& argv) {
    auto child = ChildProcess::spawn(argv);
    EXPECT_TRUE(child);
    EXPECT_TRUE(waitForApplication(*reader_, child->pid())) << argv[0];
    return std::move(*child);
}

void DispatcherSession::grab(pid_t pid) {
    Json last;
    ASSERT_TRUE(waitFor([&] {
        last = call("windows");
        for (const Json& w : last["windows"]) {
            if (w["process_id"] == pid) return !(last = call("grab", {{"ref", w["ref"]}})).contains("error");
        }
        return false;
    })) << last;
}

}  // namespace kest::e2e
