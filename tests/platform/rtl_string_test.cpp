// Counted strings, conversions, integers, GUID text and the UTF-8 helpers.
#include <gtest/gtest.h>

#include "nt/rtl.h"
#include "sim/pool.h"
#include "sim/strings.h"

namespace {

class RtlString : public ::testing::Test {
protected:
    void SetUp() override { baseline_ = sim::PoolLiveBlocks(); }
    void TearDown() override {
        sim::PoolClearFailures();
        EXPECT_EQ(sim::PoolLiveBlocks(), baseline_) << sim::PoolLeakReport();
    }
    int64_t baseline_ = 0;
};

TEST_F(RtlString, InitMeasuresInBytesAndHandlesNull) {
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, u"Settings");
    EXPECT_EQ(u.Length, 16);
    EXPECT_EQ(u.MaximumLength, 18);
    RtlInitUnicodeString(&u, nullptr);
    EXPECT_EQ(u.Buffer, nullptr);
    EXPECT_EQ(u.Length, 0);
    ANSI_STRING a;
    RtlInitAnsiString(&a, "abc");
    EXPECT_EQ(a.Length, 3);
    EXPECT_EQ(a.MaximumLength, 4);
}

TEST_F(RtlString, CopyCutsToDestinationAndTerminatesWhenRoom) {
    WCHAR small[4] = {u'x', u'x', u'x', u'x'};
    UNICODE_STRING dest{0, sizeof(small), small};
    sim::UString src(u"abcdef");
    RtlCopyUnicodeString(&dest, src.get());
    EXPECT_EQ(dest.Length, 8);  // four characters, no room for a terminator
    EXPECT_EQ(std::u16string(small, 4), u"abcd");

    WCHAR big[8];
    UNICODE_STRING roomy{0, sizeof(big), big};
    RtlCopyUnicodeString(&roomy, src.get());
    EXPECT_EQ(roomy.Length, 12);
    EXPECT_EQ(big[6], 0);
    RtlCopyUnicodeString(&roomy, nullptr);
    EXPECT_EQ(roomy.Length, 0);
}

TEST_F(RtlString, AppendIsAllOrNothing) {
    WCHAR buffer[6];
    UNICODE_STRING dest{0, sizeof(buffer), buffer};
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"abc"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"defg"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(sim::ToU16(dest), u"abc");
    sim::UString tail(u"de");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dest, tail.get()), STATUS_SUCCESS);
    EXPECT_EQ(sim::ToU16(dest), u"abcde");
    EXPECT_EQ(buffer[5], 0);
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"f"), STATUS_SUCCESS);  // fills the buffer exactly
    EXPECT_EQ(sim::ToU16(dest), u"abcdef");
}

TEST_F(RtlString, CompareWithAndWithoutCase) {
    sim::UString a(u"GlobalTopo"), b(u"globaltopo"), c(u"GlobalTop"), d(u"\u00e9t\u00e9"), e(u"\u00c9T\u00c9");
    EXPECT_TRUE(RtlEqualUnicodeString(a.get(), b.get(), TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(a.get(), b.get(), FALSE));
    EXPECT_LT(RtlCompareUnicodeString(a.get(), b.get(), FALSE), 0);  // 'G' sorts before 'g'
    EXPECT_GT(RtlCompareUnicodeString(a.get(), c.get(), TRUE), 0);   // longer after its prefix
    EXPECT_TRUE(RtlEqualUnicodeString(d.get(), e.get(), TRUE));
    EXPECT_EQ(_wcsicmp(u"Settings", u"SETTINGS"), 0);
    EXPECT_NE(wcscmp(u"Settings", u"SETTINGS"), 0);
    WCHAR id[] = u"usb\\vid_1234&pid_abcd";
    EXPECT_EQ(std::u16string(_wcsupr(id)), u"USB\\VID_1234&PID_ABCD");
}

TEST_F(RtlString, UnicodeToAnsiAllocatesOrFitsOrOverflows) {
    sim::UString src(u"Head\u0101set");
    ANSI_STRING owned;
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&owned, src.get(), TRUE), STATUS_SUCCESS);
    EXPECT_STREQ(owned.Buffer, "Head?set");
    EXPECT_EQ(owned.Length, 8);
    RtlFreeAnsiString(&owned);
    EXPECT_EQ(owned.Buffer, nullptr);

    char buffer[5] = "zzzz";
    ANSI_STRING dest{0, sizeof(buffer), buffer};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&dest, src.get(), FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(buffer, "Head");

    sim::PoolFailNth(1);
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&owned, src.get(), TRUE), STATUS_NO_MEMORY);
}

TEST_F(RtlString, AnsiToUnicodeWidensLatin1) {
    ANSI_STRING src;
    RtlInitAnsiString(&src, "caf\xe9");
    UNICODE_STRING owned;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&owned, &src, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(sim::ToU16(owned), u"caf\u00e9");
    EXPECT_EQ(owned.Buffer[4], 0);
    RtlFreeUnicodeString(&owned);

    WCHAR small[3];
    UNICODE_STRING dest{0, sizeof(small), small};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&dest, &src, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(dest.Length, 0);
}

struct IntegerCase {
    const char* name;
    const char16_t* text;
    ULONG base;
    ULONG value;
};

std::ostream& operator<<(std::ostream& os, const IntegerCase& c) { return os << c.name; }

class UnicodeToInteger : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(UnicodeToInteger, Parses) {
    sim::UString text(GetParam().text);
    ULONG value = 0xDEAD;
    EXPECT_EQ(RtlUnicodeStringToInteger(text.get(), GetParam().base, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Rtl, UnicodeToInteger,
                         ::testing::Values(IntegerCase{"Decimal", u"123", 10, 123},
                                           IntegerCase{"BlanksAndMinus", u"  -5", 10, 0xFFFFFFFBu},
                                           IntegerCase{"HexPrefix", u"0x1F", 0, 31},
                                           IntegerCase{"BinaryPrefix", u"0b101", 0, 5},
                                           IntegerCase{"OctalPrefix", u"0o17", 0, 15},
                                           IntegerCase{"HexBase", u"ff", 16, 255},
                                           IntegerCase{"StopsAtNonDigit", u"12ab", 10, 12},
                                           IntegerCase{"Empty", u"", 10, 0},
                                           IntegerCase{"WrapsAt32Bits", u"4294967296", 10, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RtlString, IntegerConversionsRejectBadBasesAndShortBuffers) {
    sim::UString text(u"10");
    ULONG value = 7;
    EXPECT_EQ(RtlUnicodeStringToInteger(text.get(), 3, &value), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(value, 7u);
    WCHAR buffer[4];
    UNICODE_STRING out{0, sizeof(buffer), buffer};
    EXPECT_EQ(RtlIntegerToUnicodeString(0xBEEF, 16, &out), STATUS_SUCCESS);
    EXPECT_EQ(sim::ToU16(out), u"BEEF");
    EXPECT_EQ(RtlIntegerToUnicodeString(12345, 10, &out), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(RtlIntegerToUnicodeString(1, 7, &out), STATUS_INVALID_PARAMETER);
}

TEST_F(RtlString, GuidRoundTripsThroughUpperCaseText) {
    const GUID g = {0x3D0DAAE8, 0x86B7, 0x47A3, {0x9F, 0x90, 0x50, 0x7E, 0x9E, 0xDB, 0xC4, 0x33}};
    UNICODE_STRING text;
    ASSERT_EQ(RtlStringFromGUID(g, &text), STATUS_SUCCESS);
    EXPECT_EQ(sim::ToU16(text), u"{3D0DAAE8-86B7-47A3-9F90-507E9EDBC433}");
    GUID back{};
    EXPECT_EQ(RtlGUIDFromString(&text, &back), STATUS_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(g, back));
    RtlFreeUnicodeString(&text);

    sim::UString lower(u"{3d0daae8-86b7-47a3-9f90-507e9edbc433}");
    EXPECT_EQ(RtlGUIDFromString(lower.get(), &back), STATUS_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(g, back));
    for (const char16_t* bad : {u"3D0DAAE8-86B7-47A3-9F90-507E9EDBC433", u"{3D0DAAE8-86B7-47A3-9F90507E9EDBC433}}",
                                u"{3D0DAAE8-86B7-47A3-9F90-507E9EDBC43G}", u"{3D0DAAE8+86B7-47A3-9F90-507E9EDBC433}"}) {
        sim::UString s(bad);
        GUID untouched = g;
        EXPECT_EQ(RtlGUIDFromString(s.get(), &untouched), STATUS_INVALID_PARAMETER) << sim::ToUtf8(bad);
        EXPECT_TRUE(IsEqualGUID(untouched, g));
    }
}

TEST_F(RtlString, CompareMemoryCountsTheEqualPrefix) {
    const UCHAR a[] = {1, 2, 3, 4};
    const UCHAR b[] = {1, 2, 9, 4};
    EXPECT_EQ(RtlCompareMemory(a, b, 4), 2u);
    EXPECT_EQ(RtlCompareMemory(a, a, 4), 4u);
    EXPECT_TRUE(RtlEqualMemory(a, b, 2));
}

TEST(SimStrings, Utf8RoundTripAndMalformedInput) {
    std::u16string text = u"Gr\u00fc\u00dfe \U0001F3A7 \u4e2d";
    EXPECT_EQ(sim::FromUtf8(sim::ToUtf8(text)), text);
    EXPECT_EQ(sim::ToUtf8(u"a\xD800z"), "a\xEF\xBF\xBDz");        // unpaired surrogate
    EXPECT_EQ(sim::FromUtf8("a\xC0\xAFz"), u"a\uFFFD\uFFFDz");   // overlong form
    EXPECT_EQ(sim::FromUtf8("\xE2\x82"), u"\uFFFD");              // cut sequence
}

}  // namespace
