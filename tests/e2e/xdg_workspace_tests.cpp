// The X11 workspace's decisions that need no display: desktop entries found by
// name and window class with Unicode case rules, the program behind an
// environment prefix in Exec, and which processes quitting may signal.
#include <gtest/gtest.h>

#include <glib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "platform/linux/xdg_desktop_entry.hpp"
#include "platform/linux/xdg_workspace.hpp"

namespace kest::platform::linux_desktop {
namespace {

DesktopEntry entry(std::string id, std::string name, std::string exec) {
    DesktopEntry made;
    made.id = std::move(id);
    made.path = "/usr/share/applications/" + made.id + ".desktop";
    made.name = std::move(name);
    made.exec = std::move(exec);
    return made;
}

TEST(DesktopEntries, NamesAndClassesMatchWithUnicodeLowercasingButNoFolding) {
    const std::vector<DesktopEntry> entries = {entry("org.example.Editor", "Éditeur", "true"),
                                               entry("org.example.Street", "straße", "true")};
    EXPECT_EQ(entryByName(entries, "ÉDITEUR")->id, "org.example.Editor");
    EXPECT_EQ(entryByName(entries, "éditeur")->id, "org.example.Editor");
    EXPECT_EQ(entryByName(entries, "STRASSE"), std::nullopt);  // simple lowercasing, no full folding
    EXPECT_EQ(entryByName(entries, "STRAßE")->id, "org.example.Street");

    auto classed = entry("org.example.Viewer", "Viewer", "true");
    classed.startupWMClass = "ölbild";
    EXPECT_EQ(entryForWindowClass({classed}, std::nullopt, std::string("ÖLBILD"))->id, "org.example.Viewer");
    EXPECT_EQ(entryForWindowClass({classed}, std::string("olbild"), std::nullopt), std::nullopt);
}

TEST(DesktopEntries, AnEnvironmentPrefixIsNotTheProgram) {
    using Words = std::vector<std::string>;
    const std::pair<Words, Words> rows[] = {
        {{"env", "A=1", "prog", "--flag"}, {"prog", "--flag"}},
        {{"/usr/bin/env", "A=1", "B=two words", "prog"}, {"prog"}},
        {{"env", "-u", "DISPLAY", "A=1", "prog"}, {"prog"}},
        {{"env", "-i", "--unset=HOME", "-uLANG", "-C", "/tmp", "A=1", "--", "prog", "A=2"}, {"prog", "A=2"}},
        {{"env", "-", "A=1", "prog"}, {"prog"}},
        {{"env", "-S", "A=1 prog --one", "--two"}, {"prog", "--one", "--two"}},
        {{"env", "A=1"}, {}},
        {{"env", "-u"}, {}},
        {{"prog", "A=1"}, {"prog", "A=1"}},
        {{"envoy", "A=1"}, {"envoy", "A=1"}},
    };
    for (const auto& [argv, expected] : rows) EXPECT_EQ(withoutEnvironmentPrefix(argv), expected) << argv.front();

    // The main executable (what a debugging relaunch starts) and the program
    // a window class is matched against are the ones behind the prefix.
    std::unique_ptr<gchar, decltype(&g_free)> sh(g_find_program_in_path("sh"), &g_free);
    ASSERT_TRUE(sh);
    const auto shell = std::filesystem::canonical(sh.get()).string();
    EXPECT_EQ(mainExecutable(entry("a", "A", "env GDK_BACKEND=x11 -u NO_AT_BRIDGE sh -c true")), shell);
    EXPECT_EQ(mainExecutable(entry("b", "B", "env A=1")), std::nullopt);
    EXPECT_EQ(entryForWindowClass({entry("c", "C", "env A=1 sh")}, std::string("sh"), std::nullopt)->id, "c");
}

// A child that waits to be killed, optionally as another user.
class Child {
public:
    explicit Child(std::optional<uid_t> user = std::nullopt) {
        int ready[2];
        if (::pipe(ready) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            if (user && ::setuid(*user) != 0) ::_exit(1);
            (void)!::write(ready[1], "r", 1);  // its user is settled
            ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        char byte = 0;
        (void)!::read(ready[0], &byte, 1);
        ::close(ready[0]);
    }
    ~Child() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

TEST(Quitting, OnlyProcessesOfThisMachineAndThisUserAreSignalled) {
    const std::string host = thisHostName();
    ASSERT_FALSE(host.empty());
    Child mine;
    ASSERT_GT(mine.pid(), 0);
    EXPECT_TRUE(maySignal(mine.pid(), {}, host));  // known from the accessibility bus only
    EXPECT_TRUE(maySignal(mine.pid(), {host, host}, host));
    EXPECT_TRUE(maySignal(mine.pid(), {host + ".example.org"}, host));
    EXPECT_FALSE(maySignal(mine.pid(), {std::string("elsewhere")}, host));
    EXPECT_FALSE(maySignal(mine.pid(), {host, std::string("elsewhere")}, host));
    EXPECT_FALSE(maySignal(mine.pid(), {std::nullopt}, host));  // a window that does not say
    EXPECT_FALSE(maySignal(::getpid(), {host}, host));
    EXPECT_FALSE(maySignal(1, {host}, host));
    EXPECT_FALSE(maySignal(0, {host}, host));

    if (::getuid() == 0) {
        Child theirs(65534);
        EXPECT_FALSE(maySignal(theirs.pid(), {host}, host));
    }
}

}  // namespace
}  // namespace kest::platform::linux_desktop
