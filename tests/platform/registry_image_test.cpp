// Registry image: save and load round trip ("reboot"), malformed images and
// the backing file that keeps the host program's settings.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "registry_test_util.h"

namespace {

using regtest::kSoftware;
using regtest::RegistryTest;

const std::u16string kSettings = std::u16string(kSoftware) + u"\\Driver\\0000\\Settings";

struct StoredValue {
    std::u16string name;
    ULONG type;
    std::vector<uint8_t> data;
};

// Every value type, empty data, and names that need escaping.
std::vector<StoredValue> SampleValues() {
    return {
        {u"Unit03_ 5_", REG_BINARY, {0x00, 0x80, 0xFF, 0x7F}},
        {u"ModuleName", REG_SZ, {'A', 0, '.', 0, 'I', 0, 0, 0}},
        {u"Path", REG_EXPAND_SZ, {'%', 0, 'X', 0, 0, 0}},
        {u"Enabled", REG_DWORD, {1, 0, 0, 0}},
        {u"List", REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}},
        {u"Big", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {u"Nothing", REG_NONE, {}},
        {u"Odd \"quoted\" 100% caf\u00e9 \u4e2d\n", 0x1234, {0xAB}},
        {u"", REG_SZ, {}},
    };
}

void StoreSamples() {
    for (const auto& v : SampleValues()) ASSERT_EQ(sim::RegistrySetValue(kSettings, v.name, v.type, v.data), STATUS_SUCCESS);
}

void ExpectSamples() {
    for (const auto& v : SampleValues()) {
        auto stored = sim::RegistryGetValue(kSettings, v.name);
        ASSERT_TRUE(stored.has_value()) << sim::ToUtf8(v.name);
        EXPECT_EQ(stored->type, v.type) << sim::ToUtf8(v.name);
        EXPECT_EQ(stored->data, v.data) << sim::ToUtf8(v.name);
    }
}

TEST_F(RegistryTest, SaveAndLoadRoundTripEveryValueType) {
    StoreSamples();
    HANDLE run;
    ASSERT_EQ(Create(std::u16string(kSoftware) + u"\\Volatile", &run, KEY_ALL_ACCESS, nullptr,
                     OBJ_CASE_INSENSITIVE, REG_OPTION_VOLATILE),
              STATUS_SUCCESS);
    ZwClose(run);
    ASSERT_EQ(sim::RegistryCreateKey(std::u16string(kSoftware) + u"\\EmptyKey"), STATUS_SUCCESS);
    std::string image = sim::RegistryImage();
    std::string path = TempPath("registry.txt");
    ASSERT_EQ(sim::RegistrySave(path), STATUS_SUCCESS);

    sim::RegistryReset();  // the "reboot"
    EXPECT_FALSE(sim::RegistryGetValue(kSettings, u"Enabled").has_value());
    ASSERT_EQ(sim::RegistryLoad(path), STATUS_SUCCESS);
    ExpectSamples();
    EXPECT_TRUE(sim::RegistryKeyExists(std::u16string(kSoftware) + u"\\EmptyKey"));
    EXPECT_FALSE(sim::RegistryKeyExists(std::u16string(kSoftware) + u"\\Volatile"));
    EXPECT_EQ(sim::RegistryImage(), image);
    std::remove(path.c_str());
}

TEST_F(RegistryTest, LoadedValuesAnswerZwQueries) {
    ASSERT_EQ(sim::RegistryLoadImage("registry-image 1\n"
                                     "# settings of a simulated install\n"
                                     "key \"\\Registry\\Machine\\SOFTWARE\\Driver\\0000\\Settings\"\n"
                                     "value \"IniVersion\" REG_BINARY 03000000\n"),
              STATUS_SUCCESS);
    HANDLE key;
    ASSERT_EQ(Open(kSettings, &key, KEY_QUERY_VALUE), STATUS_SUCCESS);
    UCHAR buffer[32];
    ULONG result;
    ASSERT_EQ(Query(key, u"IniVersion", KeyValuePartialInformation, buffer, sizeof(buffer), &result), STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    EXPECT_EQ(info->Type, ULONG(REG_BINARY));
    EXPECT_EQ(*reinterpret_cast<ULONG*>(info->Data), 3u);
    ZwClose(key);
}

class MalformedImage : public RegistryTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(MalformedImage, IsRefusedAndChangesNothing) {
    ASSERT_EQ(sim::RegistrySetDword(kSettings, u"Keep", 9), STATUS_SUCCESS);
    std::string before = sim::RegistryImage();
    EXPECT_EQ(sim::RegistryLoadImage(GetParam()), STATUS_REGISTRY_CORRUPT);
    EXPECT_EQ(sim::RegistryImage(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Registry, MalformedImage,
    ::testing::Values("", "registry-image 2\n", "key \"\\Registry\\Machine\"\n",
                      "registry-image 1\nvalue \"A\" REG_DWORD 01000000\n",
                      "registry-image 1\nkey \"\\Registry\\Machine\" extra\n",
                      "registry-image 1\nkey \"\\Elsewhere\\Machine\"\n",
                      "registry-image 1\nkey \"\\Registry\\\\Machine\"\n",
                      "registry-image 1\nkey \"\\Registry\\Machine\nvalue \"A\" REG_DWORD 01\n",
                      "registry-image 1\nkey \"\\Registry\\Machine\"\nvalue \"A\" REG_DWORD 0\n",
                      "registry-image 1\nkey \"\\Registry\\Machine\"\nvalue \"A\" REG_DWORD zz\n",
                      "registry-image 1\nkey \"\\Registry\\Machine\"\nvalue \"A\" REG_WORD 00\n",
                      "registry-image 1\nkey \"\\Registry\\Machine\"\nvalue \"A\" 99999999999 00\n",
                      "registry-image 1\nkey \"\\Registry\\Machine\"\nvalue \"A%00\" REG_DWORD 00\n",
                      "registry-image 1\nkey \"\\Registry\\Machine\"\nvalue \"A\" REG_DWORD\n",
                      "registry-image 1\nkey \"\\Registry\\Machine\"\nbogus line\n"));

TEST_F(RegistryTest, BackingFileKeepsSettingsAcrossARestart) {
    std::string path = TempPath("backing.txt");
    std::remove(path.c_str());
    ASSERT_EQ(sim::RegistrySetBackingFile(path), STATUS_SUCCESS);  // created empty
    HANDLE key;
    ASSERT_EQ(Create(std::u16string(kSoftware) + u"\\Driver", &key), STATUS_SUCCESS);
    ULONG latency = 4;
    ASSERT_EQ(Set(key, u"ASIOMLDataLatency", REG_BINARY, &latency, 4), STATUS_SUCCESS);
    EXPECT_EQ(ZwFlushKey(key), STATUS_SUCCESS);
    ZwClose(key);

    sim::RegistryReset();  // the host program ends; a new one starts
    ASSERT_EQ(sim::RegistrySetBackingFile(path), STATUS_SUCCESS);
    auto stored = sim::RegistryGetValue(std::u16string(kSoftware) + u"\\Driver", u"ASIOMLDataLatency");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->data, (std::vector<uint8_t>{4, 0, 0, 0}));

    std::ofstream(path) << "garbage\n";
    sim::RegistryReset();
    EXPECT_EQ(sim::RegistrySetBackingFile(path), STATUS_REGISTRY_CORRUPT);
    std::remove(path.c_str());
    EXPECT_EQ(sim::RegistryLoad(path), STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
