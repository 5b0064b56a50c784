// The clipboard keeper: the process that goes on serving a CLIPBOARD text
// after the process that wrote it has exited, and the hand-off to it.
//
// Why a re-executed program and not fork(): the processes that hand off run
// other threads (GLib's, the AT-SPI bridge's, the selection owner's), and a
// child forked from them without exec may inherit locks those threads held.
// The keeper is this program started again (posix_spawn of /proc/self/exe)
// under a sentinel argv[0], which main() checks before anything else, so the
// role never reaches the command line; the text comes over a socket on its
// standard input.
// Ownership and lifetime: the spawned process forks once and exits at once; the
// spawner reaps it, and its child (the keeper) is adopted by init or the
// nearest subreaper, so neither side leaves a zombie. The keeper holds its
// standard descriptors on /dev/null (the socket until it has answered) and its
// own X connection, nothing inherited: a caller reading the spawner's output
// through a pipe sees it close when the spawner exits. It takes the selection
// with the spawner's own ownership timestamp, so the server refuses it when
// another client took the selection meanwhile, and it exits when another
// client takes it or the X connection is lost.
// Threading: handOffToKeeper may be called from any thread; it blocks for at
// most its limit, while the caller's owner thread keeps serving the text.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace kest::platform::linux_desktop {

// argv[0] of the keeper role; argv[1] is the X display to serve.
inline constexpr std::string_view KEEPER_ARGV0 = "kest-clipboard-keeper";
// The running program, as the keeper program of kest-core itself.
inline constexpr const char* THIS_PROGRAM = "/proc/self/exe";
inline constexpr auto HAND_OFF_LIMIT = std::chrono::seconds(2);

// What the keeper reads: a magic word, the ownership timestamp (an X
// timestamp), the text's length and the text.
struct KeeperMessage {
    unsigned long ownedSince = 0;
    std::string text;
};
std::string encodeKeeperMessage(unsigned long ownedSince, std::string_view text);
// Nothing unless the bytes are one whole message.
std::optional<KeeperMessage> decodeKeeperMessage(std::string_view bytes);

// Starts `program` in the keeper role for the text this process owns since
// `ownedSince` on `displayName`, and waits until the keeper owns the selection
// (true) or has failed, or `limit` has passed (false).
bool handOffToKeeper(const std::string& program, const std::string& displayName, unsigned long ownedSince,
                     const std::string& text, std::chrono::milliseconds limit = HAND_OFF_LIMIT);

class X11Connection;
class SelectionOwner;

// The keeper's life once it owns the selection: serves `owner`'s text on
// `connection` until another client takes the selection and the transfers in
// progress have ended (answers 0); ends the process when the X connection is
// lost. Call only where no other thread uses the connection.
int keepServing(X11Connection& connection, SelectionOwner& owner);

// When the arguments name the keeper role, runs it to its end and answers its
// exit status; otherwise nothing, and nothing has happened.
std::optional<int> runSelectionKeeperIfAsked(int argc, char** argv);

}  // namespace kest::platform::linux_desktop
