// End-to-end tests of the menu and dialog methods through a dispatcher over
// the Linux platform: the fixture's menu bar and modal dialog, mousepad's menus
// and save chooser, and zenity's question, information and save dialogs. What
// a press did is read back from the application (its labels and check states,
// the file it saved, zenity's exit status and output).
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "e2e_support.hpp"

namespace kest::e2e {
namespace {

namespace fs = std::filesystem;

constexpr const char* FIXTURE_APP_NAME = "kest-fixture";

Json error(std::int64_t code, const std::string& message) {
    return {{"error", {{"code", code}, {"message", message}}}};
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class MenusDialogsE2ETest : public DispatcherSession {
protected:
    Json ok(const std::string& method, const Json& params = Json::object()) {
        Json result = call(method, params);
        EXPECT_FALSE(result.contains("error")) << method << " " << params << ": " << result;
        return result;
    }

    // Whether the menu holding `item` is open: its items show only then.
    bool itemShowing(pid_t pid, const std::string& item) {
        auto node = element(pid, item, "AXMenuItem");
        if (!node) return false;
        auto states = reader_->states(node.get());
        return states && states->has(ATSPI_STATE_SHOWING);
    }
    bool settlesToMenuOpen(pid_t pid, const std::string& item, bool open) {
        return waitFor([&] { return itemShowing(pid, item) == open; }, std::chrono::seconds(5));
    }

    // By the name a user reads: GTK pads a menu item's accessible name with
    // spaces where its accelerator column goes ("New Window      ").
    AccessiblePtr element(pid_t pid, const std::string& name, std::string_view axRole = {}) {
        AccessiblePtr app = reader_->applicationForPid(pid);
        if (!app) return {};
        for (const auto& node : walk(*reader_, app)) {
            auto nodeName = reader_->name(node.get());
            if (!nodeName || trimmed(*nodeName) != name) continue;
            if (axRole.empty()) return node;
            if (auto role = reader_->axRole(node.get()); role && *role == axRole) return node;
        }
        return {};
    }

    // The fixture's "Last Action: ..." label, without its caption.
    std::string lastAction(pid_t pid) {
        AccessiblePtr app = reader_->applicationForPid(pid);
        if (!app) return "<no app>";
        for (const auto& node : walk(*reader_, app)) {
            auto name = reader_->name(node.get());
            if (name && name->starts_with("Last Action: ")) return name->substr(13);
        }
        return "<no label>";
    }
    bool settlesToAction(pid_t pid, const std::string& expected) {
        return waitFor([&] { return lastAction(pid) == expected; }, std::chrono::seconds(5));
    }

    bool checked(pid_t pid, const std::string& item) {
        auto node = element(pid, item);
        auto states = node ? reader_->states(node.get()) : decltype(reader_->states(nullptr))();
        return states && states->has(ATSPI_STATE_CHECKED);
    }


    // A zenity dialog whose output goes to `out`, once it is on the bus.
    ChildProcess zenity(const std::vector<std::string>& arguments, const fs::path& out = "/dev/null") {
        std::vector<std::string> argv{"zenity"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        auto child = ChildProcess::spawn(argv, out.string());
        EXPECT_TRUE(child);
        EXPECT_TRUE(waitForApplication(*reader_, child->pid()));
        return std::move(*child);
    }

    static std::optional<int> exitStatus(ChildProcess& child) {
        auto status = child.wait(std::chrono::seconds(5));
        if (!status || !WIFEXITED(*status)) return std::nullopt;
        return WEXITSTATUS(*status);
    }

    fs::path scratch() {
        fs::path dir = fs::temp_directory_path() /
                       ("kest-menus-" + std::to_string(getpid()) + "-" + std::to_string(++scratchCount_));
        fs::create_directories(dir);
        dirs_.push_back(dir);
        return dir;
    }
    void TearDown() override {
        for (const auto& dir : dirs_) fs::remove_all(dir);
    }

private:
    int scratchCount_ = 0;
    std::vector<fs::path> dirs_;
};

TEST_F(MenusDialogsE2ETest, FixtureMenusListedAndClicked) {
    auto fixture = start({fixtureApp()});
    const pid_t pid = fixture.pid();
    const Json app = {{"app", FIXTURE_APP_NAME}};
    auto with = [&](Json params) {
        params.update(app);
        return params;
    };

    EXPECT_EQ(ok("menu_list", app)["items"],
              Json::parse(R"([{"title": "File"}, {"title": "Edit"}, {"title": "View"}, {"title": "Help"}])"));

    // Separators out, the disabled item false, one level below the items.
    const Json file = ok("menu_list", with({{"menu", "file"}}));
    EXPECT_EQ(file["menu"], "file");
    std::vector<std::string> titles;
    for (const auto& item : file["items"]) titles.push_back(item["title"]);
    EXPECT_EQ(titles, (std::vector<std::string>{"New", "Open", "Save", "Recent", "Print", "Close"}));
    EXPECT_EQ(file["items"][4], Json({{"title", "Print"}, {"enabled", false}}));
    EXPECT_EQ(file["items"][3]["children"][2], Json({{"title", "Older"}, {"enabled", true}}))
        << "without all, the submenu's items have no children";
    EXPECT_TRUE(settlesToMenuOpen(pid, "New", false)) << "the listing closes its menu with Escape";

    // With all, down to the deepest submenu.
    const Json all = ok("menu_list", with({{"menu", "File"}, {"all", true}}));
    EXPECT_EQ(all["items"][3]["children"][2]["children"], Json::parse(R"([{"title": "Oldest Recent", "enabled": true}])"));
    EXPECT_TRUE(settlesToMenuOpen(pid, "New", false));

    EXPECT_EQ(call("menu_list", with({{"menu", "Nope"}})), error(-32001, "Menu not found: Nope"));

    // Paths: case, doubled marks, three levels, a check item both ways.
    ok("menu_click", with({{"path", "file >> open"}}));
    EXPECT_TRUE(settlesToAction(pid, "Open")) << lastAction(pid);
    ok("menu_click", with({{"path", "File > Recent > Older > Oldest Recent"}}));
    EXPECT_TRUE(settlesToAction(pid, "Oldest Recent")) << lastAction(pid);
    EXPECT_TRUE(settlesToMenuOpen(pid, "Oldest Recent", false)) << "an activated item closes its menus";
    EXPECT_TRUE(settlesToMenuOpen(pid, "New", false));

    EXPECT_FALSE(checked(pid, "Show Ruler"));
    ok("menu_click", with({{"path", "Edit > Show Ruler"}}));
    EXPECT_TRUE(settlesToAction(pid, "Show Ruler")) << lastAction(pid);
    EXPECT_TRUE(checked(pid, "Show Ruler"));
    ok("menu_click", with({{"path", "Edit > Show Ruler"}}));
    EXPECT_TRUE(settlesToAction(pid, "Show Ruler off")) << lastAction(pid);
    EXPECT_FALSE(checked(pid, "Show Ruler"));

    // A bare title is found inside its menu.
    ok("menu_click", with({{"path", "Oldest Recent"}}));
    EXPECT_TRUE(settlesToAction(pid, "Oldest Recent")) << lastAction(pid);
    ok("menu_click", with({{"path", "Save"}}));
    EXPECT_TRUE(settlesToAction(pid, "Save")) << lastAction(pid);

    // The disabled item does nothing; its menu stays open until Escape.
    ok("menu_click", with({{"path", "File > Print"}}));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(lastAction(pid), "Save");
    EXPECT_TRUE(itemShowing(pid, "New"));
    ok("key", with({{"combo", "escape"}}));
    EXPECT_TRUE(settlesToMenuOpen(pid, "New", false));

    // A failed second part leaves the first menu open; Escape closes it.
    EXPECT_EQ(call("menu_click", with({{"path", "File > Nope"}})),
              error(-32001, "Menu item not found: Nope (in path: File > Nope)"));
    EXPECT_TRUE(settlesToMenuOpen(pid, "New", true)) << "the File menu is open";
    ok("key", with({{"combo", "escape"}}));
    EXPECT_TRUE(settlesToMenuOpen(pid, "New", false));

    for (const char* path : {"", ">", " >> "}) {
        const Json answer = call("menu_click", with({{"path", path}}));
        if (std::string(path) == " >> ") {
            EXPECT_EQ(answer["error"]["code"], -32001) << "spaces between marks are an empty title";
        } else {
            EXPECT_EQ(answer, error(-32602, "Empty menu path")) << "'" << path << "'";
        }
    }
    EXPECT_TRUE(settlesToMenuOpen(pid, "New", false));
    EXPECT_EQ(call("menu_click", {{"path", "File > Open"}, {"app", "no-such-app"}}),
              error(-32600, "Could not access menu bar"));
    EXPECT_EQ(call("menu_list", {{"app", "no-such-app"}}), error(-32600, "Could not access menu bar"));
    EXPECT_EQ(ok("menubar"), Json({{"ok", true}, {"extras", Json::array()}}));
}

TEST_F(MenusDialogsE2ETest, MousepadSaveAsByPathSavesTheDocument) {
    auto mousepad = start({"mousepad"});
    const pid_t pid = mousepad.pid();
    const Json app = {{"app", "mousepad"}};
    auto with = [&](Json params) {
        params.update(app);
        return params;
    };
    EXPECT_EQ(ok("menu_list", app)["items"][0], Json({{"title", "File"}}));

    // Each spelling of the path opens the save chooser; Cancel closes it.
    for (const char* path : {"File > Save As...", "file > save as...", "Save As..."}) {
        ok("menu_click", with({{"path", path}}));
        const Json shown = dialogOf("mousepad");
        ASSERT_EQ(shown["found"], true) << path << ": " << shown;
        EXPECT_EQ(shown["dialog"]["type"], "modal") << path << ": " << shown;
        EXPECT_EQ(shown["dialog"]["title"], "Save As") << path;
        EXPECT_EQ(ok("dialog_cancel", app), Json({{"ok", true}, {"action", "cancel"}}));
        EXPECT_TRUE(waitFor([&] { return call("dialog", app)["found"] == false; })) << path;
    }
    EXPECT_EQ(call("menu_click", with({{"path", "File > Nope"}})),
              error(-32001, "Menu item not found: Nope (in path: File > Nope)"));
    EXPECT_TRUE(settlesToMenuOpen(pid, "New Window", true));
    ok("key", with({{"combo", "escape"}}));
    EXPECT_TRUE(settlesToMenuOpen(pid, "New Window", false));

    // The document's text, then Save As, the path written, and accept.
    AccessiblePtr app_ = reader_->applicationForPid(pid);
    AccessiblePtr view;
    for (const auto& node : walk(*reader_, app_)) {
        if (auto role = reader_->axRole(node.get()); role && *role == "AXTextArea") {
            view = node;
            break;
        }
    }
    ASSERT_TRUE(view);
    ASSERT_EQ(reader_->setText(view.get(), "saved through the menu\n"), 0);
    const fs::path target = scratch() / "saved.txt";
    ok("menu_click", with({{"path", "File > Save As..."}}));
    const Json saving = dialogOf("mousepad");
    ASSERT_EQ(saving["found"], true) << saving;
    ASSERT_EQ(saving["dialog"]["title"], "Save As");
    // The application's other reads see the chooser too: it is the window its
    // snapshot reads.
    const Json tree = ok("snapshot", with({{"compact", true}}));
    EXPECT_TRUE(std::ranges::any_of(tree["elements"], [](const Json& e) { return e["label"] == "File Chooser Widget"; }))
        << tree.dump().substr(0, 400);
    EXPECT_EQ(ok("dialog_file", with({{"path", target.string()}})), Json({{"ok", true}, {"path", target.string()}}));
    // Accepted at once: a chooser that drops the press while it is still
    // loading is pressed again.
    EXPECT_EQ(ok("dialog_accept", app), Json({{"ok", true}, {"action", "accept"}}));
    EXPECT_TRUE(waitFor([&] { return readFile(target).starts_with("saved through the menu\n"); })) << readFile(target);
}

TEST_F(MenusDialogsE2ETest, FixtureModalDialogDescribedAndAnswered) {
    auto fixture = start({fixtureApp()});
    const pid_t pid = fixture.pid();
    const Json app = {{"app", FIXTURE_APP_NAME}};
    EXPECT_EQ(ok("dialog", app), Json({{"ok", true}, {"found", false}}));
    EXPECT_EQ(call("dialog_accept", app), error(-32001, "No dialog found"));
    EXPECT_EQ(call("dialog_cancel", app), error(-32001, "No dialog found"));
    EXPECT_EQ(call("dialog_file", {{"app", FIXTURE_APP_NAME}, {"path", "/tmp/x"}}), error(-32001, "No file dialog found"));
    EXPECT_EQ(call("dialog_file", app), error(-32602, "Missing path parameter"));
    EXPECT_EQ(call("dialog", {{"app", "no-such-app"}}), error(-32004, "Could not find app: no-such-app"));

    for (const auto& [method, answer] : {std::pair{"dialog_accept", "Dialog OK"}, std::pair{"dialog_cancel", "Dialog Cancel"}}) {
        auto open = element(pid, "Open Dialog", "AXButton");
        ASSERT_TRUE(open);
        ASSERT_EQ(reader_->press(open.get()), 0);
        const Json shown = dialogOf(FIXTURE_APP_NAME);
        EXPECT_EQ(shown["dialog"], Json({{"type", "modal"},
                                         {"title", "Fixture Dialog"},
                                         {"buttons", {{{"title", "Cancel"}}, {{"title", "OK"}}}},
                                         {"message", "Proceed with the fixture action?"}}))
            << shown;
        ok(method, app);
        EXPECT_TRUE(settlesToAction(pid, answer)) << lastAction(pid);
    }
}

TEST_F(MenusDialogsE2ETest, ZenityQuestionAcceptedAndCancelled) {
    for (const auto& [method, status] : {std::pair{"dialog_accept", 0}, std::pair{"dialog_cancel", 1}}) {
        auto question = zenity({"--question", "--title", "Proceed", "--text", "Replace the file?"});
        const Json shown = dialogOf("zenity");
        EXPECT_EQ(shown["dialog"], Json({{"type", "alert"},
                                         {"title", "Proceed"},
                                         {"buttons", {{{"title", "No"}}, {{"title", "Yes"}}}},
                                         {"message", "Replace the file?"}}))
            << shown;
        // The frontmost application is the one asking.
        EXPECT_EQ(ok("dialog")["dialog"]["title"], "Proceed");
        EXPECT_EQ(ok(method, {{"app", "Zenity"}})["method"], nullptr);
        EXPECT_EQ(exitStatus(question), status) << method;
    }
    EXPECT_TRUE(waitFor([&] { return call("dialog", {{"app", "zenity"}}) == error(-32004, "Could not find app: zenity"); }));
}

TEST_F(MenusDialogsE2ETest, ZenityInformationCancelledWithEscape) {
    auto info = zenity({"--info", "--text", "Nothing to choose"});
    EXPECT_EQ(dialogOf("zenity")["dialog"]["buttons"], Json::parse(R"([{"title": "OK"}])"));
    EXPECT_EQ(ok("dialog_cancel", {{"app", "zenity"}}), Json({{"ok", true}, {"action", "cancel"}, {"method", "escape"}}));
    EXPECT_EQ(exitStatus(info), 1) << "Escape closes the dialog without its OK";
}

TEST_F(MenusDialogsE2ETest, ZenitySaveChooserTakesThePath) {
    const fs::path dir = scratch();
    const fs::path out = dir / "zenity.out";
    const fs::path target = dir / "chosen name.txt";
    auto chooser = zenity({"--file-selection", "--save"}, out);
    EXPECT_EQ(dialogOf("zenity")["dialog"]["type"], "modal") << "a top-level file chooser counts as modal";
    EXPECT_EQ(ok("dialog_file", {{"app", "zenity"}, {"path", target.string()}})["path"], target.string());
    EXPECT_EQ(ok("dialog_accept", {{"app", "zenity"}}), Json({{"ok", true}, {"action", "accept"}}));
    EXPECT_EQ(exitStatus(chooser), 0);
    EXPECT_EQ(readFile(out), target.string() + "\n");
}

}  // namespace
}  // namespace kest::e2e
