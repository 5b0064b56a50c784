// D-Bus method calls to an accessible application through libdbus, the
// library libatspi itself talks through: one blocking call, and a queue of
// calls sent without waiting for each answer.
//
// The queue exists for speed. A bulk read of a window makes hundreds of small
// calls; libdbus sends and reads them on the calling thread with a couple of
// system calls per message, where a GDBus call also crosses to a worker
// thread and back. Answers are taken in the order the calls were sent, which
// is the order a single-threaded application answers them in.
//
// Ownership: DBusPrivateConnectionPtr closes and drops a connection opened
// with dbus_connection_open_private; DBusMessagePtr drops a message; the queue
// owns its pending calls. Threading: one thread at a time per queue.
#pragma once

#include <dbus/dbus.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>

namespace kest::platform::linux_desktop {

struct DBusMessageUnref {
    void operator()(DBusMessage* message) const {
        if (message) dbus_message_unref(message);
    }
};
using DBusMessagePtr = std::unique_ptr<DBusMessage, DBusMessageUnref>;

struct DBusPrivateConnectionClose {
    void operator()(DBusConnection* connection) const {
        if (!connection) return;
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
    }
};
using DBusPrivateConnectionPtr = std::unique_ptr<DBusConnection, DBusPrivateConnectionClose>;

// A method call to `path` at `destination` (empty on a direct connection),
// ready for its arguments. Null only when memory runs out.
DBusMessagePtr newMethodCall(const std::string& destination, const std::string& path, const char* interface,
                             const char* method);

// Sends `call` and waits for the answer: the method return when its
// arguments have `signature`, otherwise null. `timedOut`, when given, tells
// whether the call went unanswered for the whole timeout.
DBusMessagePtr callAndWait(DBusConnection* connection, DBusMessage* call, const char* signature,
                           std::chrono::milliseconds timeout, bool* timedOut = nullptr);

// Drops what a connection holds that nobody waits for (answers that came in
// after their call was given up, messages the peer sent unasked) and notices
// when the peer has closed it. For a connection no one else reads from.
void discardUnclaimed(DBusConnection* connection);

class DBusCallQueue {
public:
    // The method return, or null: an error, a wrong signature, no answer.
    using Handler = std::function<void(DBusMessage* reply)>;
    // An error answer's message (its first argument, "" without one).
    using ErrorHandler = std::function<void(const char* message)>;

    DBusCallQueue(DBusConnection* connection, std::chrono::milliseconds timeout);
    ~DBusCallQueue();  // unanswered calls are dropped without waiting
    DBusCallQueue(const DBusCallQueue&) = delete;
    DBusCallQueue& operator=(const DBusCallQueue&) = delete;

    // Sends `call` now; `handler` runs from collect() with the answer when its
    // arguments have `signature`. With `onError`, an error answer goes to it
    // instead of the handler.
    void send(DBusMessagePtr call, const char* signature, Handler handler, ErrorHandler onError = {});

    // Runs the handlers in the order the calls were sent, each once its answer
    // is in; handlers may send more. Returns when every call is answered, or
    // when one went unanswered for the whole timeout: the application is
    // taken to be stuck, and the calls still out get null at once.
    void collect();
    bool timedOut() const { return timedOut_; }

private:
    struct Pending {
        DBusPendingCall* call;  // null: could not be sent
        const char* signature;
        Handler handler;
        ErrorHandler onError;
        std::chrono::steady_clock::time_point sentAt;
    };

    DBusConnection* connection_;
    std::chrono::milliseconds timeout_;
    std::deque<Pending> queue_;
    bool timedOut_ = false;
};

}  // namespace kest::platform::linux_desktop
