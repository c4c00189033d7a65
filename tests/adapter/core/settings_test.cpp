// The settings store over a port-class FDO: what reads copy, what they
// leave alone, the read classes, type refusal before any key opens,
// subkeys, creation on first write and indexed names.
#include <gtest/gtest.h>

#include <optional>

#include "adapter/settings.h"
#include "nt/zw.h"
#include "sim/debug.h"
#include "sim/registry.h"
#include "tests/fakes/adapter/driver_fixture.h"

namespace {

const std::u16string kSettingsKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
    u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0001\\Settings";

constexpr UCHAR kCanary = 0xAA;

struct StoreCase {
    const char* name;
    // Stored before the read (none: nothing stored).
    std::optional<sim::RegistryValue> stored;
    const char16_t* storedSubkey;  // below "Settings", or NULL
    // The read.
    const char16_t* readSubkey;
    ULONG readType;
    ULONG readLength;
    NTSTATUS status;
    std::vector<UCHAR> buffer;  // the caller's buffer afterwards (readLength bytes)
};

std::ostream& operator<<(std::ostream& out, const StoreCase& c) { return out << c.name; }

class SettingsStoreTest : public fakes::DriverTest, public ::testing::WithParamInterface<StoreCase> {};

TEST_P(SettingsStoreTest, ReadsAsTheStoreRulesSay) {
    const StoreCase& c = GetParam();
    LoadAndAdd();
    if (c.stored) {
        std::u16string key = kSettingsKey + (c.storedSubkey ? u"\\" + std::u16string(c.storedSubkey) : u"");
        ASSERT_EQ(sim::RegistrySetValue(key, u"Value", c.stored->type, c.stored->data), STATUS_SUCCESS);
    }
    std::vector<UCHAR> buffer(c.readLength + 1, kCanary);
    uint64_t keysBefore = sim::PcCallCount(sim::PcCall::NewRegistryKey);
    EXPECT_EQ(AccessSettingsValue(Fdo(), SETTINGS_OP_READ, c.readSubkey, u"Value", c.readType, buffer.data(),
                                  c.readLength),
              c.status);
    EXPECT_EQ(std::vector<UCHAR>(buffer.begin(), buffer.begin() + c.readLength), c.buffer);
    EXPECT_EQ(buffer[c.readLength], kCanary) << "wrote past the caller's buffer";
    if (c.readType == REG_EXPAND_SZ) {
        EXPECT_EQ(sim::PcCallCount(sim::PcCall::NewRegistryKey), keysBefore) << "a key was opened";
    }
    EXPECT_EQ(sim::RegistryOpenKeyCount(), 0u);
}

sim::RegistryValue Binary(std::vector<uint8_t> bytes) { return {REG_BINARY, bytes}; }

INSTANTIATE_TEST_SUITE_P(
    Table, SettingsStoreTest,
    ::testing::Values(
        StoreCase{"FourIntoFour", Binary({1, 2, 3, 4}), NULL, NULL, REG_BINARY, 4, STATUS_SUCCESS, {1, 2, 3, 4}},
        // A record of the wrong length reads as missing: the caller's default applies.
        StoreCase{"FourIntoTwoIsRefused", Binary({1, 2, 3, 4}), NULL, NULL, REG_BINARY, 2,
                  STATUS_OBJECT_NAME_NOT_FOUND, {kCanary, kCanary}},
        StoreCase{"TwoIntoFourIsIgnored", Binary({1, 2}), NULL, NULL, REG_BINARY, 4, STATUS_OBJECT_NAME_NOT_FOUND,
                  {kCanary, kCanary, kCanary, kCanary}},
        StoreCase{"ExpandSzRefusedFirst", Binary({1, 2, 3, 4}), NULL, NULL, REG_EXPAND_SZ, 4, STATUS_UNSUCCESSFUL,
                  {kCanary, kCanary, kCanary, kCanary}},
        StoreCase{"SzReadAsBytes", sim::RegistryValue{REG_SZ, {'A', 0, 'B', 0, 0, 0}}, NULL, NULL, REG_SZ, 6,
                  STATUS_SUCCESS, {'A', 0, 'B', 0, 0, 0}},
        StoreCase{"Missing", std::nullopt, NULL, NULL, REG_BINARY, 4, STATUS_OBJECT_NAME_NOT_FOUND,
                  {kCanary, kCanary, kCanary, kCanary}},
        StoreCase{"InSubkey", Binary({7, 8}), u"Sub", u"Sub", REG_BINARY, 2, STATUS_SUCCESS, {7, 8}},
        StoreCase{"SubkeyValueNotInSettings", Binary({7, 8}), u"Sub", NULL, REG_BINARY, 2,
                  STATUS_OBJECT_NAME_NOT_FOUND, {kCanary, kCanary}}),
    [](const ::testing::TestParamInfo<StoreCase>& info) { return std::string(info.param.name); });

// One read class against stored values of every shape: the caller's
// variable takes the value, or stays exactly as it was.
struct ClassCase {
    const char* name;
    ULONG readClass;  // the read's type argument
    sim::RegistryValue stored;
    ULONG readLength;
    NTSTATUS status;
    std::vector<UCHAR> buffer;  // the caller's buffer afterwards (readLength bytes)
    bool logged;                // a debugger line names the ignored value
};

std::ostream& operator<<(std::ostream& out, const ClassCase& c) { return out << c.name; }

class ReadClassTest : public fakes::DriverTest, public ::testing::WithParamInterface<ClassCase> {};

TEST_P(ReadClassTest, TakesOnlyTheExpectedShape) {
    const ClassCase& c = GetParam();
    LoadAndAdd();
    ASSERT_EQ(sim::RegistrySetValue(kSettingsKey, u"Value", c.stored.type, c.stored.data), STATUS_SUCCESS);
    sim::ClearDebugOutput();
    std::vector<UCHAR> buffer(c.readLength + 1, kCanary);
    EXPECT_EQ(AccessSettingsValue(Fdo(), SETTINGS_OP_READ, NULL, u"Value", c.readClass, buffer.data(), c.readLength),
              c.status);
    EXPECT_EQ(std::vector<UCHAR>(buffer.begin(), buffer.begin() + c.readLength), c.buffer);
    EXPECT_EQ(buffer[c.readLength], kCanary) << "wrote past the caller's buffer";
    const std::string debug = sim::DebugOutput();
    EXPECT_EQ(debug.find("Settings value Value ignored") != std::string::npos, c.logged) << debug;
    EXPECT_EQ(sim::RegistryOpenKeyCount(), 0u);
}

constexpr ULONG kUnknownType = 0x1234;
const std::vector<UCHAR> kUntouched4 = {kCanary, kCanary, kCanary, kCanary};
const std::vector<UCHAR> kUntouched8(8, kCanary);
const sim::RegistryValue kTextOne = {REG_SZ, {'1', 0, 0, 0}};
const sim::RegistryValue kDword = {REG_DWORD, {1, 2, 3, 4}};
sim::RegistryValue Bytes(size_t count) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = (uint8_t)(i + 1);
    return {REG_BINARY, bytes};
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadClassTest,
    ::testing::Values(
        // Fixed records (levels, name GUIDs): exactly the caller's bytes.
        ClassCase{"RecordExact", REG_BINARY, Bytes(4), 4, STATUS_SUCCESS, {1, 2, 3, 4}, false},
        ClassCase{"RecordDword", REG_BINARY, kDword, 4, STATUS_SUCCESS, {1, 2, 3, 4}, false},
        ClassCase{"RecordGuid", REG_BINARY, Bytes(16), 16, STATUS_SUCCESS,
                  {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, false},
        ClassCase{"RecordShort", REG_BINARY, Bytes(3), 4, STATUS_OBJECT_NAME_NOT_FOUND, kUntouched4, true},
        ClassCase{"RecordOneByte", REG_BINARY, Bytes(1), 4, STATUS_OBJECT_NAME_NOT_FOUND, kUntouched4, true},
        ClassCase{"RecordLong", REG_BINARY, Bytes(5), 4, STATUS_OBJECT_NAME_NOT_FOUND, kUntouched4, true},
        ClassCase{"RecordFarTooLong", REG_BINARY, Bytes(64), 4, STATUS_OBJECT_NAME_NOT_FOUND, kUntouched4, true},
        ClassCase{"RecordText", REG_BINARY, kTextOne, 4, STATUS_OBJECT_NAME_NOT_FOUND, kUntouched4, true},
        ClassCase{"RecordUnknownType", REG_BINARY, {kUnknownType, {1, 2, 3, 4}}, 4, STATUS_OBJECT_NAME_NOT_FOUND,
                  kUntouched4, true},
        ClassCase{"RecordDwordIntoTwo", REG_BINARY, kDword, 2, STATUS_OBJECT_NAME_NOT_FOUND, {kCanary, kCanary},
                  true},
        // Numbers and switches: shorter REG_BINARY values zero-extended.
        ClassCase{"NumberOneByte", REG_DWORD, Bytes(1), 4, STATUS_SUCCESS, {1, 0, 0, 0}, false},
        ClassCase{"NumberThreeBytes", REG_DWORD, Bytes(3), 4, STATUS_SUCCESS, {1, 2, 3, 0}, false},
        ClassCase{"NumberExact", REG_DWORD, Bytes(4), 4, STATUS_SUCCESS, {1, 2, 3, 4}, false},
        ClassCase{"NumberDword", REG_DWORD, kDword, 4, STATUS_SUCCESS, {1, 2, 3, 4}, false},
        ClassCase{"NumberOneByteSwitch", REG_DWORD, Bytes(1), 1, STATUS_SUCCESS, {1}, false},
        ClassCase{"NumberEmpty", REG_DWORD, Bytes(0), 4, STATUS_OBJECT_NAME_NOT_FOUND, kUntouched4, true},
        ClassCase{"NumberLong", REG_DWORD, Bytes(5), 4, STATUS_OBJECT_NAME_NOT_FOUND, kUntouched4, true},
        ClassCase{"NumberFarTooLong", REG_DWORD, Bytes(64), 4, STATUS_OBJECT_NAME_NOT_FOUND, kUntouched4, true},
        ClassCase{"NumberText", REG_DWORD, kTextOne, 4, STATUS_OBJECT_NAME_NOT_FOUND, kUntouched4, true},
        ClassCase{"NumberUnknownType", REG_DWORD, {kUnknownType, {1}}, 4, STATUS_OBJECT_NAME_NOT_FOUND, kUntouched4,
                  true},
        ClassCase{"NumberDwordIntoOneByte", REG_DWORD, kDword, 1, STATUS_OBJECT_NAME_NOT_FOUND, {kCanary}, true},
        // Variable length (file names): any type up to the buffer's size.
        ClassCase{"VariableShort", REG_SZ, kTextOne, 8, STATUS_SUCCESS,
                  {'1', 0, 0, 0, kCanary, kCanary, kCanary, kCanary}, false},
        ClassCase{"VariableExact", REG_SZ, Bytes(8), 8, STATUS_SUCCESS, {1, 2, 3, 4, 5, 6, 7, 8}, false},
        ClassCase{"VariableLong", REG_SZ, Bytes(9), 8, STATUS_UNSUCCESSFUL, kUntouched8, false},
        ClassCase{"VariableFarTooLong", REG_SZ, Bytes(64), 8, STATUS_BUFFER_OVERFLOW, kUntouched8, false},
        ClassCase{"VariableOtherType", REG_SZ, Bytes(2), 8, STATUS_SUCCESS,
                  {1, 2, kCanary, kCanary, kCanary, kCanary, kCanary, kCanary}, false}),
    [](const ::testing::TestParamInfo<ClassCase>& info) { return std::string(info.param.name); });

class SettingsTest : public fakes::DriverTest {};

TEST_F(SettingsTest, FirstWriteCreatesTheSettingsKeyAndSubkey) {
    LoadAndAdd();
    ASSERT_FALSE(sim::RegistryKeyExists(kSettingsKey));
    ULONG value = 0x11223344;
    EXPECT_EQ(SettingsBinaryValue(Fdo(), SETTINGS_OP_WRITE, &value, 4, u"IniVersion"), STATUS_SUCCESS);
    auto stored = sim::RegistryGetValue(kSettingsKey, u"IniVersion");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->type, (ULONG)REG_BINARY);
    EXPECT_EQ(stored->data, (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11}));

    WCHAR text[] = u"x";
    EXPECT_EQ(AccessSettingsValue(Fdo(), SETTINGS_OP_WRITE, u"Profile", u"Name", REG_SZ, text, 4), STATUS_SUCCESS);
    EXPECT_TRUE(sim::RegistryGetValue(kSettingsKey + u"\\Profile", u"Name").has_value());
    EXPECT_EQ(sim::RegistryOpenKeyCount(), 0u);
}

// A number keeps the REG_BINARY form of the values stored by earlier starts
// and reads back whole.
TEST_F(SettingsTest, NumberIsStoredAsBinaryAndReadsBack) {
    LoadAndAdd();
    ULONG value = 0x01020304;
    EXPECT_EQ(SettingsNumberValue(Fdo(), SETTINGS_OP_WRITE, &value, 4, u"Number"), STATUS_SUCCESS);
    auto stored = sim::RegistryGetValue(kSettingsKey, u"Number");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->type, (ULONG)REG_BINARY);
    ULONG read = 0xAAAAAAAA;
    EXPECT_EQ(SettingsNumberValue(Fdo(), SETTINGS_OP_READ, &read, 4, u"Number"), STATUS_SUCCESS);
    EXPECT_EQ(read, value);
}

struct IndexedCase {
    const char* name;
    std::u16string base;
    LONG index;
    NTSTATUS status;
    std::u16string valueName;  // empty: nothing written
};

std::ostream& operator<<(std::ostream& out, const IndexedCase& c) { return out << c.name; }

class IndexedNameTest : public fakes::DriverTest, public ::testing::WithParamInterface<IndexedCase> {};

TEST_P(IndexedNameTest, NamesTheValueOrRefuses) {
    const IndexedCase& c = GetParam();
    LoadAndAdd();
    ULONG value = 5;
    EXPECT_EQ(SettingsBinaryValueIndexed(Fdo(), SETTINGS_OP_WRITE, &value, 4, c.base.c_str(), c.index), c.status);
    std::vector<std::u16string> names =
        sim::RegistryKeyExists(kSettingsKey) ? sim::RegistryValueNames(kSettingsKey) : std::vector<std::u16string>();
    if (c.valueName.empty()) {
        EXPECT_TRUE(names.empty());
    } else {
        EXPECT_EQ(names, std::vector<std::u16string>{c.valueName});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, IndexedNameTest,
    ::testing::Values(IndexedCase{"OneDigit", u"Unit", 3, STATUS_SUCCESS, u"Unit3"},
                      IndexedCase{"TwoDigits", u"Unit", 12, STATUS_SUCCESS, u"Unit12"},
                      IndexedCase{"Negative", u"Unit", -1, STATUS_SUCCESS, u"Unit-1"},
                      // 47 + 2 characters and the terminator fit exactly.
                      IndexedCase{"FitsExactly", std::u16string(47, u'N'), 12, STATUS_SUCCESS,
                                  std::u16string(47, u'N') + u"12"},
                      // A cut name would alias another value.
                      IndexedCase{"TooLongIsRefused", std::u16string(48, u'N'), 12, STATUS_INVALID_PARAMETER, u""}),
    [](const ::testing::TestParamInfo<IndexedCase>& info) { return std::string(info.param.name); });

}  // namespace
