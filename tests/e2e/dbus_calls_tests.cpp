// The queued D-Bus calls against a peer on a private socket in this process:
// answers in order, calls sent from handlers, replies that are errors or of
// the wrong shape, a peer that stops answering and one that goes away.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/dbus_calls.hpp"

namespace kest::platform::linux_desktop {
namespace {

using std::chrono::milliseconds;

// A peer that answers method calls by member name: "Echo" (s) returns its
// string, "Number" returns an int32 instead, "Fail" returns an error,
// "Ignore" is never answered and "Bye" closes the connection, answering
// nothing more.
class TestPeer {
public:
    TestPeer() {
        thread_ = std::thread([this] { run(); });
        while (!ready_.load()) std::this_thread::yield();
    }
    ~TestPeer() {
        g_main_context_invoke(context_, [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        }, loop_);
        thread_.join();
    }
    const std::string& address() const { return address_; }

private:
    void run() {
        context_ = g_main_context_new();
        g_main_context_push_thread_default(context_);
        loop_ = g_main_loop_new(context_, FALSE);
        gchar* guid = g_dbus_generate_guid();
        GDBusServer* server = g_dbus_server_new_sync("unix:tmpdir=/tmp", G_DBUS_SERVER_FLAGS_NONE, guid, nullptr, nullptr, nullptr);
        g_free(guid);
        if (server) {
            g_signal_connect(server, "new-connection", G_CALLBACK(&TestPeer::onConnection), this);
            g_dbus_server_start(server);
            address_ = g_dbus_server_get_client_address(server);
        }
        ready_ = true;
        if (server) g_main_loop_run(loop_);
        if (server) {
            g_dbus_server_stop(server);
            g_object_unref(server);
        }
        for (GDBusConnection* connection : connections_) {
            g_dbus_connection_close_sync(connection, nullptr, nullptr);
            g_object_unref(connection);
        }
        g_main_loop_unref(loop_);
        g_main_context_pop_thread_default(context_);
        g_main_context_unref(context_);
    }

    static gboolean onConnection(GDBusServer*, GDBusConnection* connection, gpointer self) {
        static_cast<TestPeer*>(self)->connections_.push_back(G_DBUS_CONNECTION(g_object_ref(connection)));
        g_dbus_connection_add_filter(connection, &TestPeer::onMessage, self, nullptr);
        return TRUE;
    }

    // Runs on GDBus's worker thread; consumes every method call.
    static GDBusMessage* onMessage(GDBusConnection* connection, GDBusMessage* message, gboolean incoming, gpointer self) {
        if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL) return message;
        const std::string member = g_dbus_message_get_member(message);
        auto* peer = static_cast<TestPeer*>(self);
        GDBusMessage* reply = nullptr;
        if (peer->leaving_) {
            // Said goodbye: nothing more is answered.
        } else if (member == "Echo") {
            reply = g_dbus_message_new_method_reply(message);
            GVariant* body = g_dbus_message_get_body(message);
            g_dbus_message_set_body(reply, body ? g_variant_ref(body) : g_variant_new("(s)", ""));
        } else if (member == "Number") {
            reply = g_dbus_message_new_method_reply(message);
            g_dbus_message_set_body(reply, g_variant_new("(i)", 7));
        } else if (member == "Fail") {
            reply = g_dbus_message_new_method_error(message, "org.example.Failed", "failed on purpose");
        } else if (member == "Bye") {
            // On the peer's own thread, once the answers so far are out.
            peer->leaving_ = true;
            g_main_context_invoke(peer->context_, [](gpointer c) -> gboolean {
                auto* closing = static_cast<GDBusConnection*>(c);
                g_dbus_connection_flush_sync(closing, nullptr, nullptr);
                g_dbus_connection_close_sync(closing, nullptr, nullptr);
                return G_SOURCE_REMOVE;
            }, connection);
        }
        if (reply) {
            g_dbus_connection_send_message(connection, reply, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
            g_object_unref(reply);
        }
        g_object_unref(message);
        return nullptr;
    }

    std::thread thread_;
    std::atomic<bool> ready_{false};
    std::atomic<bool> leaving_{false};
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    std::string address_;
    std::vector<GDBusConnection*> connections_;  // touched only on the peer's thread
};

DBusPrivateConnectionPtr connectTo(const TestPeer& peer) {
    DBusError error;
    dbus_error_init(&error);
    DBusPrivateConnectionPtr connection(dbus_connection_open_private(peer.address().c_str(), &error));
    dbus_error_free(&error);
    return connection;
}

DBusMessagePtr call(const char* member, const char* text = nullptr) {
    DBusMessagePtr message = newMethodCall("", "/test", "org.example.Test", member);
    if (message && text) dbus_message_append_args(message.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    return message;
}

std::string textOf(DBusMessage* reply) {
    const char* text = nullptr;
    if (!reply || !dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID)) return "<none>";
    return text;
}

TEST(DBusCallQueue, AnswersComeInSendingOrderAndHandlersMaySendMore) {
    TestPeer peer;
    ASSERT_FALSE(peer.address().empty());
    DBusPrivateConnectionPtr connection = connectTo(peer);
    ASSERT_TRUE(connection);

    DBusCallQueue queue(connection.get(), milliseconds(5000));
    std::vector<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string text = "call " + std::to_string(i);
        queue.send(call("Echo", text.c_str()), "s", [&, i](DBusMessage* reply) {
            seen.push_back(textOf(reply));
            if (i == 0) queue.send(call("Echo", "from a handler"), "s", [&](DBusMessage* r) { seen.push_back(textOf(r)); });
        });
    }
    queue.send(call("Number"), "s", [&](DBusMessage* reply) { seen.push_back(reply ? "number" : "wrong shape"); });
    queue.send(call("Fail"), "s", [&](DBusMessage* reply) { seen.push_back(reply ? "failure" : "error"); });
    queue.send(nullptr, "s", [&](DBusMessage* reply) { seen.push_back(reply ? "?" : "not sent"); });
    queue.collect();

    ASSERT_EQ(seen.size(), 204u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(seen[i], "call " + std::to_string(i));
    EXPECT_EQ(seen[200], "wrong shape");
    EXPECT_EQ(seen[201], "error");
    EXPECT_EQ(seen[202], "not sent");
    EXPECT_EQ(seen[203], "from a handler");
    EXPECT_FALSE(queue.timedOut());

    EXPECT_EQ(textOf(callAndWait(connection.get(), call("Echo", "alone").get(), "s", milliseconds(5000)).get()), "alone");
    EXPECT_FALSE(callAndWait(connection.get(), call("Number").get(), "s", milliseconds(5000)));
}

TEST(DBusCallQueue, APeerThatStopsAnsweringCostsOneTimeout) {
    TestPeer peer;
    DBusPrivateConnectionPtr connection = connectTo(peer);
    ASSERT_TRUE(connection);

    DBusCallQueue queue(connection.get(), milliseconds(300));
    int answered = 0;
    int empty = 0;
    auto count = [&](DBusMessage* reply) { reply ? ++answered : ++empty; };
    queue.send(call("Echo", "before"), "s", count);
    queue.send(call("Ignore"), "s", count);
    // Answered by the peer, but after the call that never is: once that one
    // timed out, nothing more is waited for.
    for (int i = 0; i < 50; ++i) queue.send(call("Echo", "after"), "s", count);
    queue.collect();
    EXPECT_TRUE(queue.timedOut());
    EXPECT_EQ(answered, 1);
    EXPECT_EQ(empty, 51);

    // Nothing more goes out on a queue that timed out.
    queue.send(call("Echo", "later"), "s", count);
    queue.collect();
    EXPECT_EQ(empty, 52);

    bool timedOut = false;
    EXPECT_FALSE(callAndWait(connection.get(), call("Ignore").get(), "s", milliseconds(200), &timedOut));
    EXPECT_TRUE(timedOut);

    // The answers that came after their calls were given up are let go.
    EXPECT_TRUE(callAndWait(connection.get(), call("Echo", "sync").get(), "s", milliseconds(5000)));
    discardUnclaimed(connection.get());
    DBusMessagePtr left(dbus_connection_pop_message(connection.get()));
    EXPECT_FALSE(left) << dbus_message_get_member(left.get());
    EXPECT_TRUE(dbus_connection_get_is_connected(connection.get()));
}

TEST(DBusCallQueue, APeerThatGoesAwayIsNotATimeout) {
    TestPeer peer;
    DBusPrivateConnectionPtr connection = connectTo(peer);
    ASSERT_TRUE(connection);

    // A long timeout: were the closed connection mistaken for a stuck peer,
    // the queue would say it timed out.
    DBusCallQueue queue(connection.get(), milliseconds(20000));
    std::vector<bool> replies;
    queue.send(call("Echo", "hello"), "s", [&](DBusMessage* reply) { replies.push_back(reply != nullptr); });
    queue.send(call("Bye"), "s", [&](DBusMessage* reply) { replies.push_back(reply != nullptr); });
    queue.send(call("Echo", "anyone?"), "s", [&](DBusMessage* reply) { replies.push_back(reply != nullptr); });
    queue.collect();
    EXPECT_EQ(replies, (std::vector<bool>{true, false, false}));
    EXPECT_FALSE(queue.timedOut());
    discardUnclaimed(connection.get());
    EXPECT_FALSE(dbus_connection_get_is_connected(connection.get()));
}

}  // namespace
}  // namespace kest::platform::linux_desktop
