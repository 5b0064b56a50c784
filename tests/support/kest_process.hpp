// Runs the real kest-core binary and talks to its daemon over the socket, as a
// client would.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "rpc/unique_fd.hpp"

namespace kest::test {

struct ProcessResult {
    int exitStatus = -1;  // -1 when killed for running too long
    std::string out;
    std::string err;
};

// Runs the binary with the arguments, the given standard input (closed after
// writing), and extra environment entries; kills it after the time limit.
ProcessResult runKest(const std::vector<std::string>& arguments, const std::string& input = {},
                      const std::map<std::string, std::string>& environment = {},
                      std::chrono::milliseconds limit = std::chrono::seconds(20));
// The same, but standard input stays open (the writer waits for the answer)
// until the process has exited or been killed.
ProcessResult runKestInputLeftOpen(const std::vector<std::string>& arguments, const std::string& input,
                                   std::chrono::milliseconds limit = std::chrono::seconds(20));
// runKest with the program's name (argv[0]) given, as a shell that found it
// on the PATH would give it.
ProcessResult runKestNamed(const std::string& argv0, const std::vector<std::string>& arguments,
                           const std::string& input);

// The program that runKest runs.
const char* runKestPath();
// Runs another copy of the program, with no standard input.
ProcessResult runProgram(const std::string& program, const std::vector<std::string>& arguments);
// The engine module that was built with the program, and one of another
// version, which no front of this version may run.
extern const char* const BUILT_ENGINE;
extern const char* const OTHER_VERSION_ENGINE;

// A temporary directory removed (with its contents) when the owner goes.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "/tmp/kest-test-");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A daemon started with HOME set to a directory of the test's.
class DaemonProcess {
public:
    // With `environment` added to HOME.
    explicit DaemonProcess(const std::string& home, std::map<std::string, std::string> environment = {});
    ~DaemonProcess();  // kills the daemon if it still runs
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;

    // Waits until the socket accepts connections and the information file is
    // there; false when the daemon died
    // or did not come up in time.
    bool waitUntilListening();
    // Waits for the process to exit and returns its status (-1 on time-out).
    int waitForExit(std::chrono::milliseconds limit = std::chrono::seconds(10));
    std::string socketPath() const { return home_ + "/.kest/daemon.sock"; }
    std::string infoPath() const { return home_ + "/.kest/daemon.json"; }
    pid_t pid() const { return pid_; }
    const std::string& errorOutput();

private:
    std::string home_;
    pid_t pid_ = -1;
    UniqueFd errRead_;
    std::string err_;
};

// One connection to a daemon socket.
class SocketClient {
public:
    bool connect(const std::string& path);
    bool send(const std::string& bytes);
    // The next line without its line feed; nothing on time-out or close.
    std::optional<std::string> readLine(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // True when the peer has closed (reads end-of-stream) within the limit.
    bool closedByPeer(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Sends one line and returns the answer line.
    std::optional<std::string> call(const std::string& line);
    void close() { fd_.reset(); }
    int fd() const { return fd_.get(); }

private:
    UniqueFd fd_;
    std::string pending_;
};

}  // namespace kest::test
