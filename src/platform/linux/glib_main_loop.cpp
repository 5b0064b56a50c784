// GLib main loop on a private context.
#include "platform/linux/glib_main_loop.hpp"

#include <glib-unix.h>
#include <glib.h>

namespace kest::platform::linux_desktop {
namespace {

using Callback = std::function<void()>;

void deleteCallback(gpointer data) { delete static_cast<Callback*>(data); }

gboolean runOnce(gpointer data) {
    (*static_cast<Callback*>(data))();
    return G_SOURCE_REMOVE;
}

gboolean runAgain(gpointer data) {
    (*static_cast<Callback*>(data))();
    return G_SOURCE_CONTINUE;
}

gboolean fdReady(gint, GIOCondition, gpointer data) {
    (*static_cast<Callback*>(data))();
    return G_SOURCE_CONTINUE;
}

gboolean quitLoop(gpointer data) {
    g_main_loop_quit(static_cast<GMainLoop*>(data));
    return G_SOURCE_REMOVE;
}

}  // namespace

GlibSourceOwner::~GlibSourceOwner() {
    g_source_destroy(source_);
    g_source_unref(source_);
}

GlibMainLoop::GlibMainLoop() : context_(g_main_context_new()), loop_(g_main_loop_new(context_, FALSE)) {}

GlibMainLoop::~GlibMainLoop() {
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);  // drops the sources still attached, unrun
}

void GlibMainLoop::post(std::function<void()> task) {
    // Attaching is thread-safe and wakes the context if it is waiting.
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, runOnce, new Callback(std::move(task)), deleteCallback);
    g_source_attach(source, context_);
    g_source_unref(source);
}

std::unique_ptr<GlibSourceOwner> GlibMainLoop::repeat(std::chrono::milliseconds interval, std::function<void()> tick) {
    GSource* source = g_timeout_source_new(static_cast<guint>(interval.count()));
    g_source_set_callback(source, runAgain, new Callback(std::move(tick)), deleteCallback);
    g_source_attach(source, context_);
    return std::make_unique<GlibSourceOwner>(source);
}

std::unique_ptr<GlibSourceOwner> GlibMainLoop::watch(int fd, std::function<void()> ready) {
    GSource* source = g_unix_fd_source_new(fd, G_IO_IN);
    g_source_set_callback(source, reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(fdReady)),
                          new Callback(std::move(ready)), deleteCallback);
    g_source_attach(source, context_);
    return std::make_unique<GlibSourceOwner>(source);
}

void GlibMainLoop::run(std::chrono::milliseconds maxWait) {
    GSource* deadline = g_timeout_source_new(static_cast<guint>(maxWait.count()));
    g_source_set_priority(deadline, G_PRIORITY_HIGH);
    g_source_set_callback(deadline, quitLoop, loop_, nullptr);
    g_source_attach(deadline, context_);
    g_main_loop_run(loop_);
    g_source_destroy(deadline);
    g_source_unref(deadline);
}

}  // namespace kest::platform::linux_desktop
