// Tests of the selection layer's pure parts, no display needed: the Latin-1
// and UTF-8 conversions of the text targets, the property chunk size from the
// server's request limits, and the message a clipboard keeper reads.
#include <gtest/gtest.h>

#include "platform/linux/x11_selection.hpp"
#include "platform/linux/x11_selection_keeper.hpp"

namespace kest::platform::linux_desktop {
namespace {

TEST(SelectionText, Latin1KeepsItsCharactersAndMarksTheOthers) {
    const std::pair<std::string, std::string> rows[] = {
        {"plain ASCII ~", "plain ASCII ~"},
        {"Gr\xC3\xBC\xC3\x9F" "e", "Gr\xFC\xDF" "e"},       // Grüße
        {"\xC3\xBF\xC2\xA0\xC2\x80", "\xFF\xA0\x80"},        // the top, NBSP and the bottom of the upper half
        {"\xE2\x82\xAC 5", "? 5"},                           // €
        {"\xE4\xB8\x96\xE7\x95\x8C", "??"},                  // 世界: one mark per character
        {"\xF0\x9F\x99\x82!", "?!"},                         // 🙂
        {"a\nb\tc\r\n", "a\nb\tc\r\n"},
        {std::string("nul\0kept", 8), std::string("nul\0kept", 8)},
        {"\xC3(", "?("},                                     // broken sequence: the byte is marked
        {"\xFF\xFE", "??"},
        {"", ""},
    };
    for (const auto& [utf8, latin1] : rows) EXPECT_EQ(latin1FromUtf8(utf8), latin1) << utf8;
}

TEST(SelectionText, Latin1ReadsBackAsTheSameCharacters) {
    std::string everyByte;
    for (int b = 0; b < 256; ++b) everyByte.push_back(static_cast<char>(b));
    const std::string utf8 = utf8FromLatin1(everyByte);
    EXPECT_EQ(utf8.size(), 128u + 2u * 128u);
    EXPECT_EQ(repairUtf8(utf8), utf8) << "the conversion yields valid UTF-8";
    EXPECT_EQ(latin1FromUtf8(utf8), everyByte);
    EXPECT_EQ(utf8FromLatin1("\xE9t\xE9"), "\xC3\xA9t\xC3\xA9");
}

TEST(SelectionText, RepairReplacesEachBrokenByteAndKeepsTheRest) {
    const std::pair<std::string, std::string> rows[] = {
        {"Gr\xC3\xBC\xC3\x9F" "e, \xE4\xB8\x96\xE7\x95\x8C \xE2\x9C\x93 \xF0\x9F\x99\x82\n",
         "Gr\xC3\xBC\xC3\x9F" "e, \xE4\xB8\x96\xE7\x95\x8C \xE2\x9C\x93 \xF0\x9F\x99\x82\n"},
        {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},
        {"\xC3", "\xEF\xBF\xBD"},                                    // cut short at the end
        {"\xE2\x9C", "\xEF\xBF\xBD\xEF\xBF\xBD"},                    // cut short: one per byte
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                    // overlong
        {"\xED\xA0\x80x", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx"},  // a surrogate
        {std::string("a\0b", 3), std::string("a\0b", 3)},
        {std::string("\0\xFF\0", 3), std::string("\0\xEF\xBF\xBD\0", 5)},
        {"", ""},
    };
    for (const auto& [input, expected] : rows) EXPECT_EQ(repairUtf8(input), expected) << input;
}

TEST(SelectionChunks, OnePropertyCarriesWhatOneRequestMay) {
    struct Row {
        long extendedUnits;
        long units;
        std::size_t expected;
    };
    const Row rows[] = {
        {4194303, 65535, 4194303u * 4 - 32},  // BIG-REQUESTS, as Xvfb and Xorg offer
        {0, 65535, 65535u * 4 - 32},          // without it
        {0, 4096, 16384u - 32},               // the smallest server the protocol allows
        {0, 0, 16384u - 32},                  // a nonsense answer still gives a usable chunk
    };
    for (const auto& row : rows) {
        EXPECT_EQ(propertyChunkBytes(row.extendedUnits, row.units), row.expected) << row.extendedUnits << " " << row.units;
    }
    // A 16 MiB text needs INCR even with BIG-REQUESTS; 1 MiB does not.
    EXPECT_GT(std::size_t{16} << 20, propertyChunkBytes(4194303, 65535));
    EXPECT_LT(std::size_t{1} << 20, propertyChunkBytes(4194303, 65535));
}

TEST(KeeperMessage, WholeMessagesDecodeAndDamagedOnesDoNot) {
    const std::string texts[] = {"", "x", std::string("a\0b", 3), std::string(1 << 20, 'q'),
                                 "Gr\xC3\xBC\xC3\x9F" "e\n\xF0\x9F\x99\x82"};
    for (const auto& text : texts) {
        auto decoded = decodeKeeperMessage(encodeKeeperMessage(123456789UL, text));
        ASSERT_TRUE(decoded) << text.size();
        EXPECT_EQ(decoded->ownedSince, 123456789UL);
        EXPECT_EQ(decoded->text, text);
    }
    const std::string whole = encodeKeeperMessage(7, "hello");
    std::string wrongMagic = whole;
    wrongMagic[0] = 'X';
    const std::string damaged[] = {
        "",
        whole.substr(0, 8),                 // the magic alone
        whole.substr(0, whole.size() - 1),  // the spawner died mid-way
        whole + "!",                        // more than announced
        wrongMagic,
    };
    for (const auto& bytes : damaged) EXPECT_FALSE(decodeKeeperMessage(bytes)) << bytes.size();
}

TEST(KeeperRole, OnlyTheSentinelArgv0WithADisplayStartsIt) {
    // None of these is the keeper role; each returns without doing anything.
    std::string normal = "kest-core", version = "--version", display = ":1", keeper(KEEPER_ARGV0);
    std::vector<std::vector<char*>> rows = {
        {normal.data(), version.data()},
        {normal.data(), display.data()},
        {keeper.data()},
        {keeper.data(), display.data(), version.data()},
        {version.data(), keeper.data()},
    };
    for (auto& argv : rows) {
        const int argc = static_cast<int>(argv.size());
        argv.push_back(nullptr);
        EXPECT_FALSE(runSelectionKeeperIfAsked(argc, argv.data())) << argv[0];
    }
}

}  // namespace
}  // namespace kest::platform::linux_desktop
