// The registry image as the host program's state file: values written in
// name order whatever order they were set in, and a malformed file
// refused with the number of its first bad line, nothing loaded.
#include "registry_test_util.h"

namespace {

using regtest::kSoftware;
using regtest::RegistryTest;

const std::u16string kKey = std::u16string(kSoftware) + u"\\Host";

TEST_F(RegistryTest, ValuesAreWrittenInNameOrderWithoutCase) {
    for (const char16_t* name : {u"b", u"C", u"a"}) ASSERT_EQ(sim::RegistrySetDword(kKey, name, 1), STATUS_SUCCESS);
    std::string image = sim::RegistryImage();
    size_t a = image.find("value \"a\""), b = image.find("value \"b\""), c = image.find("value \"C\"");
    ASSERT_NE(a, std::string::npos);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
}

struct BadImageCase {
    const char* name;
    std::string image;
    size_t line;
};

class BadImageTest : public RegistryTest, public ::testing::WithParamInterface<BadImageCase> {};

TEST_P(BadImageTest, NamesTheLineAndLoadsNothing) {
    ASSERT_EQ(sim::RegistrySetDword(kKey, u"Keep", 7), STATUS_SUCCESS);
    size_t line = 99;
    EXPECT_EQ(sim::RegistryLoadImage(GetParam().image, &line), STATUS_REGISTRY_CORRUPT);
    EXPECT_EQ(line, GetParam().line);
    EXPECT_TRUE(sim::RegistryGetValue(kKey, u"Keep").has_value());
}

const std::string kHeader = "registry-image 1\n";
const std::string kKeyLine = "key \"\\Registry\\Machine\\SOFTWARE\\Host\"\n";

INSTANTIATE_TEST_SUITE_P(
    Images, BadImageTest,
    ::testing::Values(BadImageCase{"Empty", "", 1}, BadImageCase{"NoHeader", "# only a comment\n\n", 2},
                      BadImageCase{"WrongHeader", "registry-image 2\n", 1},
                      BadImageCase{"ValueBeforeKey", kHeader + "value \"a\" REG_DWORD 01000000\n", 2},
                      BadImageCase{"OddHex", kHeader + kKeyLine + "value \"a\" REG_DWORD 0100000\n", 3},
                      BadImageCase{"UnknownType", kHeader + "\n" + kKeyLine + "value \"a\" REG_FOO 01\n", 4},
                      BadImageCase{"OpenQuote", kHeader + "key \"\\Registry\\Machine\n", 2},
                      BadImageCase{"CrlfLineCount", "registry-image 1\r\n" + kKeyLine + "junk\r\n", 3}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
