// Desktop entries read with GLib's key-file parser.
#include "platform/linux/xdg_desktop_entry.hpp"

#include <glib.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <system_error>

#include <unistd.h>

#include "common/text.hpp"

namespace kest::platform::linux_desktop {
namespace {

namespace fs = std::filesystem;

struct KeyFileFree {
    void operator()(GKeyFile* file) const { g_key_file_free(file); }
};
struct StrvFree {
    void operator()(gchar** strings) const { g_strfreev(strings); }
};
struct CharFree {
    void operator()(gchar* text) const { g_free(text); }
};
struct ErrorFree {
    void operator()(GError* error) const {
        if (error) g_error_free(error);
    }
};
using KeyFilePtr = std::unique_ptr<GKeyFile, KeyFileFree>;
using StrvPtr = std::unique_ptr<gchar*, StrvFree>;
using CharPtr = std::unique_ptr<gchar, CharFree>;
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;

constexpr const char* GROUP = "Desktop Entry";

std::optional<std::string> keyString(GKeyFile* file, const char* key, bool localised = false) {
    CharPtr value(localised ? g_key_file_get_locale_string(file, GROUP, key, nullptr, nullptr)
                            : g_key_file_get_string(file, GROUP, key, nullptr));
    if (!value) return std::nullopt;
    return std::string(value.get());
}

bool keyBool(GKeyFile* file, const char* key) { return g_key_file_get_boolean(file, GROUP, key, nullptr); }

// The id of the file at `path`: its path below an application directory with
// "/" turned into "-", else its file name; without ".desktop".
std::string idFor(const std::string& path) {
    fs::path file(path);
    std::string id = file.filename().string();
    for (const auto& directory : applicationDirectories()) {
        std::error_code error;
        auto relative = fs::relative(file, directory, error);
        if (error || relative.empty() || relative.begin()->string() == "..") continue;
        id = relative.string();
        std::ranges::replace(id, '/', '-');
        break;
    }
    if (id.ends_with(".desktop")) id.resize(id.size() - 8);
    return id;
}

std::optional<std::string> resolveProgram(const std::string& program) {
    if (program.empty()) return std::nullopt;
    std::string found;
    if (program.find('/') != std::string::npos) {
        found = program;
    } else {
        CharPtr onPath(g_find_program_in_path(program.c_str()));
        if (!onPath) return std::nullopt;
        found = onPath.get();
    }
    std::error_code error;
    auto resolved = fs::canonical(found, error);
    if (error || !fs::is_regular_file(resolved, error) || ::access(resolved.c_str(), X_OK) != 0) return std::nullopt;
    return resolved.string();
}

}  // namespace

std::vector<std::string> applicationDirectories() {
    std::vector<std::string> directories;
    directories.push_back((fs::path(g_get_user_data_dir()) / "applications").string());
    for (const gchar* const* dir = g_get_system_data_dirs(); dir && *dir; ++dir) {
        directories.push_back((fs::path(*dir) / "applications").string());
    }
    return directories;
}

std::optional<DesktopEntry> loadDesktopEntry(const std::string& path) {
    KeyFilePtr file(g_key_file_new());
    GError* raw = nullptr;
    if (!g_key_file_load_from_file(file.get(), path.c_str(), G_KEY_FILE_NONE, &raw)) {
        ErrorPtr error(raw);
        return std::nullopt;
    }
    if (keyString(file.get(), "Type") != "Application" || keyBool(file.get(), "Hidden")) return std::nullopt;
    auto exec = keyString(file.get(), "Exec");
    auto name = keyString(file.get(), "Name", true);
    if (!exec || !name) return std::nullopt;
    DesktopEntry entry;
    entry.id = idFor(path);
    entry.path = path;
    entry.name = *name;
    entry.exec = *exec;
    entry.tryExec = keyString(file.get(), "TryExec");
    entry.startupWMClass = keyString(file.get(), "StartupWMClass");
    entry.icon = keyString(file.get(), "Icon");
    entry.noDisplay = keyBool(file.get(), "NoDisplay");
    return entry;
}

std::vector<DesktopEntry> allDesktopEntries() {
    std::vector<DesktopEntry> entries;
    std::set<std::string> seen;
    for (const auto& directory : applicationDirectories()) {
        std::error_code error;
        std::vector<std::string> paths;
        for (fs::recursive_directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
            if (it->path().extension() == ".desktop") paths.push_back(it->path().string());
        }
        std::ranges::sort(paths);
        for (const auto& path : paths) {
            auto id = idFor(path);
            if (!seen.insert(id).second) continue;
            if (auto entry = loadDesktopEntry(path)) entries.push_back(std::move(*entry));
        }
    }
    return entries;
}

std::optional<DesktopEntry> entryById(const std::vector<DesktopEntry>& entries, std::string_view id) {
    auto it = std::ranges::find_if(entries, [&](const auto& e) { return e.id == id; });
    if (it == entries.end()) return std::nullopt;
    return *it;
}

std::optional<DesktopEntry> entryByName(const std::vector<DesktopEntry>& entries, std::string_view name) {
    if (auto entry = entryById(entries, name)) return entry;
    const auto wanted = lowercased(name);
    auto it = std::ranges::find_if(entries, [&](const auto& e) { return lowercased(e.name) == wanted; });
    if (it == entries.end()) return std::nullopt;
    return *it;
}

std::optional<DesktopEntry> entryForWindowClass(const std::vector<DesktopEntry>& entries,
                                                const std::optional<std::string>& instance,
                                                const std::optional<std::string>& className) {
    std::vector<std::string> keys;
    for (const auto& key : {className, instance}) {
        if (key && !key->empty()) keys.push_back(lowercased(*key));
    }
    if (keys.empty()) return std::nullopt;
    auto matches = [&](const std::optional<std::string>& text) {
        return text && std::ranges::find(keys, lowercased(*text)) != keys.end();
    };
    for (const auto& entry : entries) {
        if (matches(entry.startupWMClass)) return entry;
    }
    // By the program's name: an entry that runs the bare program (a settings
    // entry running it with options names something else) before the others.
    for (bool bare : {true, false}) {
        for (const auto& entry : entries) {
            if (entry.startupWMClass) continue;
            auto argv = commandLine(entry, {});
            if (!argv) continue;
            const auto program = withoutEnvironmentPrefix(std::move(*argv));
            if (program.empty() || (bare && program.size() != 1)) continue;
            if (matches(fs::path(program.front()).filename().string())) return entry;
        }
    }
    for (const auto& entry : entries) {
        if (matches(entry.id)) return entry;
    }
    return std::nullopt;
}

std::optional<DesktopEntry> entryForExecutable(const std::vector<DesktopEntry>& entries, const std::string& path) {
    for (const auto& entry : entries) {
        if (mainExecutable(entry) == path) return entry;
    }
    return std::nullopt;
}

std::optional<std::string> mainExecutable(const DesktopEntry& entry) {
    if (entry.tryExec) return resolveProgram(*entry.tryExec);
    auto argv = commandLine(entry, {});
    if (!argv) return std::nullopt;
    const auto program = withoutEnvironmentPrefix(std::move(*argv));
    if (program.empty()) return std::nullopt;
    return resolveProgram(program.front());
}

std::vector<std::string> withoutEnvironmentPrefix(std::vector<std::string> argv) {
    if (argv.empty() || fs::path(argv.front()).filename() != "env") return argv;
    std::vector<std::string> rest(argv.begin() + 1, argv.end());
    std::size_t i = 0;
    while (i < rest.size()) {
        const std::string& word = rest[i];
        if (word == "--") {
            ++i;
            break;
        }
        if (word == "-S" || word == "--split-string" || word.starts_with("--split-string=") ||
            (word.starts_with("-S") && word.size() > 2)) {
            // The words of one argument stand in its place.
            std::string words;
            std::size_t used = 1;
            if (word == "-S" || word == "--split-string") {
                if (i + 1 < rest.size()) words = rest[i + 1];
                used = 2;
            } else {
                words = word.substr(word.find('=') != std::string::npos && word.starts_with("--") ? word.find('=') + 1 : 2);
            }
            std::vector<std::string> split;
            gint count = 0;
            gchar** raw = nullptr;
            if (g_shell_parse_argv(words.c_str(), &count, &raw, nullptr)) {
                StrvPtr parsed(raw);
                for (gint k = 0; k < count; ++k) split.emplace_back(parsed.get()[k]);
            }
            rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(i),
                       rest.begin() + static_cast<std::ptrdiff_t>(std::min(i + used, rest.size())));
            rest.insert(rest.begin() + static_cast<std::ptrdiff_t>(i), split.begin(), split.end());
            continue;
        }
        if (word == "-u" || word == "--unset" || word == "-C" || word == "--chdir") {
            i += 2;  // the option and its value
            continue;
        }
        if (word.size() > 1 && word.front() == '-') {
            ++i;  // -i, -0, -v, --unset=NAME, -uNAME, --ignore-environment...
            continue;
        }
        if (word == "-" || (word.find('=') != std::string::npos && word.front() != '=')) {
            ++i;  // "-" clears the environment; NAME=value sets a variable
            continue;
        }
        break;
    }
    if (i >= rest.size()) return {};
    return {rest.begin() + static_cast<std::ptrdiff_t>(i), rest.end()};
}

std::optional<std::vector<std::string>> commandLine(const DesktopEntry& entry,
                                                    const std::vector<std::string>& documents) {
    gint argc = 0;
    gchar** raw = nullptr;
    GError* rawError = nullptr;
    if (!g_shell_parse_argv(entry.exec.c_str(), &argc, &raw, &rawError)) {
        ErrorPtr error(rawError);
        return std::nullopt;
    }
    StrvPtr parsed(raw);
    std::vector<std::string> argv;
    for (gint i = 0; i < argc; ++i) {
        std::string_view word(parsed.get()[i]);
        if (word == "%f" || word == "%u") {
            if (!documents.empty()) argv.push_back(documents.front());
            continue;
        }
        if (word == "%F" || word == "%U") {
            argv.insert(argv.end(), documents.begin(), documents.end());
            continue;
        }
        if (word == "%i") {
            if (entry.icon) {
                argv.push_back("--icon");
                argv.push_back(*entry.icon);
            }
            continue;
        }
        std::string expanded;
        for (std::size_t k = 0; k < word.size(); ++k) {
            if (word[k] != '%' || k + 1 == word.size()) {
                expanded += word[k];
                continue;
            }
            const char code = word[++k];
            if (code == '%') expanded += '%';
            else if (code == 'c') expanded += entry.name;
            else if (code == 'k') expanded += entry.path;
            // %d %D %n %N %v %m and unknown codes expand to nothing.
        }
        if (!expanded.empty() || word.empty()) argv.push_back(std::move(expanded));
    }
    return argv;
}

std::optional<std::vector<std::string>> chromiumMarkers(const DesktopEntry& entry) {
    auto executable = mainExecutable(entry);
    if (!executable) return std::nullopt;
    const fs::path program(*executable);
    const std::pair<const char*, const char*> MARKER_FILES[] = {
        {"libcef.so", "Chromium Embedded Framework.framework"},
        {"chrome_100_percent.pak", "Chromium Embedded Framework.framework"},
        {"resources/electron.asar", "Electron Framework.framework"},
        {"resources/app.asar", "Electron Framework.framework"},
        {"nw.pak", "nwjs Framework.framework"},
        {"libnw.so", "nwjs Framework.framework"},
    };
    std::vector<std::string> markers;
    for (const auto& folder : {program.parent_path(), fs::path("/usr/lib") / program.filename()}) {
        for (const auto& [file, marker] : MARKER_FILES) {
            std::error_code error;
            if (fs::exists(folder / file, error) && std::ranges::find(markers, marker) == markers.end()) {
                markers.emplace_back(marker);
            }
        }
    }
    return markers;
}

}  // namespace kest::platform::linux_desktop
