// What the installed program ships beside itself: the man page and the bash
// completion name every method of the dispatcher's table, with the same
// parameters, and the daemon stops as the user service stops it (SIGTERM).
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "support/dispatcher_harness.hpp"
#include "support/kest_process.hpp"

namespace kest {
namespace {

using Names = std::set<std::string>;

std::string sourceFile(const std::string& relative) {
    std::ifstream in(std::string(KEST_SOURCE_DIR) + "/" + relative);
    EXPECT_TRUE(in) << relative;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

Names dispatcherMethods() {
    fake::DispatcherHarness harness;
    Names names;
    for (const auto& [name, handler] : harness.dispatcher().handlers) names.insert(name);
    return names;
}

struct Parameter {
    std::string name;
    std::string kind;
};

// The METHODS section of the man page source: each method's line "*name*" and
// its parameter items "- *a*, *b* (kind...): text".
struct ManPage {
    std::vector<std::string> methods;  // in order, repeats kept
    std::map<std::string, std::vector<Parameter>> parameters;
};

ManPage readManPage() {
    static const std::regex METHOD(R"(^\*([a-z_]+)\*$)");
    static const std::regex ITEM(R"(^\t- (.*?) \(([a-z]+)[ ,)])");
    static const std::regex NAME(R"(\*([a-z_]+)\*)");
    ManPage page;
    bool inMethods = false;
    std::string current;
    for (const auto& line : lines(sourceFile("doc/kest-core.1.scd"))) {
        if (line.starts_with("# ")) {
            inMethods = line == "# METHODS";
            current.clear();
            continue;
        }
        if (!inMethods) continue;
        std::smatch match;
        if (std::regex_match(line, match, METHOD)) {
            current = match[1];
            page.methods.push_back(current);
            page.parameters[current];
        } else if (!current.empty() && std::regex_search(line, match, ITEM)) {
            const std::string head = match[1], kind = match[2];
            for (std::sregex_iterator it(head.begin(), head.end(), NAME), end; it != end; ++it) {
                page.parameters[current].push_back({(*it)[1], kind});
            }
        }
    }
    return page;
}

// One associative array of the completion function: "[method]="words"" rows
// between "local -A NAME=(" and ")".
std::map<std::string, Names> completionTable(const std::string& arrayName) {
    static const std::regex ROW(R"re(^\s*\[([a-z_]+)\]="([a-z_ ]*)"$)re");
    std::map<std::string, Names> table;
    bool inside = false;
    for (const auto& line : lines(sourceFile("packaging/kest-core.bash-completion"))) {
        if (line.find("local -A " + arrayName + "=(") != std::string::npos) {
            inside = true;
            continue;
        }
        if (!inside) continue;
        if (line.find_first_not_of(" ") != std::string::npos && line.substr(line.find_first_not_of(" ")) == ")") break;
        std::smatch match;
        if (!std::regex_match(line, match, ROW)) {
            ADD_FAILURE() << "unreadable completion row: " << line;
            continue;
        }
        std::istringstream words(match[2].str());
        Names& keys = table[match[1]];
        for (std::string word; words >> word;) keys.insert(word);
    }
    EXPECT_TRUE(inside) << "no array " << arrayName;
    return table;
}

Names keysOf(const std::map<std::string, Names>& table) {
    Names keys;
    for (const auto& [key, value] : table) keys.insert(key);
    return keys;
}

// Names each difference between a listing and the dispatcher's table.
void expectTheTable(const Names& listed, const char* where) {
    const Names table = dispatcherMethods();
    ASSERT_FALSE(table.empty());
    for (const auto& method : table) EXPECT_TRUE(listed.contains(method)) << "missing from " << where << ": " << method;
    for (const auto& method : listed) EXPECT_TRUE(table.contains(method)) << "no such method in " << where << ": " << method;
}

TEST(ManPage, DocumentsEveryMethodOfTheTableOnce) {
    Names documented;
    for (const auto& method : readManPage().methods) EXPECT_TRUE(documented.insert(method).second) << "twice: " << method;
    expectTheTable(documented, "the man page");
}

TEST(ManPage, ParametersHaveKnownKindsAndAppearOnce) {
    const Names KINDS = {"string", "flag", "boolean", "integer", "number", "array", "any"};
    for (const auto& [method, parameters] : readManPage().parameters) {
        Names seen;
        for (const auto& parameter : parameters) {
            EXPECT_TRUE(KINDS.contains(parameter.kind)) << method << " " << parameter.name << ": " << parameter.kind;
            EXPECT_TRUE(seen.insert(parameter.name).second) << method << " lists " << parameter.name << " twice";
        }
    }
}

TEST(BashCompletion, OffersEveryMethodOfTheTable) {
    expectTheTable(keysOf(completionTable("values")), "the completion's methods");
    const Names table = dispatcherMethods();
    for (const auto& method : keysOf(completionTable("flags"))) {
        EXPECT_TRUE(table.contains(method)) << "flags of no such method: " << method;
    }
}

// The command line gives strings and true only: the completion offers, per
// method, the man page's string (and any-value) parameters as keys with a
// value, and its flags as keys alone.
TEST(BashCompletion, OffersTheKeysTheManPageDocumentsForTheCommandLine) {
    const auto values = completionTable("values");
    const auto flags = completionTable("flags");
    for (const auto& [method, parameters] : readManPage().parameters) {
        Names documentedValues, documentedFlags;
        for (const auto& parameter : parameters) {
            if (parameter.kind == "string" || parameter.kind == "any") documentedValues.insert(parameter.name);
            if (parameter.kind == "flag") documentedFlags.insert(parameter.name);
        }
        const auto offeredValues = values.find(method);
        EXPECT_EQ(offeredValues == values.end() ? Names{} : offeredValues->second, documentedValues) << method;
        const auto offeredFlags = flags.find(method);
        EXPECT_EQ(offeredFlags == flags.end() ? Names{} : offeredFlags->second, documentedFlags) << method;
    }
}

// The user service stops the daemon with SIGTERM: it ends a request that is
// waiting, removes its socket and information file and exits with status 0,
// so that systemd sees a clean stop and does not restart it.
TEST(UserServiceStop, SigtermStopsTheDaemonCleanly) {
    test::TempDir home;
    test::DaemonProcess daemon(home.path());
    ASSERT_TRUE(daemon.waitUntilListening());
    test::SocketClient waiting;
    ASSERT_TRUE(waiting.connect(daemon.socketPath()));
    ASSERT_TRUE(waiting.send(R"({"jsonrpc":"2.0","id":1,"method":"wait","params":{"ms":600000}})"
                             "\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the wait begin

    ASSERT_EQ(::kill(daemon.pid(), SIGTERM), 0);
    EXPECT_EQ(daemon.waitForExit(std::chrono::seconds(10)), 0);
    EXPECT_FALSE(std::filesystem::exists(daemon.socketPath()));
    EXPECT_FALSE(std::filesystem::exists(daemon.infoPath()));
    if (auto line = waiting.readLine(std::chrono::seconds(5))) {
        EXPECT_EQ(Json::parse(*line)["error"]["message"], "Interrupted: kest-core is shutting down");
    }
    EXPECT_TRUE(waiting.closedByPeer(std::chrono::seconds(5)));
}

}  // namespace
}  // namespace kest
