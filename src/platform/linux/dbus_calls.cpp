// D-Bus method calls through libdbus: one at a time, or queued.
#include "platform/linux/dbus_calls.hpp"

#include <cstdint>
#include <cstring>
#include <utility>

namespace kest::platform::linux_desktop {

namespace {

// The answer a pending call got, kept only when it is a method return with
// the expected arguments; an error answer goes to `error` when it is given.
// `sentAt` tells a timeout from a peer that went away (both come back as
// NoReply).
DBusMessagePtr takeReply(DBusPendingCall* call, const char* signature, bool& timedOut,
                         std::chrono::steady_clock::time_point sentAt, std::chrono::milliseconds timeout,
                         DBusMessagePtr* error = nullptr) {
    DBusMessagePtr reply(dbus_pending_call_steal_reply(call));
    if (!reply) return nullptr;
    if (dbus_message_get_type(reply.get()) == DBUS_MESSAGE_TYPE_ERROR) {
        const char* name = dbus_message_get_error_name(reply.get());
        // libdbus reports its own timeout slightly early at times; a peer
        // that disconnected answers NoReply at once.
        if (name && std::strcmp(name, DBUS_ERROR_NO_REPLY) == 0 &&
            std::chrono::steady_clock::now() - sentAt >= timeout * 9 / 10) {
            timedOut = true;
        } else if (error) {
            *error = std::move(reply);
        }
        return nullptr;
    }
    if (dbus_message_get_type(reply.get()) != DBUS_MESSAGE_TYPE_METHOD_RETURN) return nullptr;
    if (signature && !dbus_message_has_signature(reply.get(), signature)) return nullptr;
    return reply;
}

int milliseconds(std::chrono::milliseconds timeout) {
    return timeout.count() > INT32_MAX ? INT32_MAX : static_cast<int>(timeout.count());
}

}  // namespace

DBusMessagePtr newMethodCall(const std::string& destination, const std::string& path, const char* interface,
                             const char* method) {
    if (!dbus_validate_path(path.c_str(), nullptr)) return nullptr;
    return DBusMessagePtr(
        dbus_message_new_method_call(destination.empty() ? nullptr : destination.c_str(), path.c_str(), interface, method));
}

DBusMessagePtr callAndWait(DBusConnection* connection, DBusMessage* call, const char* signature,
                           std::chrono::milliseconds timeout, bool* timedOut) {
    if (!connection || !call) return nullptr;
    dbus_message_set_auto_start(call, FALSE);
    DBusPendingCall* pending = nullptr;
    const auto sentAt = std::chrono::steady_clock::now();
    if (!dbus_connection_send_with_reply(connection, call, &pending, milliseconds(timeout)) || !pending) return nullptr;
    dbus_pending_call_block(pending);
    bool noAnswer = false;
    DBusMessagePtr reply = takeReply(pending, signature, noAnswer, sentAt, timeout);
    if (timedOut) *timedOut = noAnswer;
    dbus_pending_call_unref(pending);
    return reply;
}

void discardUnclaimed(DBusConnection* connection) {
    // Bounded: a peer that keeps sending is not waited out.
    for (int round = 0; round < 64 && connection && dbus_connection_get_is_connected(connection); ++round) {
        dbus_connection_read_write(connection, 0);
        bool dropped = false;
        while (DBusMessage* message = dbus_connection_pop_message(connection)) {
            dbus_message_unref(message);
            dropped = true;
        }
        if (!dropped) break;
    }
}

DBusCallQueue::DBusCallQueue(DBusConnection* connection, std::chrono::milliseconds timeout)
    : connection_(connection), timeout_(timeout) {}

DBusCallQueue::~DBusCallQueue() {
    for (auto& pending : queue_) {
        if (!pending.call) continue;
        dbus_pending_call_cancel(pending.call);
        dbus_pending_call_unref(pending.call);
    }
}

void DBusCallQueue::send(DBusMessagePtr call, const char* signature, Handler handler, ErrorHandler onError) {
    Pending pending{nullptr, signature, std::move(handler), std::move(onError), std::chrono::steady_clock::now()};
    if (call && !timedOut_) {
        dbus_message_set_auto_start(call.get(), FALSE);
        if (!dbus_connection_send_with_reply(connection_, call.get(), &pending.call, milliseconds(timeout_))) {
            pending.call = nullptr;
        }
    }
    queue_.push_back(std::move(pending));
}

void DBusCallQueue::collect() {
    while (!queue_.empty()) {
        Pending pending = std::move(queue_.front());
        queue_.pop_front();
        DBusMessagePtr reply;
        DBusMessagePtr error;
        if (pending.call) {
            if (!timedOut_) {
                dbus_pending_call_block(pending.call);
                reply = takeReply(pending.call, pending.signature, timedOut_, pending.sentAt, timeout_,
                                  pending.onError ? &error : nullptr);
            } else {
                dbus_pending_call_cancel(pending.call);
            }
            dbus_pending_call_unref(pending.call);
        }
        if (error) {
            const char* message = nullptr;
            if (!dbus_message_get_args(error.get(), nullptr, DBUS_TYPE_STRING, &message, DBUS_TYPE_INVALID)) message = nullptr;
            pending.onError(message ? message : "");
        } else {
            pending.handler(reply.get());
        }
    }
}

}  // namespace kest::platform::linux_desktop
