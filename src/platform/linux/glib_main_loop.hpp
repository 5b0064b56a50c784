// The main thread's loop: GLib's main loop on a context of its own (never the
// default context, which other libraries may iterate), for posted work,
// repeating timers and file-descriptor watches.
//
// Ownership: owns the context and the loop; each timer or watch owns its
// source and destroys it with itself. Threading: post() from any thread; all
// else, and every callback, on the thread that calls run().
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "platform/overlay.hpp"

typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;
typedef struct _GSource GSource;

namespace kest::platform::linux_desktop {

// A source attached to a context, destroyed (so its callback never runs
// again) when the owner goes.
class GlibSourceOwner final : public MainLoopTimer {
public:
    explicit GlibSourceOwner(GSource* source) : source_(source) {}
    ~GlibSourceOwner() override;
    GlibSourceOwner(const GlibSourceOwner&) = delete;
    GlibSourceOwner& operator=(const GlibSourceOwner&) = delete;

private:
    GSource* source_;
};

class GlibMainLoop {
public:
    GlibMainLoop();
    ~GlibMainLoop();
    GlibMainLoop(const GlibMainLoop&) = delete;
    GlibMainLoop& operator=(const GlibMainLoop&) = delete;

    // Queues `task` to run once on the loop's thread. Work queued while no one
    // runs the loop waits, and is dropped unrun with the loop.
    void post(std::function<void()> task);
    // `tick` every `interval`, first after one interval, until the owner goes.
    std::unique_ptr<GlibSourceOwner> repeat(std::chrono::milliseconds interval, std::function<void()> tick);
    // `ready` whenever `fd` is readable, until the owner goes.
    std::unique_ptr<GlibSourceOwner> watch(int fd, std::function<void()> ready);
    // Runs what is due, and waits for more, for at most `maxWait`.
    void run(std::chrono::milliseconds maxWait);

private:
    GMainContext* context_;
    GMainLoop* loop_;
};

}  // namespace kest::platform::linux_desktop
