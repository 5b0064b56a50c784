// End-to-end tests of snapshots and the queries built on them, through a
// dispatcher over the Linux platform, against kest-fixture and
// gtk3-widget-factory on the virtual desktop.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <set>
#include <thread>
#include <tuple>

#include "e2e_support.hpp"
#include "platform/linux/atspi_prefetch.hpp"
#include "platform/linux/linux_platform.hpp"
#include "rpc/dispatcher.hpp"

namespace kest::e2e {
namespace {

namespace ld = platform::linux_desktop;
namespace p = platform;

// The Linux platform with tree reads left one call at a time: the reference the
// bulk-fetched snapshot must equal.
class OneByOneAccessibility final : public p::Accessibility {
public:
    explicit OneByOneAccessibility(p::Accessibility& inner) : inner_(inner) {}
    bool isProcessTrusted() override { return inner_.isProcessTrusted(); }
    p::Element applicationElement(std::int32_t pid) override { return inner_.applicationElement(pid); }
    p::AttributeResult attribute(const p::Element& e, std::string_view name) override { return inner_.attribute(e, name); }
    p::Status setAttribute(const p::Element& e, std::string_view name, const p::Value& v) override {
        return inner_.setAttribute(e, name, v);
    }
    p::Status performAction(const p::Element& e, std::string_view action) override { return inner_.performAction(e, action); }
    void setMessagingTimeout(const p::Element& e, std::chrono::duration<double> t) override { inner_.setMessagingTimeout(e, t); }

private:
    p::Accessibility& inner_;
};

class OneByOnePlatform final : public p::Platform {
public:
    explicit OneByOnePlatform(p::Platform& inner) : inner_(inner), accessibility_(inner.accessibility()) {}
    p::Accessibility& accessibility() override { return accessibility_; }
    p::Events& events() override { return inner_.events(); }
    p::WindowServer& windowServer() override { return inner_.windowServer(); }
    p::Workspace& workspace() override { return inner_.workspace(); }
    p::Screens& screens() override { return inner_.screens(); }
    p::Pasteboard& pasteboard() override { return inner_.pasteboard(); }
    p::Capture& capture() override { return inner_.capture(); }
    p::Overlay& overlay() override { return inner_.overlay(); }

private:
    p::Platform& inner_;
    OneByOneAccessibility accessibility_;
};

const Json* findLabel(const Json& flat, const std::string& label) {
    for (const Json& e : flat) {
        if (e["label"] == label) return &e;
    }
    return nullptr;
}

class SnapshotE2ETest : public DispatcherSession {
protected:
    // The element of a ref of the last snapshot, for acting on it directly.
    p::Element element(const std::string& ref) { return dispatcher_->lastRefMap.at(ref); }
};

// The bulk fetch gives exactly what reading every attribute one call at a time
// gives, menus' virtual levels and all.
TEST_F(SnapshotE2ETest, BulkFetchedSnapshotEqualsOneByOneReads) {
    // GTK 3 (the fixture, the widget factory), Qt 5 (FeatherPad: no cache
    // listing, no Collection, window-relative menu extents) and GTK 4 (a
    // partial cache listing, extents relative to the window).
    const std::vector<std::vector<std::string>> applications = {
        {fixtureApp()}, {"gtk3-widget-factory"}, {"featherpad"}, {"gtk4-widget-factory"}};
    for (const std::vector<std::string>& argv : applications) {
        auto app = start(argv);
        OneByOnePlatform plain(*platform_);
        Dispatcher reference(plain);
        const Json params = {{"pid", app.pid()}};
        // A freshly started application still changes (focus arrives, lists
        // fill): compare with one-by-one walks taken just before and after,
        // once those two agree.
        Json fast;
        Json slow;
        ASSERT_TRUE(waitFor([&] {
            slow = kest::e2e::call(reference, "snapshot", params);
            fast = call("snapshot", params);
            Json after = kest::e2e::call(reference, "snapshot", params);
            slow.erase("snapshot_id");
            after.erase("snapshot_id");
            return slow == after;
        })) << argv[0] << " never settled";
        ASSERT_FALSE(fast.contains("error")) << fast;
        Json fastFlat = Json::array();
        Json slowFlat = Json::array();
        flatten(fast["elements"], fastFlat);
        flatten(slow["elements"], slowFlat);
        EXPECT_GT(fastFlat.size(), 100u) << argv[0];
        EXPECT_EQ(fast["window"], slow["window"]) << argv[0];
        ASSERT_EQ(fastFlat.size(), slowFlat.size()) << argv[0];
        for (std::size_t i = 0; i < fastFlat.size(); ++i) EXPECT_EQ(fastFlat[i], slowFlat[i]) << argv[0] << " record " << i;
        EXPECT_EQ(fast["elements"], slow["elements"]) << argv[0];

        // And the copy was really used: the window's tree came in bulk.
        AccessiblePtr application = reader_->applicationForPid(app.pid());
        auto windows = reader_->children(application.get());
        ASSERT_TRUE(windows && !windows->empty());
        ld::AtspiPrefetcher prefetcher;
        auto fetched = prefetcher.fetch(windows->front());
        ASSERT_TRUE(fetched) << argv[0];
        EXPECT_FALSE(fetched->unresponsive());
        EXPECT_GT(fetched->size(), 100u) << argv[0];  // virtual menu levels are not AT-SPI nodes
        EXPECT_TRUE(fetched->children(windows->front().get()).has_value());
    }
}

// The bulk fetch asks only for what a walk within the snapshot's bounds reads;
// snapshots that go less deep, keep only interactive elements or start at a
// subtree (whose walk goes past the first 500) still equal one-by-one reads.
// GTK 4's widget factory has about twice as many nodes as a snapshot reads.
TEST_F(SnapshotE2ETest, BoundedSnapshotsEqualOneByOneReads) {
    auto factory = start({"gtk4-widget-factory"});
    OneByOnePlatform plain(*platform_);
    Dispatcher reference(plain);
    const Json byPid = {{"pid", factory.pid()}};
    Json full;
    ASSERT_TRUE(waitFor([&] {
        Json before = kest::e2e::call(reference, "snapshot", byPid);
        full = call("snapshot", byPid);
        before.erase("snapshot_id");
        full.erase("snapshot_id");
        return before == full;
    })) << "the widget factory never settled";
    Json flat = Json::array();
    flatten(full["elements"], flat);
    ASSERT_EQ(flat.size(), 500u);
    // The outermost container of the last element that comes late in the
    // walk: the walk stopped inside it, and its subtree's walk goes on past.
    std::vector<std::pair<std::size_t, std::string>> chain;  // (place in the walk, ref)
    std::vector<std::pair<std::size_t, std::string>> lastChain;
    std::size_t place = 0;
    std::function<void(const Json&)> visit = [&](const Json& records) {
        for (const Json& record : records) {
            chain.emplace_back(place++, record["ref"]);
            lastChain = chain;
            if (record.contains("children")) visit(record["children"]);
            chain.pop_back();
        }
    };
    visit(full["elements"]);
    std::string late;
    std::size_t latePlace = 0;
    for (auto it = lastChain.rbegin() + 1; it != lastChain.rend() && it->first >= flat.size() / 2; ++it) {
        std::tie(latePlace, late) = *it;
    }
    ASSERT_FALSE(late.empty());

    for (const Json& extra : {Json{{"depth", 4}}, Json{{"depth", 12}, {"interactive", true}}, Json{{"subtree", late}},
                              Json{{"interactive", true}}}) {
        Json params = byPid;
        params.update(extra);
        Json fast;
        Json slow;
        ASSERT_TRUE(waitFor([&] {
            slow = kest::e2e::call(reference, "snapshot", params);
            fast = call("snapshot", params);
            Json after = kest::e2e::call(reference, "snapshot", params);
            for (Json* answer : {&slow, &fast, &after}) answer->erase("snapshot_id");
            return slow == after;
        })) << extra;
        EXPECT_FALSE(fast.contains("error")) << extra << fast;
        EXPECT_EQ(fast, slow) << extra;
        if (extra.contains("subtree")) {
            Json subFlat = Json::array();
            flatten(fast["elements"], subFlat);
            EXPECT_GT(subFlat.size(), flat.size() - latePlace) << "the subtree's walk ends where the full one did";
        }
    }

    // The copy itself: a walk of 100 elements has that many fetched, of a
    // tree it would otherwise fetch far more of.
    AccessiblePtr application = reader_->applicationForPid(factory.pid());
    auto windows = reader_->children(application.get());
    ASSERT_TRUE(windows && !windows->empty());
    ld::AtspiPrefetcher prefetcher;
    auto fetchedElements = [&](const p::TreeWalkBounds& bounds) {
        auto copy = prefetcher.fetch(windows->front(), {.bounds = bounds});
        std::size_t fetched = 0;
        std::vector<AccessiblePtr> stack{windows->front()};
        while (copy && !stack.empty()) {
            AccessiblePtr node = std::move(stack.back());
            stack.pop_back();
            if (copy->extents(node.get())) ++fetched;
            if (auto kids = copy->children(node.get()); kids && *kids) {
                for (auto& kid : **kids) stack.push_back(kid);
            }
        }
        return fetched;
    };
    const std::size_t bounded = fetchedElements({.elements = 100});
    EXPECT_GT(bounded, 100u);
    EXPECT_LT(bounded, 150u);
    EXPECT_LE(fetchedElements({.elements = 100, .depth = 3}), bounded);
    EXPECT_GT(fetchedElements({}), 600u);
}

TEST_F(SnapshotE2ETest, QueriesOnTheFixture) {
    auto fixture = start({fixtureApp()});
    grab(fixture.pid());
    Json snapshot = call("snapshot", {{"interactive", true}, {"compact", true}});
    ASSERT_FALSE(snapshot.contains("error")) << snapshot;
    EXPECT_EQ(snapshot["window"]["title"], "Kest Fixture");
    EXPECT_EQ(snapshot["window"]["process_id"], fixture.pid());
    EXPECT_TRUE(snapshot["fallback"].is_null());
    for (const Json& e : snapshot["elements"]) EXPECT_FALSE(e.contains("children"));

    Json found = call("find", {{"text", "press me"}, {"role", "button"}, {"first", true}});
    ASSERT_EQ(found["count"], 1) << found;
    const std::string press = found["elements"][0]["ref"];
    EXPECT_EQ(call("read", {{"ref", press}})["role"], "AXButton");
    EXPECT_EQ(call("read", {{"ref", press}})["label"], "Press Me");
    EXPECT_EQ(call("is", {{"state", "visible"}, {"ref", press}})["value"], true);
    EXPECT_EQ(call("is", {{"state", "enabled"}, {"ref", press}})["value"], true);
    Json box = call("box", {{"ref", press}})["bounds"];
    EXPECT_GT(box[2].get<double>(), 0);
    EXPECT_EQ(box, found["elements"][0]["bounds"]);

    Json entry = call("find", {{"text", "Volume"}, {"role", "slider"}})["elements"][0];
    EXPECT_EQ(call("read", {{"ref", entry["ref"]}, {"attr", "AXValue"}})["value"], 30);
    Json check = call("find", {{"text", "Check Two"}})["elements"][0];
    EXPECT_EQ(call("is", {{"state", "checked"}, {"ref", check["ref"]}})["value"], true);
    EXPECT_EQ(check["value"], nullptr);  // a checked state is a number, not a value

    Json menus = call("find", {{"role", "menubar"}, {"first", true}})["elements"][0];
    Json children = call("children", {{"ref", menus["ref"]}});
    EXPECT_GT(children["count"].get<int>(), 0);

    // Changes: pressing Press Me rewrites the status label; Reset puts it back.
    call("snapshot");
    EXPECT_EQ(call("changed"), Json({{"ok", true}, {"changed", false}}));
    ASSERT_EQ(platform_->accessibility().performAction(element(press), p::AXAction::kPress), 0);
    EXPECT_EQ(call("wait", {{"text", "status: pressed 1"}, {"timeout", 5000}})["state"], "found");
    Json diff = call("diff");
    EXPECT_EQ(diff["changed"], true);
    EXPECT_TRUE(findLabel(diff["added"], "Status: pressed 1")) << diff;
    EXPECT_TRUE(findLabel(diff["removed"], "Status: idle")) << diff;
    EXPECT_EQ(call("changed")["added_count"], 1);
    Json reset = call("find", {{"text", "Reset"}, {"role", "button"}, {"first", true}})["elements"][0];
    ASSERT_EQ(platform_->accessibility().performAction(element(reset["ref"]), p::AXAction::kPress), 0);
    EXPECT_EQ(call("wait", {{"text", "Status: pressed"}, {"gone", true}, {"timeout", 5000}})["state"], "gone");

    // Waits for the application, its window and an element.
    Json app = call("wait", {{"app", call("snapshot")["window"]["app"]}, {"timeout", 5000}});
    EXPECT_EQ(app["pid"], fixture.pid()) << app;
    EXPECT_EQ(call("wait", {{"window", "kest fix"}, {"timeout", 5000}})["window"]["process_id"], fixture.pid());
    call("find", {{"text", "Press Me"}});
    EXPECT_EQ(call("wait", {{"ref", "@b1"}, {"enabled", true}, {"timeout", 5000}})["state"], "enabled");
    EXPECT_EQ(call("wait", {{"text", "no such text anywhere"}, {"timeout", 400}})["error"]["code"], -32003);
}

TEST_F(SnapshotE2ETest, WidgetFactoryQueries) {
    auto factory = start({"gtk3-widget-factory"});
    grab(factory.pid());
    Json snapshot = call("snapshot");
    ASSERT_FALSE(snapshot.contains("error")) << snapshot;
    Json flat = Json::array();
    flatten(snapshot["elements"], flat);
    EXPECT_GT(flat.size(), 150u);
    Json buttons = call("find", {{"role", "button"}});
    EXPECT_GT(buttons["count"].get<int>(), 3);
    const std::string ref = buttons["elements"][0]["ref"];
    EXPECT_EQ(call("read", {{"ref", ref}})["role"], "AXButton");
    EXPECT_EQ(call("box", {{"ref", ref}})["bounds"], buttons["elements"][0]["bounds"]);
    Json sub = call("snapshot", {{"subtree", snapshot["elements"][0]["ref"]}, {"compact", true}});
    ASSERT_FALSE(sub.contains("error")) << sub;
}

// GTK 4 is on the bus, its roles come through the role table, and its bounds
// are screen coordinates: the window reads as the window list shows it, and
// its elements move with it (GTK 4 itself reports them relative to the window).
TEST_F(SnapshotE2ETest, Gtk4WindowInScreenCoordinates) {
    auto factory = start({"gtk4-widget-factory"});
    grab(factory.pid());
    auto listed = [&] {
        const Json windows = call("windows")["windows"];
        for (const Json& w : windows) {
            if (w["process_id"] == factory.pid()) return w["bounds"];
        }
        return Json();
    };
    auto entryBounds = [&] {
        Json found = call("find", {{"text", "GtkEntry"}, {"role", "textfield"}, {"first", true}});
        return found["count"] == 1 ? found["elements"][0]["bounds"] : Json();
    };
    Json moved = call("move", {{"x", 40}, {"y", 30}});
    ASSERT_FALSE(moved.contains("error")) << moved;
    ASSERT_TRUE(waitFor([&] { return listed().is_array() && listed()[0] == 40.0 && listed()[1] == 30.0; }))
        << moved << listed();

    Json snapshot = call("snapshot");
    ASSERT_FALSE(snapshot.contains("error")) << snapshot;
    EXPECT_EQ(snapshot["window"]["title"], "GTK Widget Factory");
    EXPECT_EQ(snapshot["window"]["bounds"], listed());
    Json flat = Json::array();
    flatten(snapshot["elements"], flat);
    EXPECT_GT(flat.size(), 300u);
    std::set<std::string> roles;
    for (const Json& e : flat) roles.insert(e["role"].get<std::string>());
    for (const char* role : {"button", "textfield", "checkbox", "slider", "tab", "tabgroup", "scrollarea"}) {
        EXPECT_TRUE(roles.contains(role)) << role;
    }
    Json check = call("find", {{"text", "checkbutton"}, {"role", "checkbox"}, {"first", true}});
    ASSERT_EQ(check["count"], 1) << check;
    EXPECT_EQ(call("read", {{"ref", check["elements"][0]["ref"]}})["label"], "checkbutton");

    // The entry lies inside the window, below its header bar, and moves with it.
    const Json window = listed();
    const Json before = entryBounds();
    ASSERT_TRUE(before.is_array());
    EXPECT_GT(before[0].get<double>(), window[0].get<double>());
    EXPECT_GT(before[1].get<double>(), window[1].get<double>() + 20);
    EXPECT_LT(before[0].get<double>() + before[2].get<double>(), window[0].get<double>() + window[2].get<double>());
    EXPECT_EQ(call("box", {{"ref", call("find", {{"text", "GtkEntry"}, {"first", true}})["elements"][0]["ref"]}})["bounds"],
              before);
    ASSERT_FALSE(call("move", {{"x", 240}, {"y", 130}}).contains("error"));
    ASSERT_TRUE(waitFor([&] { return listed().is_array() && listed()[0] == 240.0 && listed()[1] == 130.0; }));
    const Json after = entryBounds();
    ASSERT_TRUE(after.is_array());
    EXPECT_EQ(after[0].get<double>() - before[0].get<double>(), 200.0);
    EXPECT_EQ(after[1].get<double>() - before[1].get<double>(), 100.0);
    EXPECT_EQ(after[2], before[2]);
}

TEST_F(SnapshotE2ETest, GrownListHoldsExactlyFiveHundred) {
    auto fixture = start({fixtureApp()});
    grab(fixture.pid());
    Json grow = call("find", {{"text", "Grow List"}, {"role", "button"}, {"first", true}})["elements"][0];
    auto rowsAtLeast = [&](int n) {
        Json rows = call("find", {{"text", "Rows: "}})["elements"];
        return !rows.empty() && std::stoi(rows[0]["label"].get<std::string>().substr(6)) >= n;
    };
    p::Element button = element(grow["ref"]);
    while (!rowsAtLeast(600)) {
        ASSERT_EQ(platform_->accessibility().performAction(button, p::AXAction::kPress), 0);
    }
    Json flat = call("snapshot", {{"compact", true}})["elements"];
    EXPECT_EQ(flat.size(), 500u);
    EXPECT_EQ(dispatcher_->lastRefMap.size(), 500u);
}

// A stopped application costs about one messaging timeout, not one per read.
TEST_F(SnapshotE2ETest, StoppedApplicationAnswersPromptly) {
    auto fixture = start({fixtureApp()});
    grab(fixture.pid());
    ASSERT_FALSE(call("snapshot").contains("error"));
    ASSERT_EQ(::kill(fixture.pid(), SIGSTOP), 0);
    const auto started = std::chrono::steady_clock::now();
    Json stopped = call("snapshot");
    const auto took = std::chrono::steady_clock::now() - started;
    ::kill(fixture.pid(), SIGCONT);
    // Generous: unbounded, this walk would wait 2 s for each of thousands of reads.
    EXPECT_LT(took, std::chrono::seconds(15)) << stopped;
    if (!stopped.contains("error")) {
        EXPECT_TRUE(stopped["elements"].is_array());
    } else {
        EXPECT_EQ(stopped["error"]["code"], -32005);
    }
    EXPECT_FALSE(call("snapshot").contains("error"));  // it answers again once it runs
}

// An application killed while its tree is being read, at several points of the
// read: the snapshot answers (what was read, or an error), and the requests
// after it, another application's snapshot among them, are served.
TEST_F(SnapshotE2ETest, ApplicationKilledMidSnapshotLeavesTheDispatcherServing) {
    auto factory = start({"gtk3-widget-factory"});
    for (int delayMs : {0, 2, 5, 10, 20, 40}) {
        auto fixture = start({fixtureApp()});
        grab(fixture.pid());
        const pid_t pid = fixture.pid();
        std::thread killer([pid, delayMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            ::kill(pid, SIGKILL);
        });
        const Json answer = call("snapshot");
        killer.join();
        if (answer.contains("error")) {
            EXPECT_TRUE(answer["error"]["code"].is_number_integer()) << answer;
            EXPECT_FALSE(answer["error"]["message"].get<std::string>().empty()) << answer;
        } else {
            EXPECT_TRUE(answer["elements"].is_array()) << answer.dump().substr(0, 300);
        }
        EXPECT_EQ(call("ping"), Json({{"pong", true}})) << "after a kill " << delayMs << " ms into the read";
    }
    grab(factory.pid());
    const Json after = call("snapshot");
    ASSERT_FALSE(after.contains("error")) << after;
    EXPECT_FALSE(after["elements"].empty());
}

}  // namespace
}  // namespace kest::e2e
