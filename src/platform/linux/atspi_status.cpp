// The accessibility bus's status switch, over the session bus.
#include "platform/linux/atspi_status.hpp"

#include <gio/gio.h>

#include "platform/linux/atspi_handles.hpp"

namespace kest::platform::linux_desktop {

bool enableToolkitAccessibility() {
    constexpr int kTimeoutMs = 2000;
    GError* rawError = nullptr;
    GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
    GErrorPtr error(rawError);
    if (!bus) return false;
    rawError = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus.get(), "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
        g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE)), nullptr,
        G_DBUS_CALL_FLAGS_NO_AUTO_START, kTimeoutMs, nullptr, &rawError);
    error.reset(rawError);
    if (reply == nullptr) return false;
    g_variant_unref(reply);
    return true;
}

}  // namespace kest::platform::linux_desktop
