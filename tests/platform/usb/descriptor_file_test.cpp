#include <gtest/gtest.h>

#include <string>

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
        ErrorCase{"EmptyStringHex", kHead + "string 3 hex:\n", 3, "no bytes"}),
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

TEST(DescriptorFile, RoundTripGivesTheSameSet) {
    for (const DescriptorSet& original :
         {simusb::BuildUac1Headset(), simusb::BuildUac2AsyncDevice(), AwkwardSet()}) {
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
}

}  // namespace
