// End-to-end tests of acting on a Qt 5 application (FeatherPad) and a GTK 4
// one (gtk4-widget-factory) through a dispatcher over the Linux platform:
// clicks by ref, typing read back intact, fill, check and uncheck, menus by
// path and their listings in the shape GTK 3's have, the toolkits' dialogs
// and file choosers, and captures of their windows. Every effect is read back
// from the application (values, states, the file saved, the chooser gone).
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "e2e_support.hpp"
#include "image_decode.hpp"

namespace kest::e2e {
namespace {

namespace fs = std::filesystem;
namespace p = platform;

constexpr const char* FEATHERPAD_APP = "FeatherPad";
constexpr const char* GTK4_APP = "Widget Factory";
constexpr const char* TYPED = "Grüße, 世界 ✓ 🙂\nzweite\tZeile: {x} = \"y\";\n";
constexpr std::size_t TYPED_LENGTH = 39;
constexpr const char* ONE_LINE = "Grüße, 世界 ✓ 🙂";

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Where two images of one size differ: the count and the box of the pixels.
std::string difference(const test::RgbImage& a, const test::RgbImage& b) {
    if (a.width != b.width || a.height != b.height) {
        return std::to_string(a.width) + "x" + std::to_string(a.height) + " against " + std::to_string(b.width) + "x" +
               std::to_string(b.height);
    }
    int count = 0, minX = a.width, minY = a.height, maxX = -1, maxY = -1;
    for (int y = 0; y < a.height; ++y) {
        for (int x = 0; x < a.width; ++x) {
            const std::size_t i = (static_cast<std::size_t>(y) * a.width + x) * 3;
            if (std::equal(a.rgb.begin() + i, a.rgb.begin() + i + 3, b.rgb.begin() + i)) continue;
            ++count;
            minX = std::min(minX, x), minY = std::min(minY, y), maxX = std::max(maxX, x), maxY = std::max(maxY, y);
        }
    }
    return std::to_string(count) + " pixels in " + std::to_string(minX) + "," + std::to_string(minY) + "-" +
           std::to_string(maxX) + "," + std::to_string(maxY);
}

class ToolkitsE2ETest : public DispatcherSession {
protected:
    void SetUp() override {
        DispatcherSession::SetUp();
        if (IsSkipped()) return;
        dir_ = fs::temp_directory_path() / ("kest-e2e-toolkits-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (!dir_.empty()) fs::remove_all(dir_);
    }

    Json ok(const std::string& method, const Json& params = Json::object()) {
        Json result = call(method, params);
        EXPECT_FALSE(result.contains("error")) << method << " " << params << ": " << result;
        return result;
    }

    // A full snapshot of the grabbed window, its records flattened.
    void snapshot() {
        Json result = call("snapshot");
        ASSERT_FALSE(result.contains("error")) << result;
        flat_ = Json::array();
        flatten(result["elements"], flat_);
    }
    // The first record that matches, in document order.
    Json record(const std::function<bool(const Json&)>& matches, const std::string& what) {
        for (const Json& e : flat_) {
            if (matches(e)) return e;
        }
        ADD_FAILURE() << "no " << what << " in the snapshot";
        return {{"ref", "@missing"}, {"bounds", {0, 0, 0, 0}}};
    }
    std::string ref(const std::string& label, const std::string& role) {
        return record([&](const Json& e) { return e["label"] == label && e["role"] == role; }, label + " (" + role + ")")["ref"];
    }
    Json snapshotValue(const std::string& elementRef) {
        snapshot();
        return record([&](const Json& e) { return e["ref"] == elementRef; }, elementRef)["value"];
    }

    // Clicks a text element by ref and waits until it has the focus: the
    // toolkit moves it some time after the click (GTK 4 visibly later), and
    // keys sent at once could arrive before.
    void clickToFocus(const std::string& elementRef) {
        EXPECT_EQ(ok("click", {{"ref", elementRef}})["ref"], elementRef);
        EXPECT_TRUE(waitFor([&] { return call("read", {{"ref", elementRef}, {"attr", "AXFocused"}})["value"] == true; }))
            << elementRef << " never had the focus";
    }

    bool settlesChecked(const std::string& elementRef, bool wanted) {
        return waitFor([&] { return checked(elementRef) == wanted; }, std::chrono::seconds(5));
    }

    // The application's element of this name (and AT-SPI role), read directly.
    AccessiblePtr element(pid_t pid, const std::string& name, std::optional<AtspiRole> role = std::nullopt) {
        AccessiblePtr app = reader_->applicationForPid(pid);
        if (!app) return {};
        for (const auto& node : walk(*reader_, app)) {
            auto nodeName = reader_->name(node.get());
            if (!nodeName || *nodeName != name) continue;
            if (!role) return node;
            if (auto nodeRole = reader_->role(node.get()); nodeRole && *nodeRole == *role) return node;
        }
        return {};
    }
    bool hasState(pid_t pid, const std::string& name, AtspiRole role, AtspiStateType state) {
        auto node = element(pid, name, role);
        auto states = node ? reader_->states(node.get()) : decltype(reader_->states(nullptr))();
        return states && states->has(state);
    }

    bool dialogGone(const std::string& app) {
        return waitFor([&] { return call("dialog", {{"app", app}})["found"] == false; });
    }

    // What the menu logic walks below the application's menu-bar item of
    // this title, read through the engine's platform: the item's role, the
    // role of each child ("menu: AXMenu") and, for each child, the distinct
    // roles of its children ("items: AXMenuItem,AXUnknown").
    std::vector<std::string> menuShape(pid_t pid, const std::string& title) {
        auto& accessibility = platform_->accessibility();
        auto roleOf = [&](const p::Element& e) {
            auto role = accessibility.attribute(e, p::AXAttribute::kRole);
            return role && role->asString() ? *role->asString() : std::string("?");
        };
        auto childrenOf = [&](const p::Element& e) {
            auto kids = accessibility.attribute(e, p::AXAttribute::kChildren);
            return kids && kids->asElements() ? *kids->asElements() : std::vector<p::Element>();
        };
        auto bar = accessibility.attribute(accessibility.applicationElement(pid), p::AXAttribute::kMenuBar);
        if (!bar || !bar->asElement()) return {"no menu bar"};
        for (const auto& item : childrenOf(bar->asElement())) {
            auto itemTitle = accessibility.attribute(item, p::AXAttribute::kTitle);
            if (!itemTitle || !itemTitle->asString() || *itemTitle->asString() != title) continue;
            std::vector<std::string> shape{roleOf(item)};
            for (const auto& menu : childrenOf(item)) {
                shape.push_back("menu: " + roleOf(menu));
                std::set<std::string> roles;
                for (const auto& entry : childrenOf(menu)) roles.insert(roleOf(entry));
                std::string joined;
                for (const auto& role : roles) joined += (joined.empty() ? "" : ",") + role;
                shape.push_back("items: " + joined);
            }
            return shape;
        }
        return {"no item " + title};
    }

    // A capture of the window of `pid` by its ref is the screen's region it
    // covers, as a capture of the screen taken right after shows it (tried
    // again while something on screen moves in between: a caret, GTK 4's
    // pulsing progress bars).
    void windowCaptureIsItsScreenRegion(pid_t pid) {
        Json window;
        Json listed;
        ASSERT_TRUE(waitFor([&] {
            listed = call("windows");
            for (const Json& w : listed["windows"]) {
                if (w["process_id"] == pid) window = w;
            }
            return window.is_object();
        })) << listed;
        const Json bounds = window["bounds"];
        const int x = bounds[0].get<int>(), y = bounds[1].get<int>();
        const int width = bounds[2].get<int>(), height = bounds[3].get<int>();
        const std::string windowPath = (dir_ / "window.png").string();
        const std::string screenPath = (dir_ / "screen.png").string();
        bool same = false;
        Json shot;
        std::string mismatch;
        for (int attempt = 0; attempt < 10 && !same; ++attempt) {
            shot = call("screenshot", {{"ref", window["ref"]}, {"path", windowPath}});
            ok("screenshot", {{"screen", true}, {"path", screenPath}});
            auto screen = test::decodePng(screenPath);
            auto captured = test::decodePng(windowPath);
            ASSERT_TRUE(screen && captured) << shot;
            const auto region = test::crop(*screen, x, y, width, height);
            same = captured->width == width && captured->height == height && captured->rgb == region.rgb;
            if (!same) mismatch = difference(*captured, region);
        }
        EXPECT_EQ(shot, Json({{"ok", true}, {"path", windowPath}, {"width", width}, {"height", height}}));
        EXPECT_TRUE(same) << "the window's capture is not the screen's region " << bounds << ": " << mismatch;
    }

    fs::path dir_;
    Json flat_ = Json::array();
};

// ---------------------------------------------------------------- FeatherPad

class FeatherPadE2ETest : public ToolkitsE2ETest {
protected:
    void SetUp() override {
        ToolkitsE2ETest::SetUp();
        if (IsSkipped()) return;
        if (!fs::exists("/usr/bin/featherpad")) GTEST_SKIP() << "featherpad is not installed (scripts/install-deps.sh)";
        editor_.emplace(start({"featherpad"}));
        grab(editor_->pid());
        snapshot();
    }
    std::string area() {
        return record([](const Json& e) { return e["role"] == "textarea"; }, "text area")["ref"];
    }
    pid_t pid() const { return editor_->pid(); }

    std::optional<ChildProcess> editor_;
};

TEST_F(FeatherPadE2ETest, TypingFillingAndCheckBoxes) {
    const std::string text = area();
    clickToFocus(text);
    EXPECT_EQ(ok("type", {{"text", TYPED}})["length"], TYPED_LENGTH);
    EXPECT_EQ(settlesTo(text, TYPED), TYPED);
    EXPECT_EQ(snapshotValue(text), TYPED) << "the snapshot reads what read does";

    // fill replaces the text through the Text interface.
    const std::string filled = "gefüllt ✓ 🙂\nzwei";
    EXPECT_EQ(ok("fill", {{"ref", text}, {"text", filled}})["method"], "ax_set_value");
    EXPECT_EQ(settlesTo(text, filled), filled);
    const std::string search =
        record([](const Json& e) { return e["role"] == "textfield"; }, "search field")["ref"];
    EXPECT_EQ(ok("fill", {{"ref", search}, {"text", "Suche ✓"}})["method"], "ax_set_value");
    EXPECT_EQ(settlesTo(search, "Suche ✓"), "Suche ✓");

    // Qt's check boxes toggle; click by ref presses them too.
    const std::string matchCase = ref("Match Case (F5)", "checkbox");
    EXPECT_FALSE(checked(matchCase));
    EXPECT_EQ(ok("check", {{"ref", matchCase}}), Json({{"ok", true}, {"ref", matchCase}, {"checked", true}}));
    EXPECT_TRUE(settlesChecked(matchCase, true));
    ok("check", {{"ref", matchCase}});
    EXPECT_TRUE(checked(matchCase)) << "checking a checked box changes nothing";
    ok("uncheck", {{"ref", matchCase}});
    EXPECT_TRUE(settlesChecked(matchCase, false));
    const std::string wholeWord = ref("Whole Word (F6)", "checkbox");
    ok("click", {{"ref", wholeWord}});
    EXPECT_TRUE(settlesChecked(wholeWord, true));
}

TEST_F(FeatherPadE2ETest, MenusByPathAndListings) {
    // Qt's menu-bar items hold their pop-up menu: one AXMenu of items below
    // an AXMenuBarItem, as GTK 3's virtual menu gives.
    EXPECT_EQ(menuShape(pid(), "Options"),
              (std::vector<std::string>{"AXMenuBarItem", "menu: AXMenu", "items: AXMenuItem,AXUnknown"}));
    EXPECT_EQ(ok("menu_list", {{"app", FEATHERPAD_APP}})["items"],
              Json::parse(R"([{"title": "File"}, {"title": "Edit"}, {"title": "Options"}, {"title": "Search"}, {"title": "Help"}])"));

    auto optionsOpen = [&] { return hasState(pid(), "Line Numbers", ATSPI_ROLE_MENU_ITEM, ATSPI_STATE_SHOWING); };
    const Json all = ok("menu_list", {{"app", FEATHERPAD_APP}, {"menu", "options"}, {"all", true}});
    const auto encoding = std::ranges::find(all["items"], Json("Encoding"), [](const Json& item) { return item["title"]; });
    ASSERT_NE(encoding, all["items"].end()) << all;
    EXPECT_EQ((*encoding)["children"][0],
              Json::parse(R"({"title": "Unicode", "enabled": true, "children": [
                  {"title": "UTF-8", "enabled": true}, {"title": "UTF-16", "enabled": true}]})"));
    EXPECT_TRUE(waitFor([&] { return !optionsOpen(); })) << "the listing closes its menu";
    const Json file = ok("menu_list", {{"app", FEATHERPAD_APP}, {"menu", "File"}});
    const auto run = std::ranges::find(file["items"], Json("Run"), [](const Json& item) { return item["title"]; });
    ASSERT_NE(run, file["items"].end()) << file;
    EXPECT_EQ((*run)["enabled"], false);

    // A check item toggles and its menus close (Qt's own press leaves them open).
    const bool wrapped = hasState(pid(), "Wrap Lines", ATSPI_ROLE_MENU_ITEM, ATSPI_STATE_CHECKED);
    EXPECT_EQ(ok("menu_click", {{"app", FEATHERPAD_APP}, {"path", "Options > Wrap Lines"}}),
              Json({{"ok", true}, {"path", "Options > Wrap Lines"}}));
    EXPECT_TRUE(waitFor([&] { return hasState(pid(), "Wrap Lines", ATSPI_ROLE_MENU_ITEM, ATSPI_STATE_CHECKED) != wrapped; }));
    EXPECT_TRUE(waitFor([&] { return !optionsOpen(); })) << "an activated item closes its menus";
    ok("menu_click", {{"app", FEATHERPAD_APP}, {"path", "options >> wrap lines"}});
    EXPECT_TRUE(waitFor([&] { return hasState(pid(), "Wrap Lines", ATSPI_ROLE_MENU_ITEM, ATSPI_STATE_CHECKED) == wrapped; }))
        << "pressed again after its menu closed: toggled back";

    // Three levels down; the status bar shows the encoding chosen.
    auto encodingShown = [&](const std::string& name) {
        AccessiblePtr app = reader_->applicationForPid(pid());
        for (const auto& node : walk(*reader_, app)) {
            auto label = reader_->name(node.get());
            if (label && label->starts_with("Encoding: ")) return label->starts_with("Encoding: " + name + " ");
        }
        return false;
    };
    ok("menu_click", {{"app", FEATHERPAD_APP}, {"path", "Options > Encoding > Unicode > UTF-16"}});
    EXPECT_TRUE(waitFor([&] { return encodingShown("UTF-16"); }));
    EXPECT_TRUE(waitFor([&] { return !optionsOpen(); }));
    ok("menu_click", {{"app", FEATHERPAD_APP}, {"path", "Options > Encoding > Unicode > UTF-8"}});
    EXPECT_TRUE(waitFor([&] { return encodingShown("UTF-8"); }));

    // A later part that is not there leaves the first menu open.
    EXPECT_EQ(call("menu_click", {{"app", FEATHERPAD_APP}, {"path", "Options > Nope"}}),
              Json({{"error", {{"code", -32001}, {"message", "Menu item not found: Nope (in path: Options > Nope)"}}}}));
    EXPECT_TRUE(waitFor(optionsOpen)) << "the Options menu is open";
    ok("key", {{"combo", "escape"}});
    EXPECT_TRUE(waitFor([&] { return !optionsOpen(); }));
}

TEST_F(FeatherPadE2ETest, SaveAsChooserTakesThePath) {
    const std::string text = "saved from Qt ✓ 🙂\nline two\n";
    ok("fill", {{"ref", area()}, {"text", text}});
    ASSERT_EQ(settlesTo(area(), text), text);

    // Qt's file dialog has no modal state of its own; its window is modal.
    ok("menu_click", {{"app", FEATHERPAD_APP}, {"path", "File > Save As"}});
    Json shown = dialogOf(FEATHERPAD_APP);
    ASSERT_EQ(shown["found"], true) << shown;
    EXPECT_EQ(shown["dialog"]["type"], "modal");
    EXPECT_EQ(shown["dialog"]["title"], "Save as...");
    for (const char* button : {"Save", "Cancel"}) {
        EXPECT_TRUE(std::ranges::any_of(shown["dialog"]["buttons"], [&](const Json& b) { return b["title"] == button; }))
            << button << ": " << shown;
    }
    EXPECT_EQ(ok("dialog_cancel", {{"app", FEATHERPAD_APP}}), Json({{"ok", true}, {"action", "cancel"}}));
    EXPECT_TRUE(dialogGone(FEATHERPAD_APP));

    const fs::path target = dir_ / "saved by qt.txt";
    ok("menu_click", {{"app", FEATHERPAD_APP}, {"path", "File > Save As"}});
    ASSERT_EQ(dialogOf(FEATHERPAD_APP)["found"], true);
    EXPECT_EQ(ok("dialog_file", {{"app", FEATHERPAD_APP}, {"path", target.string()}}),
              Json({{"ok", true}, {"path", target.string()}}));
    EXPECT_EQ(ok("dialog_accept", {{"app", FEATHERPAD_APP}}), Json({{"ok", true}, {"action", "accept"}}));
    EXPECT_TRUE(waitFor([&] { return readFile(target) == text; })) << readFile(target);
    EXPECT_TRUE(dialogGone(FEATHERPAD_APP));
}

TEST_F(FeatherPadE2ETest, WindowCaptureByRef) { windowCaptureIsItsScreenRegion(pid()); }

// ------------------------------------------------------- gtk4-widget-factory

class Gtk4E2ETest : public ToolkitsE2ETest {
protected:
    void SetUp() override {
        ToolkitsE2ETest::SetUp();
        if (IsSkipped()) return;
        if (!fs::exists("/usr/bin/gtk4-widget-factory")) {
            GTEST_SKIP() << "gtk4-widget-factory is not installed (scripts/install-deps.sh)";
        }
        factory_.emplace(start({"gtk4-widget-factory"}));
        grab(factory_->pid());
        snapshot();
    }
    pid_t pid() const { return factory_->pid(); }

    // Shows the second page of the window's stack (its switcher sits in the
    // header bar, past the snapshot's first 500 elements: pressed directly)
    // and waits until its menu bar is laid out (GTK 4 lays a page out when it
    // first shows, in some 0.3 s here).
    void showMenuPage() {
        auto tab = element(pid(), "Page _2", ATSPI_ROLE_PAGE_TAB);
        ASSERT_TRUE(tab);
        ASSERT_EQ(reader_->press(tab.get()), 0);
        auto view = element(pid(), "View", ATSPI_ROLE_MENU_ITEM);
        ASSERT_TRUE(view);
        ASSERT_TRUE(waitFor([&] {
            auto extents = reader_->extents(view.get());
            return extents && extents->width > 0;
        }));
    }
    // The menu-bar item's pop-over is open.
    bool menuOpen(const std::string& item) {
        return hasState(pid(), item, ATSPI_ROLE_MENU_ITEM, ATSPI_STATE_EXPANDED);
    }

    std::optional<ChildProcess> factory_;
};

TEST_F(Gtk4E2ETest, TypingFillingAndCheckButtons) {
    // An entry: GTK 4 answers an empty text for "to the end", read back all
    // the same.
    const std::string entry = record([](const Json& e) {
        return e["role"] == "textfield" && e["label"] == "GtkEntry" && e["enabled"] == true && e["value"] == "";
    }, "empty entry")["ref"];
    clickToFocus(entry);
    ok("key", {{"combo", "cmd+a"}});
    EXPECT_EQ(ok("type", {{"text", ONE_LINE}})["length"], 13);
    EXPECT_EQ(settlesTo(entry, ONE_LINE), ONE_LINE);
    EXPECT_EQ(snapshotValue(entry), ONE_LINE);
    EXPECT_EQ(ok("fill", {{"ref", entry}, {"text", "gefüllt ✓"}})["method"], "ax_set_value");
    EXPECT_EQ(settlesTo(entry, "gefüllt ✓"), "gefüllt ✓");

    // A text view takes line breaks and tabs.
    const std::string view = record([](const Json& e) {
        return e["role"] == "textarea" && e["enabled"] == true && e["bounds"][2].get<double>() > 0;
    }, "text view")["ref"];
    clickToFocus(view);
    ok("key", {{"combo", "cmd+a"}});
    EXPECT_EQ(ok("type", {{"text", TYPED}})["length"], TYPED_LENGTH);
    EXPECT_EQ(settlesTo(view, TYPED), TYPED);
    EXPECT_EQ(snapshotValue(view), TYPED);
    ok("fill", {{"ref", view}, {"text", "eins\nzwei 🙂"}});
    EXPECT_EQ(settlesTo(view, "eins\nzwei 🙂"), "eins\nzwei 🙂");

    // GTK 4's check buttons have no action: clicked at their centre. Its
    // switches toggle through theirs.
    auto enabledBox = [&](const std::string& label, bool isChecked) {
        for (const Json& e : flat_) {
            if (e["role"] == "checkbox" && e["label"] == label && e["enabled"] == true && checked(e["ref"]) == isChecked) {
                return e["ref"].get<std::string>();
            }
        }
        ADD_FAILURE() << "no enabled " << label << (isChecked ? " checked" : " unchecked");
        return std::string("@missing");
    };
    snapshot();
    const std::string on = enabledBox("checkbutton", true);
    const std::string off = enabledBox("checkbutton", false);
    const std::string toggle = enabledBox("GtkSwitch", false);
    EXPECT_EQ(ok("check", {{"ref", off}}), Json({{"ok", true}, {"ref", off}, {"checked", true}}));
    EXPECT_EQ(ok("uncheck", {{"ref", on}}), Json({{"ok", true}, {"ref", on}, {"checked", false}}));
    ok("check", {{"ref", toggle}});
    EXPECT_TRUE(settlesChecked(off, true));
    EXPECT_TRUE(settlesChecked(on, false));
    EXPECT_TRUE(settlesChecked(toggle, true));
    ok("uncheck", {{"ref", toggle}});
    EXPECT_TRUE(settlesChecked(toggle, false));
    // click by ref: a check button (no action: a real click) and a toggle
    // button (its click action).
    ok("click", {{"ref", off}});
    EXPECT_TRUE(settlesChecked(off, false));
    const Json toggleButton = record([](const Json& e) {
        return e["role"] == "button" && e["label"] == "togglebutton" && e["enabled"] == true;
    }, "toggle button");
    // The first toggle button is the first enabled one.
    auto pressed = [&] { return hasState(pid(), "togglebutton", ATSPI_ROLE_PUSH_BUTTON, ATSPI_STATE_PRESSED); };
    const bool before = pressed();
    EXPECT_EQ(ok("click", {{"ref", toggleButton["ref"]}})["bounds"], toggleButton["bounds"]);
    EXPECT_TRUE(waitFor([&] { return pressed() != before; }));
}

TEST_F(Gtk4E2ETest, PopoverMenusByPathAndListings) {
    showMenuPage();
    EXPECT_EQ(ok("menu_list", {{"app", GTK4_APP}})["items"],
              Json::parse(R"([{"title": "File"}, {"title": "Edit"}, {"title": "View"}, {"title": "Help"}])"));
    // The bar item has no menu until it is opened.
    EXPECT_EQ(menuShape(pid(), "View"), (std::vector<std::string>{"AXMenuBarItem"}));

    EXPECT_EQ(ok("menu_list", {{"app", GTK4_APP}, {"menu", "View"}})["items"],
              Json::parse(R"([{"title": "Dark Theme", "enabled": true}, {"title": "Toolbar", "enabled": true},
                              {"title": "Statusbar", "enabled": true}, {"title": "Select Background", "enabled": true}])"));
    EXPECT_TRUE(waitFor([&] { return !menuOpen("View"); })) << "the listing closes its pop-over";
    const Json edit = ok("menu_list", {{"app", GTK4_APP}, {"menu", "Edit"}});
    EXPECT_EQ(edit["items"].size(), 7u) << edit;
    EXPECT_TRUE(waitFor([&] { return !menuOpen("Edit"); }));

    // While open, the pop-over's items come up to one AXMenu, however deep
    // GTK 4 keeps them.
    ASSERT_FALSE(call("menu_click", {{"app", GTK4_APP}, {"path", "View > Nope"}}).contains("ok"));
    EXPECT_TRUE(waitFor([&] { return menuOpen("View"); }));
    EXPECT_EQ(menuShape(pid(), "View"), (std::vector<std::string>{"AXMenuBarItem", "menu: AXMenu", "items: AXMenuItem"}));
    ok("key", {{"combo", "escape"}});
    EXPECT_TRUE(waitFor([&] { return !menuOpen("View"); }));

    // The toolbar's "New" goes and comes back; the pop-over closes each time.
    auto toolbarShown = [&] { return static_cast<bool>(element(pid(), "New", ATSPI_ROLE_PUSH_BUTTON)); };
    ASSERT_TRUE(toolbarShown());
    EXPECT_EQ(ok("menu_click", {{"app", GTK4_APP}, {"path", "View > Toolbar"}}),
              Json({{"ok", true}, {"path", "View > Toolbar"}}));
    EXPECT_TRUE(waitFor([&] { return !toolbarShown(); }));
    EXPECT_TRUE(waitFor([&] { return !menuOpen("View"); }));
    ok("menu_click", {{"app", GTK4_APP}, {"path", "view > toolbar"}});
    EXPECT_TRUE(waitFor(toolbarShown));
    EXPECT_TRUE(waitFor([&] { return !menuOpen("View"); }));
}

TEST_F(Gtk4E2ETest, DialogAndOpenChooser) {
    showMenuPage();
    // A modal GtkDialog: its buttons read as shown ("_Select Select" from
    // GTK 4 reads "Select"), cancelled by its Cancel button.
    ok("menu_click", {{"app", GTK4_APP}, {"path", "View > Select Background"}});
    Json shown = dialogOf(GTK4_APP);
    ASSERT_EQ(shown["found"], true) << shown;
    EXPECT_EQ(shown["dialog"]["type"], "modal");
    EXPECT_EQ(shown["dialog"]["title"], "Choose one");
    EXPECT_EQ(shown["dialog"]["buttons"], Json::parse(R"([{"title": "Cancel"}, {"title": "Select"}])"));
    EXPECT_EQ(ok("dialog_cancel", {{"app", GTK4_APP}}), Json({{"ok", true}, {"action", "cancel"}}));
    EXPECT_TRUE(dialogGone(GTK4_APP));

    // GTK 4's open chooser is a top level of the generic role with no modal
    // state and no name field until its location is asked for.
    const fs::path opened = dir_ / "geöffnet ✓.txt";
    { std::ofstream(opened) << "opened\n"; }
    ok("menu_click", {{"app", GTK4_APP}, {"path", "File > Open"}});
    shown = dialogOf(GTK4_APP);
    ASSERT_EQ(shown["found"], true) << shown;
    EXPECT_EQ(shown["dialog"]["type"], "modal");
    EXPECT_EQ(shown["dialog"]["title"], "Open file");
    EXPECT_EQ(shown["dialog"]["buttons"], Json::parse(R"([{"title": "Cancel"}, {"title": "Open"}])"));
    EXPECT_EQ(ok("dialog_file", {{"app", GTK4_APP}, {"path", opened.string()}}),
              Json({{"ok", true}, {"path", opened.string()}}));
    auto location = element(pid(), "GtkFileChooserEntry");
    ASSERT_TRUE(location) << "no location field";
    EXPECT_EQ(reader_->text(location.get()).value_or("?"), opened.string());
    EXPECT_EQ(ok("dialog_accept", {{"app", GTK4_APP}}), Json({{"ok", true}, {"action", "accept"}}));
    EXPECT_TRUE(dialogGone(GTK4_APP)) << "the chooser took the file and closed";
}

// On the second page: the first one's progress bars pulse all the time.
TEST_F(Gtk4E2ETest, WindowCaptureByRef) {
    showMenuPage();
    windowCaptureIsItsScreenRegion(pid());
}

}  // namespace
}  // namespace kest::e2e
