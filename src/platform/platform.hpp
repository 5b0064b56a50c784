// The seam between the engine's logic and the desktop it drives.
//
// Every service the logic needs is an abstract interface here, in the engine's
// own vocabulary; backends (the Linux desktop, the in-memory fake used by tests)
// implement them. No OS header is included by this folder.
//
// Ownership: a backend object owns all of its services and outlives the
// Dispatcher that receives it. Threading: requests are serialised, so services
// are called from one request thread at a time.
#pragma once

#include <memory>
#include <string>

namespace kest::platform {

// An opaque handle to one interface element. Backends subclass it; the logic
// keeps handles (a ref map holds many) and hands them back, nothing more.
class ElementHandle {
public:
    virtual ~ElementHandle() = default;
};
using Element = std::shared_ptr<ElementHandle>;

// Accessibility: reading and operating other applications' interface elements.
class Accessibility {
public:
    virtual ~Accessibility() = default;
    // May this process use the accessibility services at all?
    virtual bool isProcessTrusted() = 0;
};

// Synthetic input and the window server.
class WindowServer {
public:
    virtual ~WindowServer() = default;
    // May this process capture the screen? Never prompts.
    virtual bool preflightScreenCaptureAccess() = 0;
};

// Running applications, application bundles and URLs.
class Workspace {
public:
    virtual ~Workspace() = default;
    // Opens a URL the way the desktop does; true when it was handed over.
    virtual bool openURL(const std::string& url) = 0;
};

// One desktop backend: the owner of every service above.
class Platform {
public:
    virtual ~Platform() = default;
    virtual Accessibility& accessibility() = 0;
    virtual WindowServer& windowServer() = 0;
    virtual Workspace& workspace() = 0;
};

}  // namespace kest::platform
