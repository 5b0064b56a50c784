// The seam between the engine's logic and the desktop it drives.
//
// Every service the logic needs is an abstract interface, in the engine's own
// vocabulary (attribute and action names, window-list records, virtual key
// codes, bottom-left screen frames); backends (the Linux desktop, the in-memory
// fake used by tests) implement them and translate at their own edge. No OS
// header is included by this folder, and nothing here throws: failures are
// statuses, empty optionals or unexpected values.
//
// Ownership: a backend object owns all of its services and outlives the
// Dispatcher that receives it; the logic reaches it only through the Platform
// passed in, never through a global. Threading: requests are serialised, so the
// services are called from one request thread at a time; the overlay (and the
// window-list and screen reads it makes) runs on the main thread. Each service
// header says which thread may call what.
#pragma once

#include "platform/accessibility.hpp"
#include "platform/capture.hpp"
#include "platform/element.hpp"
#include "platform/events.hpp"
#include "platform/geometry.hpp"
#include "platform/overlay.hpp"
#include "platform/pasteboard.hpp"
#include "platform/screens.hpp"
#include "platform/window_server.hpp"
#include "platform/workspace.hpp"

namespace kest::platform {

// One desktop backend: the owner of every service.
class Platform {
public:
    virtual ~Platform() = default;
    virtual Accessibility& accessibility() = 0;
    virtual Events& events() = 0;
    virtual WindowServer& windowServer() = 0;
    virtual Workspace& workspace() = 0;
    virtual Screens& screens() = 0;
    virtual Pasteboard& pasteboard() = 0;
    virtual Capture& capture() = 0;
    virtual Overlay& overlay() = 0;
};

}  // namespace kest::platform
