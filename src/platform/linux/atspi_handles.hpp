// RAII owners for the GLib values libatspi hands out: object references,
// errors, strings and arrays; and the shared accessible handle.
//
// Ownership: each owner releases exactly the reference or memory it was given
// (transfer full), once. Threading: as libatspi, one thread at a time.
#pragma once

#include <atspi/atspi.h>

#include <memory>

namespace kest::platform::linux_desktop {

struct GObjectUnref {
    void operator()(gpointer object) const {
        if (object) g_object_unref(object);
    }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GErrorFree {
    void operator()(GError* error) const {
        if (error) g_error_free(error);
    }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};
using GCharPtr = std::unique_ptr<gchar, GFree>;
template <class T>
using GMemoryPtr = std::unique_ptr<T, GFree>;

struct GArrayUnref {
    void operator()(GArray* array) const {
        if (array) g_array_unref(array);
    }
};
using GArrayPtr = std::unique_ptr<GArray, GArrayUnref>;

// An accessible object shared by everyone who keeps it (element handles, a
// walk in progress); the last holder drops the reference.
using AccessiblePtr = std::shared_ptr<AtspiAccessible>;

// Takes over a reference returned with transfer full; empty for null.
inline AccessiblePtr adoptAccessible(AtspiAccessible* accessible) {
    if (!accessible) return {};
    return AccessiblePtr(accessible, [](AtspiAccessible* a) { g_object_unref(a); });
}

// An out-parameter for GError that owns what libatspi leaves in it.
class ErrorSlot {
public:
    GError** out() { return &error_; }
    const GError* get() const { return error_; }
    explicit operator bool() const { return error_ != nullptr; }
    ~ErrorSlot() { GErrorFree{}(error_); }
    ErrorSlot() = default;
    ErrorSlot(const ErrorSlot&) = delete;
    ErrorSlot& operator=(const ErrorSlot&) = delete;

private:
    GError* error_ = nullptr;
};

}  // namespace kest::platform::linux_desktop
