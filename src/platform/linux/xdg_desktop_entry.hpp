// Desktop entries (the freedesktop.org .desktop files) as application bundles:
// finding them by id, name, window class or executable, their main
// executable, their command line, and the files that mark a Chromium build.
//
// Threading: any thread; nothing here is shared. Entries are plain values read
// with GLib's key-file parser.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kest::platform::linux_desktop {

struct DesktopEntry {
    std::string id;    // the desktop-file id, without ".desktop"
    std::string path;  // the file: the bundle location the logic passes back
    std::string name;  // Name, localised
    std::string exec;  // Exec, with its field codes
    std::optional<std::string> tryExec;
    std::optional<std::string> startupWMClass;
    std::optional<std::string> icon;
    bool noDisplay = false;
};

// XDG_DATA_HOME/applications, then each XDG_DATA_DIRS/applications.
std::vector<std::string> applicationDirectories();

// Reads one entry; nothing when it is unreadable, hidden, or not an application
// with a command line.
std::optional<DesktopEntry> loadDesktopEntry(const std::string& path);

// Every application entry, an id found earlier in the directory order
// shadowing the same id later.
std::vector<DesktopEntry> allDesktopEntries();

std::optional<DesktopEntry> entryById(const std::vector<DesktopEntry>& entries, std::string_view id);
// N.desktop (id N), else the first entry whose Name equals N ignoring case.
std::optional<DesktopEntry> entryByName(const std::vector<DesktopEntry>& entries, std::string_view name);
// The entry whose StartupWMClass, else whose executable's file name, else
// whose id equals the window's WM_CLASS class or instance, ignoring case.
std::optional<DesktopEntry> entryForWindowClass(const std::vector<DesktopEntry>& entries,
                                                const std::optional<std::string>& instance,
                                                const std::optional<std::string>& className);
// The entry whose main executable is this absolute path.
std::optional<DesktopEntry> entryForExecutable(const std::vector<DesktopEntry>& entries, const std::string& path);

// TryExec, else the program Exec runs (after an environment prefix), found on PATH and through symbolic
// links; nothing when it is not an executable file.
std::optional<std::string> mainExecutable(const DesktopEntry& entry);

// The argument vector of Exec with its field codes expanded: %f %u %F %U take
// the documents, %i the icon, %c the name, %k the file, %% a percent sign;
// deprecated codes are dropped. Nothing when Exec does not parse.
std::optional<std::vector<std::string>> commandLine(const DesktopEntry& entry,
                                                    const std::vector<std::string>& documents);

// The program and its arguments, without an `env` prefix that sets the
// environment first: its options (-i, -u NAME, --unset=NAME, -C DIR, -S
// "words", "--") and its NAME=value assignments, however many. Other argument
// vectors are answered as they are; empty when only the prefix is left.
std::vector<std::string> withoutEnvironmentPrefix(std::vector<std::string> argv);

// The Chromium markers of the build beside the entry's executable (or in
// /usr/lib/<executable name>/, where distributions put the build behind a
// wrapper script), under the names the logic recognises: libcef.so and a
// Chromium build's chrome_100_percent.pak as "Chromium Embedded
// Framework.framework", resources/electron.asar or resources/app.asar as
// "Electron Framework.framework", nw.pak or libnw.so as "nwjs
// Framework.framework". Nothing when the executable cannot be found.
std::optional<std::vector<std::string>> chromiumMarkers(const DesktopEntry& entry);

}  // namespace kest::platform::linux_desktop
