// One-shot clipboard_read and clipboard_set answered by the program's front,
// without the engine: a caller that only moves text through the clipboard
// does not pay for loading the accessibility, capture and input libraries,
// which take longer to load than the whole transfer.
//
// Only the plain forms are taken (`clipboard_read`, `clipboard_set --text T`
// with a T that is not itself a flag); anything else, and any failure before
// the answer is written (no X server, the selection not confirmed), is left
// to the engine, which answers as it always has. What is answered here is
// the same text, byte for byte, as the engine's answer.
//
// Why fork() is safe here, where the engine re-executes itself for its
// keeper: this runs before any thread is started (the front starts none), so
// the child inherits no lock. The child keeps serving on the very connection
// and window that took the selection, so nothing is handed over; it holds
// the X connection and /dev/null, nothing else, sits in a session of its
// own, and is adopted by init once the front exits, which is at once. It
// rewrites its command line to the keeper's own (KEEPER_ARGV0 and the
// display), so it is found like any keeper and the text does not stay on
// show in the process list.
// Where the command line is too short for that name (a request on standard
// input leaves only the program's name there), the name runs on over the
// environment's strings, which follow it in memory; the kernel then shows the
// command line up to the name's end. The child needs no environment and
// drops it.
//
// A request on standard input (where a text too long for one argument
// comes) is taken too when it is clipboard_read or a clipboard_set with a
// string text.
#pragma once

#include <optional>

#include "rpc/protocol.hpp"

namespace kest::platform::linux_desktop {

// The exit status once the program's arguments were answered (the answer
// written to standard output); nothing when the engine must answer them.
// `argv` is main's, whose strings a keeper overwrites.
std::optional<int> runClipboardOneShot(int argc, char** argv);

// The same for a request read from standard input. A clipboard_set's text is
// moved out of the request; when nothing was answered, the engine must be
// given the request's bytes, not `request`.
std::optional<int> runClipboardRequest(int argc, char** argv, RPCRequest& request);

}  // namespace kest::platform::linux_desktop
