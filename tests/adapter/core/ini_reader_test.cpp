// The settings-file import end to end over a port-class FDO: INI texts in
// the system root become "Settings" values; version gating; the file name
// from "ModuleName"; the number and value-line scanners on their own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "adapter/ini_reader.h"
#include "adapter/settings.h"
#include "nt/zw.h"
#include "sim/files.h"
#include "sim/registry.h"
#include "tests/fakes/adapter/driver_fixture.h"

namespace {

const std::u16string kSettingsKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
    u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0001\\Settings";
// The harness device's first hardware ID.
const std::string kId = "USB\\VID_0B05&PID_17F3&REV_0100";

// One value the import wrote: subkey ("" for "Settings"), name, type, bytes.
struct Written {
    std::u16string subkey;
    std::u16string name;
    ULONG type;
    std::vector<uint8_t> data;
    bool operator==(const Written& o) const {
        return subkey == o.subkey && name == o.name && type == o.type && data == o.data;
    }
};

std::ostream& operator<<(std::ostream& out, const Written& w) {
    out << std::string(w.subkey.begin(), w.subkey.end()) << "\\" << std::string(w.name.begin(), w.name.end())
        << " type " << w.type << " [";
    for (uint8_t b : w.data) out << " " << std::hex << (int)b << std::dec;
    return out << " ]";
}

// Every value below "Settings" but "IniVersion", subkeys after the key's
// own values.
std::vector<Written> WrittenValues() {
    std::vector<Written> out;
    if (!sim::RegistryKeyExists(kSettingsKey)) return out;
    auto collect = [&](const std::u16string& subkey) {
        std::u16string key = subkey.empty() ? kSettingsKey : kSettingsKey + u"\\" + subkey;
        for (const std::u16string& name : sim::RegistryValueNames(key)) {
            if (name == u"IniVersion" || name == u"ModuleName") continue;
            auto value = sim::RegistryGetValue(key, name);
            out.push_back({subkey, name, value->type, value->data});
        }
    };
    collect(u"");
    for (const std::u16string& subkey : sim::RegistrySubkeys(kSettingsKey)) collect(subkey);
    return out;
}

std::optional<ULONG> StoredIniVersion() {
    auto value = sim::RegistryGetValue(kSettingsKey, u"IniVersion");
    if (!value || value->data.size() != 4) return std::nullopt;
    ULONG v;
    memcpy(&v, value->data.data(), 4);
    return v;
}

std::vector<uint8_t> Utf16(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (char c : text) {
        bytes.push_back((uint8_t)c);
        bytes.push_back(0);
    }
    return bytes;
}

// "[VERSION]", "[TAVREL]" selecting profile "Prof" for the device, then
// the given profile lines. Lines are joined with CR LF, the last one too.
std::string IniFile(const std::vector<std::string>& profileLines, const std::string& version = "Version=3") {
    std::string text = "[VERSION]\r\n" + version + "\r\n[TAVREL]\r\n" + kId + " = Prof\r\n";
    for (const std::string& line : profileLines) text += line + "\r\n";
    return text;
}

class IniImportTest : public fakes::DriverTest {
protected:
    void Import() {
        CIniReader reader(Fdo());
        reader.Import();
    }
    fakes::ScopedSystemRoot m_Root;
};

struct IniCase {
    const char* name;
    std::string file;
    std::vector<Written> written;
};

std::ostream& operator<<(std::ostream& out, const IniCase& c) { return out << c.name; }

class IniImportTable : public IniImportTest, public ::testing::WithParamInterface<IniCase> {};

TEST_P(IniImportTable, WritesExactlyTheProfilesValues) {
    LoadAndAdd();
    m_Root.Write("BRONTALWORKS_ORLU.INI", GetParam().file);
    Import();
    EXPECT_EQ(WrittenValues(), GetParam().written);
    EXPECT_EQ(sim::FileOpenCount(), 0u);
    EXPECT_EQ(sim::RegistryOpenKeyCount(), 0u);
}

Written Binary(const char16_t* name, std::vector<uint8_t> data, const char16_t* subkey = u"") {
    return {subkey, name, REG_BINARY, data};
}
Written Text(const char16_t* name, const std::string& text, const char16_t* subkey = u"") {
    return {subkey, name, REG_SZ, Utf16(text)};
}

std::string Repeat(const std::string& s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
}

// 256 four-byte numbers fill the 1024 data bytes; one more is too many.
std::string Numbers(size_t count) {
    std::string line = "Big =";
    for (size_t i = 0; i < count; ++i) line += " 1";
    return line;
}
std::vector<uint8_t> OnesAsUlongs(size_t count) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < count; ++i) bytes.insert(bytes.end(), {1, 0, 0, 0});
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Table, IniImportTable,
    ::testing::Values(
        IniCase{"NumbersInTokenOrder", IniFile({"[Prof]", "Val = 1, 0x02, 3"}),
                {Binary(u"Val", {1, 0, 0, 0, 2, 3, 0, 0, 0})}},
        IniCase{"SixCharacterHexIsFourBytes", IniFile({"[Prof]", "Big = 0x1234", "Small = 0x12"}),
                {Binary(u"Big", {0x34, 0x12, 0, 0}), Binary(u"Small", {0x12})}},
        IniCase{"TextTokensJoined", IniFile({"[Prof]", "Name = Hello World ; note"}),
                {Text(u"Name", "HelloWorld")}},
        IniCase{"NothingAfterEquals", IniFile({"[Prof]", "Empty ="}), {Written{u"", u"Empty", REG_SZ, {}}}},
        IniCase{"CommentEndsTheSection", IniFile({"[Prof]", "A = 1", "; comment", "B = 2"}),
                {Binary(u"A", {1, 0, 0, 0})}},
        IniCase{"SubkeySection", IniFile({"[Prof:Sub]", "A = 7", "[Prof]", "B = 8"}),
                {Binary(u"B", {8, 0, 0, 0}), Binary(u"A", {7, 0, 0, 0}, u"Sub")}},
        IniCase{"OtherProfileIgnored", IniFile({"[Other]", "A = 1", "[Prof]", "B = 2"}),
                {Binary(u"B", {2, 0, 0, 0})}},
        IniCase{"ProfileBeforeTavrelIsNeverSeen",
                "[Prof]\r\nA = 1\r\n[VERSION]\r\nVersion=3\r\n[TAVREL]\r\n" + kId + " = Prof\r\n",
                {}},
        IniCase{"LastLineWithoutLineBreakIsLost", IniFile({"[Prof]", "A = 1"}) + "B = 2", {Binary(u"A", {1, 0, 0, 0})}},
        IniCase{"LowerCaseIdMatches",
                "[VERSION]\r\nVersion=3\r\n[TAVREL]\r\nusb\\vid_0b05&pid_17f3&rev_0100=Prof\r\n[Prof]\r\nA = 1\r\n",
                {Binary(u"A", {1, 0, 0, 0})}},
        IniCase{"OverlongLineIsConsumedAndNoValue",
                IniFile({"[Prof]", "A = 1", "X = " + std::string(5000, '7'), "[Prof:S2]", "C = 3"}),
                {Binary(u"A", {1, 0, 0, 0}), Binary(u"C", {3, 0, 0, 0}, u"S2")}},
        IniCase{"OverlongTokenIsNoValue", IniFile({"[Prof]", "A = " + std::string(80, 'x'), "B = 2"}), {}},
        IniCase{"LongestTokenIsAValue", IniFile({"[Prof]", "A = " + std::string(79, 'x')}),
                {Text(u"A", std::string(79, 'x'))}},
        IniCase{"OverlongNameIsNoValue", IniFile({"[Prof]", std::string(128, 'N') + " = 1"}), {}},
        IniCase{"MixedTextAndNumbersIsNoValue", IniFile({"[Prof]", "A = abc 1", "B = 2"}), {}},
        IniCase{"ExactlyTheDataLimit", IniFile({"[Prof]", Numbers(256)}), {Binary(u"Big", OnesAsUlongs(256))}},
        IniCase{"OverTheDataLimitIsNoValue", IniFile({"[Prof]", Numbers(257)}), {}},
        IniCase{"TextOverTheDataLimitIsNoValue",
                IniFile({"[Prof]", "T = " + Repeat(std::string(64, 't') + " ", 8) + "u"}), {}},
        IniCase{"OverlongProfileNameMatchesNothing",
                "[VERSION]\r\nVersion=3\r\n[TAVREL]\r\n" + kId + " = " + std::string(50, 'P') + "\r\n[" +
                    std::string(50, 'P') + "]\r\nA = 1\r\n",
                {}},
        IniCase{"OverlongSubkeyMatchesNothing", IniFile({"[Prof:" + std::string(80, 'S') + "]", "A = 1"}), {}},
        IniCase{"LongestSubkey", IniFile({"[Prof:" + std::string(79, 'S') + "]", "A = 1"}),
                {Written{std::u16string(79, u'S'), u"A", REG_BINARY, {1, 0, 0, 0}}}},
        IniCase{"LineWithoutEqualsIsNoValue", IniFile({"[Prof]", "A 1", "B = 2"}), {}}),
    [](const ::testing::TestParamInfo<IniCase>& info) { return std::string(info.param.name); });

struct GateCase {
    const char* name;
    std::optional<ULONG> stored;  // "IniVersion" before
    std::string file;
    bool applied;
    std::optional<ULONG> after;  // "IniVersion" after
};

std::ostream& operator<<(std::ostream& out, const GateCase& c) { return out << c.name; }

class IniVersionGate : public IniImportTest, public ::testing::WithParamInterface<GateCase> {};

TEST_P(IniVersionGate, ImportsOnlyANewerFileAndRecordsItAfterwards) {
    const GateCase& c = GetParam();
    LoadAndAdd();
    if (c.stored) {
        ULONG v = *c.stored;
        ASSERT_EQ(SettingsBinaryValue(Fdo(), SETTINGS_OP_WRITE, &v, 4, u"IniVersion"), STATUS_SUCCESS);
    }
    m_Root.Write("BRONTALWORKS_ORLU.INI", c.file);
    Import();
    EXPECT_EQ(!WrittenValues().empty(), c.applied);
    EXPECT_EQ(StoredIniVersion(), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IniVersionGate,
    ::testing::Values(GateCase{"NewerImports", 2u, IniFile({"[Prof]", "A = 1"}), true, 3u},
                      GateCase{"SameSkips", 3u, IniFile({"[Prof]", "A = 1"}), false, 3u},
                      GateCase{"AbsentCountsAsZero", std::nullopt, IniFile({"[Prof]", "A = 1"}), true, 3u},
                      GateCase{"OnlyTheFirstNumberCounts", 2u, IniFile({"[Prof]", "A = 1"}, "Version = 3 9"), true, 3u},
                      GateCase{"NoVersionSectionIsZero", std::nullopt, "[TAVREL]\r\n" + kId + "=Prof\r\n[Prof]\r\nA=1\r\n",
                               false, std::nullopt},
                      // Not recorded: the next start tries again.
                      GateCase{"NoProfileForTheDevice", std::nullopt,
                               "[VERSION]\r\nVersion=3\r\n[TAVREL]\r\nUSB\\VID_1234=Prof\r\n[Prof]\r\nA=1\r\n", false,
                               std::nullopt}),
    [](const ::testing::TestParamInfo<GateCase>& info) { return std::string(info.param.name); });

struct ModuleCase {
    const char* name;
    std::vector<uint8_t> moduleName;  // REG_SZ bytes; empty: no value
    const char* fileRead;
};

std::ostream& operator<<(std::ostream& out, const ModuleCase& c) { return out << c.name; }

class ModuleName : public IniImportTest, public ::testing::WithParamInterface<ModuleCase> {};

TEST_P(ModuleName, ChoosesTheFile) {
    const ModuleCase& c = GetParam();
    LoadAndAdd();
    if (!c.moduleName.empty()) {
        ASSERT_EQ(sim::RegistrySetValue(kSettingsKey, u"ModuleName", REG_SZ, c.moduleName), STATUS_SUCCESS);
    }
    m_Root.Write("BRONTALWORKS_ORLU.INI", IniFile({"[Prof]", "FromDefault = 1"}));
    m_Root.Write("OTHER.INI", IniFile({"[Prof]", "FromOther = 1"}));
    Import();
    std::vector<Written> written = WrittenValues();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(std::string(written[0].name.begin(), written[0].name.end()), c.fileRead);
}

std::vector<uint8_t> Terminated(const std::string& text) {
    std::vector<uint8_t> bytes = Utf16(text);
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ModuleName,
    ::testing::Values(ModuleCase{"Default", {}, "FromDefault"},
                      ModuleCase{"Named", Terminated("other.ini"), "FromOther"},
                      // 100 bytes and no terminator: never used as a name.
                      ModuleCase{"UnterminatedHundredBytes", Utf16(std::string(50, 'A')), "FromDefault"},
                      ModuleCase{"OverHundredBytes", Terminated(std::string(50, 'A')), "FromDefault"},
                      ModuleCase{"Empty", Terminated(""), "FromDefault"}),
    [](const ::testing::TestParamInfo<ModuleCase>& info) { return std::string(info.param.name); });

// Numbers and switches from a settings file, read back as the driver reads
// them: a one-byte "0x01" is the number 1, whatever the variable held.
struct SwitchReadCase {
    const char* name;
    std::string line;  // the profile's value line
    NTSTATUS status;
    ULONG value;  // the variable afterwards
};

std::ostream& operator<<(std::ostream& out, const SwitchReadCase& c) { return out << c.name; }

class IniSwitchRead : public IniImportTest, public ::testing::WithParamInterface<SwitchReadCase> {};

constexpr ULONG kBefore = 0xA5A5A5A5;

TEST_P(IniSwitchRead, ReadsTheImportedNumber) {
    const SwitchReadCase& c = GetParam();
    LoadAndAdd();
    m_Root.Write("BRONTALWORKS_ORLU.INI", IniFile({"[Prof]", c.line}));
    Import();
    ULONG value = kBefore;
    EXPECT_EQ(SettingsNumberValue(Fdo(), SETTINGS_OP_READ, &value, sizeof(value), u"SetJackConnect"), c.status);
    EXPECT_EQ(value, c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IniSwitchRead,
    ::testing::Values(SwitchReadCase{"OneByte", "SetJackConnect = 0x01", STATUS_SUCCESS, 1},
                      SwitchReadCase{"FourBytes", "SetJackConnect = 1", STATUS_SUCCESS, 1},
                      SwitchReadCase{"TwoOneByteTokens", "SetJackConnect = 0x01 0x02", STATUS_SUCCESS, 0x0201},
                      SwitchReadCase{"TwoNumbersAreTooLong", "SetJackConnect = 1 2", STATUS_OBJECT_NAME_NOT_FOUND,
                                     kBefore},
                      SwitchReadCase{"TextIsNoNumber", "SetJackConnect = on", STATUS_OBJECT_NAME_NOT_FOUND, kBefore},
                      SwitchReadCase{"NothingIsNoNumber", "SetJackConnect =", STATUS_OBJECT_NAME_NOT_FOUND,
                                     kBefore}),
    [](const ::testing::TestParamInfo<SwitchReadCase>& info) { return std::string(info.param.name); });

struct NumberCase {
    const char* token;
    ULONG value;
};

class IniNumber : public ::testing::TestWithParam<NumberCase> {};

TEST_P(IniNumber, FollowsTheNumberSyntax) {
    const NumberCase& c = GetParam();
    EXPECT_EQ(IniParseNumber(c.token, (ULONG)strlen(c.token)), c.value) << c.token;
}

INSTANTIATE_TEST_SUITE_P(Table, IniNumber,
                         ::testing::Values(NumberCase{"", 0}, NumberCase{"0x", 0}, NumberCase{"0x1F", 31},
                                           NumberCase{"0XfF", 255}, NumberCase{"0xG", 16},
                                           NumberCase{"12", 12}, NumberCase{"12a", 169},
                                           NumberCase{"abc", 0}, NumberCase{"4294967295", 0xFFFFFFFFu},
                                           NumberCase{"4294967296", 0}, NumberCase{"0x100000001", 1}));

TEST(IniValueLine, NeverReadsPastTheLine) {
    // The line's length ends it even without a CR or zero after it.
    const char text[] = "A = 1 2xyz";
    INI_VALUE value;
    ASSERT_TRUE(IniParseValueLine(text, 7, &value));
    EXPECT_EQ(value.Type, (ULONG)REG_BINARY);
    EXPECT_EQ(value.Size, 8u);
    ASSERT_TRUE(IniParseValueLine(text, 3, &value));
    EXPECT_EQ(value.Type, (ULONG)REG_SZ);
    EXPECT_EQ(value.Size, 0u);
    EXPECT_FALSE(IniParseValueLine(text, 1, &value)) << "no '=' within the line";
    ULONG number = 0;
    EXPECT_TRUE(IniParseNumberLine("V=0x1F ; x", 10, &number));
    EXPECT_EQ(number, 31u);
    EXPECT_FALSE(IniParseNumberLine("  ; V=1", 7, &number));
    EXPECT_FALSE(IniParseNumberLine("V=", 2, &number));
}

}  // namespace
