// The pasteboard over the CLIPBOARD selection: written texts are served by an
// owner thread of this process, other owners' texts are read on the calling
// thread, and an owned text is handed to a keeper process when the object goes.
//
// Threading: readText, clear and writeText run on the request thread, one at a
// time. The owner thread, started by the first clear or writeText, has its own
// X connection and does all of the owning: it takes the selection when the
// request thread asks (a command queue; the request thread waits on the
// command's future), answers requestors at any time (also while the request
// thread sleeps between writing the clipboard and pasting), and publishes the
// text it serves under a mutex. Reads use a second connection, the request
// thread's; when the owner is this process's window they answer from the
// published text, never asking this process over X.
// Ownership: owns both connections and the owner thread (stopped and joined on
// destruction, after the hand-off); the keeper process, once started, is on
// its own (see x11_selection_keeper.hpp).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/pasteboard.hpp"

namespace kest::platform::linux_desktop {

class SelectionReader;

class X11Pasteboard final : public Pasteboard {
public:
    // `keeperProgram` runs in the keeper role when this object goes while
    // owning a text; empty: the text goes with the process.
    explicit X11Pasteboard(std::string keeperProgram = {});
    ~X11Pasteboard() override;
    X11Pasteboard(const X11Pasteboard&) = delete;
    X11Pasteboard& operator=(const X11Pasteboard&) = delete;

    // The owner's text; nothing when there is no owner, it offers no text
    // (an image, or this process after clear), or it does not answer in time.
    std::optional<std::string> readText() override;
    // Owns the selection with no text: every reader finds no text.
    void clear() override;
    // Owns the selection with the text; true once the server names this
    // process's window as the owner.
    bool writeText(std::string text) override;

private:
    class OwnerThread;
    bool startOwner();

    std::string keeperProgram_;
    std::unique_ptr<SelectionReader> reader_;
    std::unique_ptr<OwnerThread> owner_;
};

}  // namespace kest::platform::linux_desktop
