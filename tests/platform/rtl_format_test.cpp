// The printf family and bounded copies: one table of cases, each run into a
// buffer of the case's count with a canary after it.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <vector>

#include "nt/rtl.h"
#include "sim/strings.h"

namespace {

constexpr WCHAR kCanary = 0xBEEF;

struct FormatCase {
    const char* name;
    size_t cch;  // count handed to the call (the buffer holds cch + 1)
    std::function<NTSTATUS(PWSTR, size_t)> call;
    std::u16string expected;
    NTSTATUS status;
};

std::ostream& operator<<(std::ostream& os, const FormatCase& c) { return os << c.name; }

class FormatTable : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatTable, WritesExpectedTextAndStatus) {
    const FormatCase& c = GetParam();
    std::vector<WCHAR> buffer(c.cch + 1, u'#');
    buffer[c.cch] = kCanary;
    NTSTATUS status = c.call(buffer.data(), c.cch);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(std::u16string(buffer.data()), c.expected) << sim::ToUtf8(buffer.data());
    EXPECT_EQ(buffer[c.cch], kCanary) << "wrote past the count";
}

#define W(fmt, ...) [](PWSTR d, size_t n) { return RtlStringCchPrintfW(d, n, fmt, ##__VA_ARGS__); }

const FormatCase kCases[] = {
    {"BlankPadWidth2", 19, W(u"Unit%02d_%2d_", 3, 5), u"Unit03_ 5_", STATUS_SUCCESS},
    {"BlankPadWiderValue", 19, W(u"[%2d]", 123), u"[123]", STATUS_SUCCESS},
    {"ZeroPad", 10, W(u"%02d", 7), u"07", STATUS_SUCCESS},
    {"ZeroPadNegative", 10, W(u"%04d", -7), u"-007", STATUS_SUCCESS},
    {"LeftAlign", 10, W(u"%-4d|", 5), u"5   |", STATUS_SUCCESS},
    {"StarWidth", 10, W(u"%*d|", 3, 9), u"  9|", STATUS_SUCCESS},
    {"WideStringPercentS", 20, W(u"%sOut%02d", u"SPK", 1), u"SPKOut01", STATUS_SUCCESS},
    {"WideStringPercentWs", 40, W(u"%ws_%02d ch", u"HPOut00", 12), u"HPOut00_12 ch", STATUS_SUCCESS},
    {"NarrowStringPercentCapitalS", 20, W(u"%S|%hs", "ab", "cd"), u"ab|cd", STATUS_SUCCESS},
    {"NullString", 20, W(u"%ws", static_cast<PCWSTR>(nullptr)), u"(null)", STATUS_SUCCESS},
    {"Precision", 20, W(u"%.2s|%.3d", u"abcdef", 7), u"ab|007", STATUS_SUCCESS},
    {"Pointer", 40, W(u"Addr%p", reinterpret_cast<void*>(0xFFFFA0001234ABCDull)), u"AddrFFFFA0001234ABCD",
     STATUS_SUCCESS},
    {"PointerSmall", 40, W(u"%p", reinterpret_cast<void*>(0x10)), u"0000000000000010", STATUS_SUCCESS},
    {"HexLowerUpper", 30, W(u"%x %X %#x %08X", 0xBEEFu, 0xBEEFu, 255u, 0xABu), u"beef BEEF 0xff 000000AB",
     STATUS_SUCCESS},
    {"StatusCode", 40, W(u"ntStatus = %x\n", STATUS_IO_DEVICE_ERROR), u"ntStatus = c0000185\n", STATUS_SUCCESS},
    {"Unsigned", 20, W(u"%u", -1), u"4294967295", STATUS_SUCCESS},
    {"LongIs32Bits", 20, W(u"%ld %lu", LONG(-2), ULONG(0xFFFFFFFF)), u"-2 4294967295", STATUS_SUCCESS},
    {"SixtyFourBit", 60, W(u"%lld %I64u %I64X", LLONG_MIN, ULLONG_MAX, 0x123456789Aull),
     u"-9223372036854775808 18446744073709551615 123456789A", STATUS_SUCCESS},
    {"ShortAndChar", 20, W(u"%hd %hu %hhx", 65535, 65535, 0x1FF), u"-1 65535 ff", STATUS_SUCCESS},
    {"SignFlags", 20, W(u"%+d % d %i", 5, 5, -3), u"+5  5 -3", STATUS_SUCCESS},
    {"Characters", 20, W(u"%c%C%wc%%", u'A', 'b', u'\u00e9'), u"Ab\u00e9%", STATUS_SUCCESS},
    {"Octal", 20, W(u"%o %#o", 8, 8), u"10 010", STATUS_SUCCESS},
    // Truncation: cut to count - 1, terminated, overflow status.
    {"TruncatedText", 5, W(u"%s", u"abcdefgh"), u"abcd", STATUS_BUFFER_OVERFLOW},
    {"TruncatedInsideNumber", 4, W(u"x%05d", 42), u"x00", STATUS_BUFFER_OVERFLOW},
    {"TruncatedLiteral", 3, W(u"abc"), u"ab", STATUS_BUFFER_OVERFLOW},
    {"ExactFit", 4, W(u"abc"), u"abc", STATUS_SUCCESS},
    {"CountOneGivesEmpty", 1, W(u"abc"), u"", STATUS_BUFFER_OVERFLOW},
    {"HugeWidthTruncates", 8, W(u"%999999999d", 1), u"       ", STATUS_BUFFER_OVERFLOW},
    {"UnknownConversion", 20, W(u"ab%qcd", 1), u"", STATUS_INVALID_PARAMETER},
    {"TrailingPercent", 20, W(u"ab%"), u"", STATUS_INVALID_PARAMETER},
    {"CountAboveMaximum", 4, [](PWSTR d, size_t) { return RtlStringCchPrintfW(d, size_t(NTSTRSAFE_MAX_CCH) + 1, u"abc"); },
     u"", STATUS_INVALID_PARAMETER},
    {"ByteCount", 3, [](PWSTR d, size_t) { return RtlStringCbPrintfW(d, 7, u"%d", 12345); }, u"12",
     STATUS_BUFFER_OVERFLOW},
    {"CopyTruncates", 4, [](PWSTR d, size_t n) { return RtlStringCchCopyW(d, n, u"abcdef"); }, u"abc",
     STATUS_BUFFER_OVERFLOW},
    {"CopyFits", 7, [](PWSTR d, size_t n) { return RtlStringCchCopyW(d, n, u"abcdef"); }, u"abcdef", STATUS_SUCCESS},
    {"CopyNullSource", 4, [](PWSTR d, size_t n) { return RtlStringCchCopyW(d, n, nullptr); }, u"",
     STATUS_INVALID_PARAMETER},
    {"CopyByBytes", 3, [](PWSTR d, size_t) { return RtlStringCbCopyW(d, 6, u"abcdef"); }, u"ab",
     STATUS_BUFFER_OVERFLOW},
    {"CatAppends", 8,
     [](PWSTR d, size_t n) {
         RtlStringCchCopyW(d, n, u"ab");
         return RtlStringCchCatW(d, n, u"cd");
     },
     u"abcd", STATUS_SUCCESS},
    {"CatTruncates", 5,
     [](PWSTR d, size_t n) {
         RtlStringCchCopyW(d, n, u"ab");
         return RtlStringCchCatW(d, n, u"cdef");
     },
     u"abcd", STATUS_BUFFER_OVERFLOW},
};

INSTANTIATE_TEST_SUITE_P(Rtl, FormatTable, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RtlFormat, ZeroCountLeavesBufferUntouched) {
    WCHAR buffer[2] = {u'x', kCanary};
    EXPECT_EQ(RtlStringCchPrintfW(buffer, 0, u"abc"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchCopyW(buffer, 0, u"abc"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbPrintfW(buffer, 1, u"abc"), STATUS_INVALID_PARAMETER);  // one byte: no character
    EXPECT_EQ(buffer[0], u'x');
    EXPECT_EQ(RtlStringCchPrintfW(nullptr, 4, u"abc"), STATUS_INVALID_PARAMETER);
}

TEST(RtlFormat, NarrowVariantsSwapTheDefaultStringWidth) {
    char buffer[32];
    EXPECT_EQ(RtlStringCchPrintfA(buffer, sizeof(buffer), "%s|%S|%ws|%c", "nar", u"wide", u"w\u0101", 'c'),
              STATUS_SUCCESS);
    EXPECT_STREQ(buffer, "nar|wide|w?|c");  // a code unit above 0xFF has no narrow form
    EXPECT_EQ(RtlStringCbPrintfA(buffer, 4, "%d", 12345), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(buffer, "123");
}

TEST(RtlFormat, LengthNeedsATerminatorWithinTheCount) {
    size_t length = 99;
    EXPECT_EQ(RtlStringCchLengthW(u"abc", 4, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(RtlStringCchLengthW(u"abc", 3, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(RtlStringCchLengthW(u"abc", 0, nullptr), STATUS_INVALID_PARAMETER);
    WCHAR unterminated[3] = {u'a', u'b', u'c'};
    EXPECT_EQ(RtlStringCchCatW(unterminated, 3, u"d"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unterminated[2], u'c');
}

}  // namespace
