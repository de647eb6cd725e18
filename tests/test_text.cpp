// Text conversion: the element copies of ConversionWchar, the UTF-16/UTF-8
// codec behind StrUtils, and str_format.
#include <gtest/gtest.h>
#include <locale.h>

#include <string>
#include <vector>

#include "include/ConversionWchar.h"
#include "myUtils.h"
#include "utf_codec.h"

namespace {

typedef std::vector<uint16_t> Units;

std::string bytesOf(const char* s) { return s == nullptr ? std::string("<null>") : std::string(s); }

Units unitsOf(const WCHAR_T* s)
{
    Units out;
    for (size_t i = 0; s[i] != 0; ++i)
        out.push_back(s[i]);
    return out;
}

// Host string from units, terminated.
Units host(Units u)
{
    u.push_back(0);
    return u;
}

// ---------------------------------------------------------------------------
// ConversionWchar: plain element copies

TEST(ConversionWchar, LengthOfHostString)
{
    const WCHAR_T empty[] = {0};
    const WCHAR_T three[] = {'a', 0x0411, 0xD83D, 0};
    EXPECT_EQ(getLenShortWcharStr(empty), 0u);
    EXPECT_EQ(getLenShortWcharStr(three), 3u);
}

TEST(ConversionWchar, ToShortAllocatesAndCopiesTerminatorOnlyWithinLength)
{
    WCHAR_T* whole = nullptr;
    EXPECT_EQ(convToShortWchar(&whole, L"abc", 0), 4u);
    EXPECT_EQ(Units(whole, whole + 4), (Units{'a', 'b', 'c', 0}));
    delete[] whole;

    WCHAR_T part[3] = {0x7777, 0x7777, 0x7777};
    WCHAR_T* dest = part;
    EXPECT_EQ(convToShortWchar(&dest, L"abc", 2), 2u);
    EXPECT_EQ(Units(part, part + 3), (Units{'a', 'b', 0x7777}));
}

TEST(ConversionWchar, ElementsAreCutOrZeroExtendedNotTranscoded)
{
#if defined(_WIN32)
    // wchar_t holds UTF-16 units here: a pair is copied as it is.
    const wchar_t wide[] = {0xD83D, 0xDE00, 0xFFFF, 0};
    WCHAR_T* copy = nullptr;
    EXPECT_EQ(convToShortWchar(&copy, wide, 0), 4u);
    EXPECT_EQ(Units(copy, copy + 4), (Units{0xD83D, 0xDE00, 0xFFFF, 0}));
    delete[] copy;
#else
    // 32-bit wchar_t: a code point above 0xFFFF keeps its low 16 bits only.
    const wchar_t wide[] = {0x1F600, 0};
    WCHAR_T* cut = nullptr;
    convToShortWchar(&cut, wide, 0);
    EXPECT_EQ(cut[0], 0xF600);
    delete[] cut;
#endif
    const WCHAR_T units[] = {0xD83D, 0xFFFF, 0};
    wchar_t* widened = nullptr;
    EXPECT_EQ(convFromShortWchar(&widened, units, 0), 3u);
    EXPECT_EQ(static_cast<uint32_t>(widened[0]), 0xD83Du);
    EXPECT_EQ(static_cast<uint32_t>(widened[1]), 0xFFFFu);  // no sign extension
    EXPECT_EQ(widened[2], 0);
    delete[] widened;
}

TEST(ConversionWchar, WrapperOwnsACopy)
{
    std::wstring source = L"текст";
    WcharWrapper wrapper(source.c_str());
    source[0] = L'X';
    EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(wrapper)), L"текст");
    WcharWrapper none(nullptr);
    EXPECT_EQ(static_cast<const wchar_t*>(none), nullptr);
}

// ---------------------------------------------------------------------------
// Host string to UTF-8

struct ToUtf8Case {
    const char* name;
    Units units;
    bool valid;
    std::string utf8;
};

// Cases print by name: gtest would otherwise dump their raw bytes, padding included.
void PrintTo(const ToUtf8Case& c, std::ostream* os) { *os << c.name; }

class HostToUtf8 : public ::testing::TestWithParam<ToUtf8Case> {};

TEST_P(HostToUtf8, ConvertsOrFailsCleanly)
{
    const ToUtf8Case& c = GetParam();
    const Units input = host(c.units);
    StrUtils text(input.data());
    EXPECT_EQ(text.failed(), !c.valid);
    if (c.valid) {
        EXPECT_EQ(bytesOf(text.str_char()), c.utf8);
        EXPECT_EQ(text.lenChar(), c.utf8.size());
    } else {
        EXPECT_EQ(text.str_char(), nullptr);
    }
    // The host form is always an exact copy.
    EXPECT_EQ(unitsOf(text.str_WCHAR_T()), c.units);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostToUtf8,
    ::testing::Values(
        ToUtf8Case{"Empty", {}, true, ""},
        ToUtf8Case{"Ascii", {'G', 'e', 't'}, true, "Get"},
        ToUtf8Case{"LatinAndCyrillic", {0x0041, 0x0411}, true, "\x41\xD0\x91"},
        ToUtf8Case{"TwoByteBoundary", {0x007F, 0x0080, 0x07FF, 0x0800}, true,
                   "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80"},
        ToUtf8Case{"LastBmpUnit", {0xFFFF}, true, "\xEF\xBF\xBF"},
        ToUtf8Case{"SurrogatePair", {0xD83D, 0xDE00}, true, "\xF0\x9F\x98\x80"},
        ToUtf8Case{"HighestCodePoint", {0xDBFF, 0xDFFF}, true, "\xF4\x8F\xBF\xBF"},
        ToUtf8Case{"HighThenLetter", {0xD83D, 0x0041}, false, ""},
        ToUtf8Case{"HighAtEnd", {'a', 0xD83D}, false, ""},
        // Refused on Windows as well: both builds share one codec.
        ToUtf8Case{"LoneLow", {0xDC00}, false, ""},
        ToUtf8Case{"LowBeforeHigh", {0xDE00, 0xD83D}, false, ""},
        ToUtf8Case{"AsciiRunThenCyrillic",
                   {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 0x0436}, true,
                   "abcdefghi\xD0\xB6"}),
    [](const ::testing::TestParamInfo<ToUtf8Case>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// UTF-8 to host string: decoded here, whatever the C locale says (on
// Windows too, with the same replacement of malformed input)

struct ToHostCase {
    const char* name;
    std::string utf8;
    Units units;
};

void PrintTo(const ToHostCase& c, std::ostream* os) { *os << c.name; }

class Utf8ToHost : public ::testing::TestWithParam<ToHostCase> {};

TEST_P(Utf8ToHost, DecodesIndependentlyOfLocale)
{
    const ToHostCase& c = GetParam();
    ASSERT_STREQ(setlocale(LC_ALL, nullptr), "C");
    StrUtils text(c.utf8.c_str());
    EXPECT_FALSE(text.failed());
    EXPECT_EQ(unitsOf(text.str_WCHAR_T()), c.units);
    EXPECT_EQ(text.lenWCHAR_T(), c.units.size());
    EXPECT_EQ(bytesOf(text.str_char()), c.utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8ToHost,
    ::testing::Values(
        ToHostCase{"Empty", "", {}},
        ToHostCase{"Version", "4.2.4", {'4', '.', '2', '.', '4'}},
        ToHostCase{"Cyrillic", "Нет ошибок",
                   {0x041D, 0x0435, 0x0442, 0x0020, 0x043E, 0x0448, 0x0438, 0x0431, 0x043E, 0x043A}},
        ToHostCase{"EmojiBecomesPair", "\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},
        ToHostCase{"ThreeByte", "\xE2\x82\xAC", {0x20AC}},
        // Malformed input: one U+FFFD per offending byte, nothing swallowed.
        ToHostCase{"StrayContinuation", "a\x80z", {'a', 0xFFFD, 'z'}},
        ToHostCase{"Truncated", "a\xD0", {'a', 0xFFFD}},
        ToHostCase{"Overlong", "\xC0\xAF", {0xFFFD, 0xFFFD}},
        ToHostCase{"EncodedSurrogate", "\xED\xA0\x80", {0xFFFD, 0xFFFD, 0xFFFD}},
        ToHostCase{"BeyondUnicode", "\xF4\x90\x80\x80", {0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}}),
    [](const ::testing::TestParamInfo<ToHostCase>& info) { return std::string(info.param.name); });

TEST(StrUtils, RoundTripOfEveryCodePointClass)
{
    // Valid UTF-16 goes to UTF-8 and back unchanged, across all the length
    // classes and the surrogate range boundaries.
    Units all;
    for (uint32_t u = 1; u < 0xD800; u += 7)
        all.push_back(static_cast<uint16_t>(u));
    for (uint32_t u = 0xE000; u <= 0xFFFF; u += 5)
        all.push_back(static_cast<uint16_t>(u));
    for (uint32_t cp = 0x10000; cp <= 0x10FFFF; cp += 4099) {
        all.push_back(static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
        all.push_back(static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
    const Units input = host(all);
    StrUtils forward(input.data());
    ASSERT_FALSE(forward.failed());
    StrUtils back(forward.str_char());
    EXPECT_EQ(unitsOf(back.str_WCHAR_T()), all);
}

TEST(StrUtils, NullInputHoldsNoText)
{
    StrUtils fromHost(static_cast<const WCHAR_T*>(nullptr));
    StrUtils fromBytes(static_cast<const char*>(nullptr));
    for (StrUtils* s : {&fromHost, &fromBytes}) {
        EXPECT_EQ(s->str_WCHAR_T(), nullptr);
        EXPECT_EQ(s->str_char(), nullptr);
        EXPECT_EQ(s->str_wchar_t(), nullptr);
        EXPECT_FALSE(s->failed());
    }
}

TEST(StrUtils, WideFormHoldsWholeCodePoints)
{
    StrUtils text("a\xD0\x91\xF0\x9F\x98\x80");
#if defined(_WIN32)
    EXPECT_EQ(std::wstring(text.str_wchar_t()), std::wstring(L"a\x0411\xD83D\xDE00"));
#else
    EXPECT_EQ(std::wstring(text.str_wchar_t()), std::wstring(L"a\x0411\x1F600"));
#endif
}

// ---------------------------------------------------------------------------
// Copies into host memory

class CountingMemory : public IMemoryManager {
public:
    bool AllocMemory(void** p, unsigned long bytes) override
    {
        sizes.push_back(bytes);
        if (refuse)
            return false;
        *p = ::operator new(bytes);
        memset(*p, 0xA5, bytes);
        blocks.push_back(*p);
        return true;
    }
    void FreeMemory(void** p) override { *p = nullptr; }
#if TAVROLINK_MSVC_DESTRUCTOR_SLOT
    // MSVC's deleting destructor: the memory manager is the caller's, and
    // the text code never destroys it.
    void* msvcDeletingDestructor(unsigned int) override
    {
        ADD_FAILURE() << "the memory manager was destroyed through its interface";
        return this;
    }
#endif
    ~CountingMemory()
    {
        for (void* b : blocks)
            ::operator delete(b);
    }
    std::vector<unsigned long> sizes;
    std::vector<void*> blocks;
    bool refuse = false;
};

TEST(StrUtils, PackMakesOneTerminatedCopy)
{
    CountingMemory memory;
    tVariant var;
    memset(&var, 0, sizeof var);
    StrUtils("4.2.4").pack_WCHAR_T(&var, &memory);
    EXPECT_EQ(var.vt, VTYPE_PWSTR);
    EXPECT_EQ(var.wstrLen, 5u);
    ASSERT_EQ(memory.sizes, std::vector<unsigned long>{12});
    EXPECT_EQ(Units(var.pwstrVal, var.pwstrVal + 6), (Units{'4', '.', '2', '.', '4', 0}));
}

TEST(StrUtils, RefusedOrMissingMemoryLeavesTheVariant)
{
    CountingMemory refusing;
    refusing.refuse = true;
    tVariant var;
    memset(&var, 0, sizeof var);
    var.vt = VTYPE_I4;
    var.lVal = 77;
    StrUtils text("текст");
    EXPECT_FALSE(text.pack_WCHAR_T(&var, &refusing));
    EXPECT_FALSE(text.pack_WCHAR_T(&var, nullptr));
    EXPECT_EQ(text.alloc_WCHAR_T(nullptr), nullptr);
    EXPECT_EQ(var.vt, VTYPE_I4);
    EXPECT_EQ(var.lVal, 77);
}

// ---------------------------------------------------------------------------
// str_format

TEST(StrFormat, GrowsToAnyLength)
{
    // The result is never cut, however long the value: the old fixed buffer
    // held 16534 bytes of text.
    for (size_t length : {0u, 16534u, 16535u, 100000u}) {
        const std::string value(length, 'x');
        const std::string out = str_format("<%s>", value.c_str());
        EXPECT_EQ(out.size(), length + 2);
        EXPECT_EQ(out, "<" + value + ">");
    }
    EXPECT_EQ(str_format("%d-%s", 42, "Параметры"), "42-Параметры");
}

}  // namespace
