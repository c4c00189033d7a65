#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/usb/descriptor_file.h"

namespace {

using simusb::Bytes;
using simusb::DescriptorFileError;
using simusb::DescriptorSet;
using simusb::UsbSpeed;

std::string Fixture(const char* name) { return std::string(USB_FIXTURE_DIR) + "/" + name; }

struct FixtureCase {
    const char* name;
    const char* file;
    UsbSpeed speed;
    DescriptorSet (*build)();
};

class DescriptorFixtureTest : public ::testing::TestWithParam<FixtureCase> {};

TEST_P(DescriptorFixtureTest, LoadsTheBuiltSet) {
    const FixtureCase& c = GetParam();
    DescriptorSet loaded;
    DescriptorFileError error;
    ASSERT_TRUE(simusb::LoadDescriptorFile(Fixture(c.file), c.speed, &loaded, &error))
        << error.message;
    EXPECT_TRUE(loaded == c.build());
}

INSTANTIATE_TEST_SUITE_P(
    DescriptorFile, DescriptorFixtureTest,
    ::testing::Values(
        FixtureCase{"Uac1Headset", "uac1_headset.txt", UsbSpeed::Full, simusb::BuildUac1Headset},
        FixtureCase{"Uac2AsyncDevice", "uac2_async_device.txt", UsbSpeed::High,
                    simusb::BuildUac2AsyncDevice}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DescriptorFile, CrlfReplayConcatenatesAndKeepsTrailingBlanks) {
    DescriptorSet loaded;
    DescriptorFileError error;
    ASSERT_TRUE(simusb::LoadDescriptorFile(Fixture("uac1_headset_replay_crlf.txt"),
                                           UsbSpeed::Full, &loaded, &error))
        << error.message;
    DescriptorSet expected = simusb::BuildUac1Headset();
    expected.strings[2] = simusb::BuildStringDescriptor(u"Replayed Headset  ");
    EXPECT_TRUE(loaded == expected);
}

struct ErrorCase {
    const char* name;
    std::string text;
    int line;
    const char* message;
};

class DescriptorFileErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(DescriptorFileErrorTest, NamesTheLineAndLoadsNothing) {
    const ErrorCase& c = GetParam();
    DescriptorSet out;
    out.device = {0xAA};
    DescriptorFileError error;
    EXPECT_FALSE(simusb::ParseDescriptorText(c.text, UsbSpeed::Full, &out, &error));
    EXPECT_EQ(error.line, c.line);
    EXPECT_NE(error.message.find("line " + std::to_string(c.line) + ": "), std::string::npos)
        << error.message;
    EXPECT_NE(error.message.find(c.message), std::string::npos) << error.message;
    EXPECT_EQ(out.device, Bytes{0xAA});
    EXPECT_TRUE(out.configuration.empty());
}

const std::string kHead = "device: 12 01\nconfig: 09 02\n";

// Device and the class 2.0 configuration (clock source 10) on two lines.
std::string Uac2Head() {
    std::string hex;
    for (uint8_t b : simusb::BuildUac2AsyncDevice().configuration) {
        char buf[4];
        std::snprintf(buf, sizeof(buf), "%02x", b);
        hex += buf;
    }
    return "device: 12 01\nconfig: " + hex + "\n";
}
const std::string kUac2Head = Uac2Head();

INSTANTIATE_TEST_SUITE_P(
    DescriptorFile, DescriptorFileErrorTest,
    ::testing::Values(
        ErrorCase{"NoDevice", "# only a comment\nconfig: 09 02\n", 2, "no 'device:'"},
        ErrorCase{"NoConfig", "device: 12 01\n\n", 2, "no 'config:'"},
        ErrorCase{"SecondDevice", kHead + "device: 12\n", 3, "second 'device:'"},
        ErrorCase{"OddDigits", "device: 12 1\n", 1, "odd number"},
        ErrorCase{"NotHex", "\r\n  device: 12 0g\r\n", 2, "not hex"},
        ErrorCase{"EmptyConfig", kHead + "config:   \n", 3, "no bytes"},
        ErrorCase{"UnknownKeyword", kHead + "strings 1: x\n", 3, "unknown keyword"},
        ErrorCase{"NoColon", kHead + "device 12\n", 3, "expected"},
        ErrorCase{"DuplicateStringIndex", kHead + "string 1: a\nstring 0x01 hex: 02 03\n", 4,
                  "second string"},
        ErrorCase{"IndexAbove255", kHead + "string 256: a\n", 3, "bad string index"},
        ErrorCase{"IndexNotNumber", kHead + "string 1a: a\n", 3, "bad string index"},
        ErrorCase{"NoSpaceAfterColon", kHead + "string 1:a\n", 3, "one space"},
        ErrorCase{"InvalidUtf8", kHead + "string 1: \xff\n", 3, "UTF-8"},
        ErrorCase{"OverlongUtf8", kHead + "string 1: \xc0\xaf\n", 3, "UTF-8"},
        ErrorCase{"EncodedSurrogate", kHead + "string 1: \xed\xa0\x80\n", 3, "UTF-8"},
        ErrorCase{"TruncatedUtf8", kHead + "string 1: ab\xe2\x82", 3, "UTF-8"},
        ErrorCase{"TextAbove126Units", kHead + "string 1: " + std::string(127, 'a') + "\n", 3,
                  "126"},
        ErrorCase{"SurrogatePairsAbove126Units",
                  kHead + "string 1: " + [] {
                      std::string s;
                      for (int i = 0; i < 64; ++i) s += "\xf0\x9f\x8e\xb5";
                      return s;
                  }() + "\n",
                  3, "126"},
        ErrorCase{"EmptyStringHex", kHead + "string 3 hex:\n", 3, "no bytes"},
        ErrorCase{"EmptyConfig2", kHead + "config2: \n", 3, "no bytes"},
        ErrorCase{"ClockWithoutClockSources", kHead + "clock 10: 48000\n# end\n", 3,
                  "names no clock source"},
        ErrorCase{"ClockIdNamesATerminal",
                  "device: 12 01\nclock 1: 48000\n" + kUac2Head.substr(14), 2,
                  "names no clock source"},
        ErrorCase{"ClockIdNotNumber", kUac2Head + "clock 0x0g: 48000\n", 3, "bad clock id"},
        ErrorCase{"ClockIdAbove255", kUac2Head + "clock 266: 48000\n", 3, "bad clock id"},
        ErrorCase{"SecondClock", kUac2Head + "clock 10: 48000\nclock 0x0a: 44100\n", 4,
                  "second clock"},
        ErrorCase{"EmptyClockList", kUac2Head + "clock 10: \t \n", 3, "no clock subranges"},
        ErrorCase{"RateNotDecimal", kUac2Head + "clock 10: 48000 0xbb80\n", 3, "'0xbb80'"},
        ErrorCase{"RateAbove32Bits", kUac2Head + "clock 10: 4294967296\n", 3, "bad clock"},
        ErrorCase{"NegativeRate", kUac2Head + "clock 10: -48000\n", 3, "bad clock"},
        ErrorCase{"RangeWithoutResolution", kUac2Head + "clock 10: 8000-96000\n", 3,
                  "MIN-MAX/RES"},
        ErrorCase{"ResolutionBeforeRange", kUac2Head + "clock 10: 8000/1-96000\n", 3,
                  "MIN-MAX/RES"},
        ErrorCase{"RangeMissingMax", kUac2Head + "clock 10: 8000-/1\n", 3, "MIN-MAX/RES"},
        ErrorCase{"MinAboveMax", kUac2Head + "clock 10: 96000-8000/1\n", 3, "MIN above MAX"}),
    [](const auto& info) { return std::string(info.param.name); });

struct TextCase {
    const char* name;
    std::string line;
    std::u16string text;
};

class DescriptorFileTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(DescriptorFileTextTest, StoresTextVerbatimAsUtf16) {
    const TextCase& c = GetParam();
    DescriptorSet set;
    DescriptorFileError error;
    ASSERT_TRUE(simusb::ParseDescriptorText(kHead + c.line + "\r\n", UsbSpeed::High, &set, &error))
        << error.message;
    EXPECT_EQ(set.speed, UsbSpeed::High);
    ASSERT_EQ(set.strings.count(7), 1u);
    EXPECT_EQ(set.strings[7], simusb::BuildStringDescriptor(c.text));
}

INSTANTIATE_TEST_SUITE_P(
    DescriptorFile, DescriptorFileTextTest,
    ::testing::Values(TextCase{"Plain", "string 7: Headset", u"Headset"},
                      TextCase{"TrailingBlanks", "string 7: Head set \t ", u"Head set \t "},
                      TextCase{"LeadingBlanks", "string 0x07:   x", u"  x"},
                      TextCase{"Empty", "string 7:", u""},
                      TextCase{"OnlyTheSeparator", "string 7: ", u""},
                      TextCase{"HashInside", "string 7: # not a comment", u"# not a comment"},
                      TextCase{"NonAscii", "string 7: Kopfh\xc3\xb6rer \xe2\x82\xac",
                               u"Kopfh\u00f6rer \u20ac"},
                      TextCase{"SurrogatePair", "string 7: \xf0\x9f\x8e\xb5!", u"\U0001F3B5!"},
                      TextCase{"Exactly126Units", "string 7: " + std::string(126, 'z'),
                               std::u16string(126, u'z')}),
    [](const auto& info) { return std::string(info.param.name); });

DescriptorSet AwkwardSet() {
    DescriptorSet s = simusb::BuildUac2AsyncDevice();
    s.configuration.push_back(0x00);  // bytes after the last well-formed descriptor
    s.configuration.push_back(0x07);
    s.strings[4] = simusb::BuildStringDescriptor(u"  padded  ");
    s.strings[5] = simusb::BuildStringDescriptor(u"");
    s.strings[6] = simusb::BuildStringDescriptor(u"tab\there");      // control character
    s.strings[7] = Bytes{0x06, 0x03, 0x00, 0xD8, 0x41, 0x00};       // lone surrogate
    s.strings[8] = Bytes{0x09, 0x03, 0x41, 0x00};                   // bLength lies
    s.strings[9] = Bytes{0x04, 0x04, 0x41, 0x00};                   // not a string descriptor
    s.strings[200] = simusb::BuildStringDescriptor(u"\U0001F3B5 note");
    return s;
}

// Two configurations and clock lines of each kind.
DescriptorSet TwoConfigurationSet() {
    DescriptorSet s = simusb::BuildUac2AsyncDevice();
    s.configuration2 = simusb::BuildUac1Headset().configuration;
    s.configuration2.push_back(0x01);  // a stray byte after the last descriptor
    s.clocks[10] = {{44100, 44100, 0}, {8000, 192000, 1}, {48000, 48000, 0},
                    {4294967295u, 4294967295u, 7}};
    return s;
}

TEST(DescriptorFile, ClockLinesKeepTheirSubrangesInOrder) {
    DescriptorSet loaded;
    DescriptorFileError error;
    ASSERT_TRUE(simusb::ParseDescriptorText(
        kUac2Head + "  clock 0x0A:\t96000  8000-96000/0 44100-44100/0 0\r\n", UsbSpeed::High,
        &loaded, &error))
        << error.message;
    const std::vector<simusb::ClockSubrange> expected = {
        {96000, 96000, 0}, {8000, 96000, 0}, {44100, 44100, 0}, {0, 0, 0}};
    EXPECT_EQ(loaded.clocks.at(10), expected);
    EXPECT_EQ(loaded.clocks.size(), 1u);
    EXPECT_TRUE(loaded.configuration2.empty());
}

TEST(DescriptorFile, RoundTripGivesTheSameSet) {
    for (const DescriptorSet& original : {simusb::BuildUac1Headset(),
                                          simusb::BuildUac2AsyncDevice(), AwkwardSet(),
                                          TwoConfigurationSet()}) {
        const std::string text = simusb::FormatDescriptorText(original);
        DescriptorSet back;
        DescriptorFileError error;
        ASSERT_TRUE(simusb::ParseDescriptorText(text, original.speed, &back, &error))
            << error.message << "\n" << text;
        EXPECT_TRUE(back == original) << text;
    }
    const std::string awkward = simusb::FormatDescriptorText(AwkwardSet());
    EXPECT_NE(awkward.find("string 4:   padded  \n"), std::string::npos);
    EXPECT_NE(awkward.find("string 5:\n"), std::string::npos);
    EXPECT_NE(awkward.find("string 6 hex: "), std::string::npos);
    EXPECT_NE(awkward.find("string 7 hex: "), std::string::npos);
    EXPECT_NE(awkward.find("config: 00 07\n"), std::string::npos);
    const std::string two = simusb::FormatDescriptorText(TwoConfigurationSet());
    EXPECT_NE(two.find("\nconfig2: 09 02 "), std::string::npos);
    EXPECT_NE(two.find("\nconfig2: 01\n"), std::string::npos);
    EXPECT_NE(two.find("\nclock 10: 44100 8000-192000/1 48000 4294967295-4294967295/7\n"),
              std::string::npos);
}

}  // namespace
