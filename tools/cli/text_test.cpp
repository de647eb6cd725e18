// The command line's own text handling: conversions on odd input, cutting a
// table into packages, and the connection parameters document.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text.h"

namespace {

using cli::Units;

std::string utf8Of(const Units& units) { return cli::utf16ToUtf8(units.data(), units.size()); }

TEST(CliText, CyrillicAndEmojiSurviveTheRoundTrip)
{
    const std::string text = "Штрихкод;Кол-во\n4601234567893;12 😀\r\n";
    const Units units = cli::utf8ToUtf16(text);
    EXPECT_EQ(utf8Of(units), text);
    // "Я😀": one unit, then a surrogate pair.
    EXPECT_EQ(cli::utf8ToUtf16("Я😀"), (Units{0x042F, 0xD83D, 0xDE00}));
    EXPECT_EQ(cli::findInvalidUtf8(text), std::string::npos);
}

TEST(CliText, MalformedUtf8IsFoundAndReplacedBytewise)
{
    struct Case {
        const char* name;
        std::string text;
        size_t invalidAt;
        Units units;
    };
    const Units::value_type R = 0xFFFD;
    const std::vector<Case> cases = {
        {"stray continuation", "a\x80z", 1, {'a', R, 'z'}},
        {"overlong slash", "a\xC0\xAFz", 1, {'a', R, R, 'z'}},
        {"overlong three-byte", "\xE0\x80\xAF", 0, {R, R, R}},
        {"encoded surrogate", "a\xED\xA0\x80", 1, {'a', R, R, R}},
        {"above U+10FFFF", "\xF4\x90\x80\x80", 0, {R, R, R, R}},
        {"lead byte F5", "\xF5z", 0, {R, 'z'}},
        {"truncated at the end", "Я\xE2\x82", 2, {0x042F, R, R}},
        {"lead followed by ASCII", "\xD0z", 0, {R, 'z'}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(cli::findInvalidUtf8(c.text), c.invalidAt);
        EXPECT_EQ(cli::utf8ToUtf16(c.text), c.units);
    }
}

TEST(CliText, UnpairedSurrogatesBecomeReplacementCharacters)
{
    struct Case {
        const char* name;
        Units units;
        std::string utf8;
        size_t unpaired;
    };
    const std::vector<Case> cases = {
        {"pair", {0xD83D, 0xDE00}, "😀", 0},
        {"high then ASCII", {0xD800, 'x'}, "\xEF\xBF\xBDx", 1},
        {"lone low", {'a', 0xDC00}, "a\xEF\xBF\xBD", 1},
        {"high at the end", {'a', 0xD83D}, "a\xEF\xBF\xBD", 1},
        {"pair in the wrong order", {0xDE00, 0xD83D}, "\xEF\xBF\xBD\xEF\xBF\xBD", 2},
        {"zero unit kept", {'a', 0, 'b'}, std::string("a\0b", 3), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(utf8Of(c.units), c.utf8);
        EXPECT_EQ(cli::unpairedSurrogates(c.units.data(), c.units.size()), c.unpaired);
    }
    EXPECT_EQ(cli::utf16ToUtf8(nullptr, 5), "");
}

std::vector<size_t> sizesOf(const std::vector<std::string_view>& pieces)
{
    std::vector<size_t> sizes;
    for (std::string_view p : pieces)
        sizes.push_back(p.size());
    return sizes;
}

TEST(CliText, PackagesAreCutBetweenCharacters)
{
    struct Case {
        const char* name;
        std::string text;
        size_t maxBytes;
        std::vector<size_t> sizes;
    };
    const std::vector<Case> cases = {
        {"empty table", "", 4, {}},
        {"fits exactly", "abcd", 4, {4}},
        {"ASCII", "abcdefghij", 4, {4, 4, 2}},
        {"two-byte letter across the cut", "abcЯ", 4, {3, 2}},
        {"emoji across the cut", "aaa😀b", 4, {3, 4, 1}},
        {"emoji right after the cut", "abcd😀", 4, {4, 4}},
        {"Cyrillic", "ЯЯЯ", 5, {4, 2}},
        {"three-byte sign across the cut", "ab€cd", 4, {2, 4, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(sizesOf(cli::splitPackages(c.text, c.maxBytes)), c.sizes);
    }
}

TEST(CliText, EveryPackageIsWholeTextAndTheyJoinToTheTable)
{
    const std::string text = "Товар;Цена\nМолоко 😀;89,90\n€ a\tб\n🇷🇺 flag;1\n";
    for (size_t maxBytes = 4; maxBytes <= text.size() + 1; ++maxBytes) {
        SCOPED_TRACE(maxBytes);
        std::string joined;
        for (std::string_view piece : cli::splitPackages(text, maxBytes)) {
            EXPECT_FALSE(piece.empty());
            EXPECT_LE(piece.size(), maxBytes);
            EXPECT_EQ(cli::findInvalidUtf8(piece), std::string::npos);
            joined += piece;
        }
        EXPECT_EQ(joined, text);
    }
}

TEST(CliText, MalformedTextIsStillCutIntoBoundedPackages)
{
    // No lead byte anywhere: the cut cannot move back and stays where it is.
    const std::string text(10, '\x80');
    EXPECT_EQ(sizesOf(cli::splitPackages(text, 4)), (std::vector<size_t>{4, 4, 2}));
}

TEST(CliText, ConnectionParametersCarryTheAddressEscaped)
{
    EXPECT_EQ(cli::connectionParameters("127.0.0.1"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Parameters><Parameter Name=\"Address\" "
              "Value=\"127.0.0.1\"/></Parameters>");
    EXPECT_EQ(cli::xmlAttribute("a&b<c>\"d'\te\nf\r"),
              "a&amp;b&lt;c&gt;&quot;d&apos;&#9;e&#10;f&#13;");
    EXPECT_EQ(cli::xmlAttribute("Склад №1"), "Склад №1");
}

TEST(CliText, QuotedShowsWhatIsInvisible)
{
    const Units units = {'"', 'a', '\\', '\n', '\r', '\t', 0x01, 0x042F, 0xD800, 0xD83D, 0xDE00};
    EXPECT_EQ(cli::quoted(units.data(), units.size()),
              "\"\\\"a\\\\\\n\\r\\t\\x01Я\\uD800😀\"");
}

}  // namespace
