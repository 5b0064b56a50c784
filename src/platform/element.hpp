// Accessibility element handles: the one identity the logic keeps for an
// interface element of another application.
#pragma once

#include <memory>

namespace kest::platform {

// An opaque handle to one interface element. Backends subclass it; the logic
// keeps handles (a ref map holds many) and hands them back, nothing more: it
// never compares two handles. A handle whose element has gone stays safe to
// keep and to pass; every call on it then fails and reads as absent.
class ElementHandle {
public:
    virtual ~ElementHandle() = default;
};

// Shared, because a ref map, a snapshot walk and a pending reaction may all
// hold the same element. An empty Element is "no element".
using Element = std::shared_ptr<ElementHandle>;

}  // namespace kest::platform
