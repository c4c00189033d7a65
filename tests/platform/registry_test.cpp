// Registry calls: paths, case, dispositions, the query size protocol,
// enumeration, deletion and access rights on handles.
#include <algorithm>
#include <cstring>
#include <vector>

#include "nt/ke.h"
#include "registry_test_util.h"
#include "sim/executor.h"
#include "tests/support/kernel_test.h"

namespace {

using regtest::kSoftware;
using regtest::RegistryTest;

// ---------------------------------------------------------------------------
// ZwQueryValueKey size protocol, one row per class and buffer length.
// The value is "Level" (10 name bytes), REG_BINARY with 6 data bytes:
// Basic needs 12 + 10 = 22, Partial 12 + 6 = 18, Full 20 + 10 padded to
// 32, + 6 = 38.
// ---------------------------------------------------------------------------
struct QueryCase {
    const char* name;
    KEY_VALUE_INFORMATION_CLASS cls;
    ULONG length;
    NTSTATUS status;
};

std::ostream& operator<<(std::ostream& os, const QueryCase& c) { return os << c.name; }

ULONG Required(KEY_VALUE_INFORMATION_CLASS cls) {
    return cls == KeyValueBasicInformation ? 22 : cls == KeyValuePartialInformation ? 18 : 38;
}

ULONG Fixed(KEY_VALUE_INFORMATION_CLASS cls) { return cls == KeyValueFullInformation ? 20 : 12; }

const QueryCase kQueryCases[] = {
    {"PartialZero", KeyValuePartialInformation, 0, STATUS_BUFFER_TOO_SMALL},
    {"PartialBelowHeader", KeyValuePartialInformation, 11, STATUS_BUFFER_TOO_SMALL},
    {"PartialHeaderOnly", KeyValuePartialInformation, 12, STATUS_BUFFER_OVERFLOW},
    {"PartialOneShort", KeyValuePartialInformation, 17, STATUS_BUFFER_OVERFLOW},
    {"PartialExact", KeyValuePartialInformation, 18, STATUS_SUCCESS},
    {"PartialLarge", KeyValuePartialInformation, 40, STATUS_SUCCESS},
    {"BasicBelowHeader", KeyValueBasicInformation, 11, STATUS_BUFFER_TOO_SMALL},
    {"BasicHeaderOnly", KeyValueBasicInformation, 12, STATUS_BUFFER_OVERFLOW},
    {"BasicExact", KeyValueBasicInformation, 22, STATUS_SUCCESS},
    {"FullBelowHeader", KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL},
    {"FullHeaderOnly", KeyValueFullInformation, 20, STATUS_BUFFER_OVERFLOW},
    {"FullOneShort", KeyValueFullInformation, 37, STATUS_BUFFER_OVERFLOW},
    {"FullExact", KeyValueFullInformation, 38, STATUS_SUCCESS},
};

class QueryValueProtocol : public RegistryTest, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(QueryValueProtocol, StatusResultLengthAndBytes) {
    const QueryCase& c = GetParam();
    const UCHAR data[6] = {1, 2, 3, 4, 5, 6};
    HANDLE key;
    ASSERT_EQ(Create(std::u16string(kSoftware) + u"\\Vendor", &key), STATUS_SUCCESS);
    ASSERT_EQ(Set(key, u"Level", REG_BINARY, data, sizeof(data)), STATUS_SUCCESS);

    constexpr UCHAR kFill = 0xA5;
    std::vector<UCHAR> buffer(std::max<size_t>(c.length + 1, 64), kFill);
    ULONG result = 0;
    EXPECT_EQ(Query(key, u"Level", c.cls, buffer.data(), c.length, &result), c.status);
    EXPECT_EQ(result, Required(c.cls));
    EXPECT_EQ(buffer[c.length], kFill) << "wrote past the length";
    ULONG header[5];
    memcpy(header, buffer.data(), sizeof(header));
    if (c.status == STATUS_BUFFER_TOO_SMALL) {
        EXPECT_EQ(buffer[0], kFill) << "nothing is written below the header";
    } else {
        EXPECT_EQ(header[1], ULONG(REG_BINARY));
        if (c.cls == KeyValuePartialInformation) {
            EXPECT_EQ(header[2], 6u);
        }
        if (c.cls == KeyValueFullInformation) {
            EXPECT_EQ(header[3], 6u);
        }
        if (c.status == STATUS_BUFFER_OVERFLOW) {
            EXPECT_EQ(buffer[Fixed(c.cls)], kFill) << "header only";
        }
    }
    if (c.status == STATUS_SUCCESS && c.cls == KeyValuePartialInformation) {
        EXPECT_EQ(memcmp(buffer.data() + 12, data, 6), 0);
    }
    if (c.status == STATUS_SUCCESS && c.cls == KeyValueFullInformation) {
        EXPECT_EQ(header[2], 32u);  // DataOffset
        EXPECT_EQ(memcmp(buffer.data() + 32, data, 6), 0);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer.data() + 20), 5), u"Level");
    }
    ZwClose(key);
}

INSTANTIATE_TEST_SUITE_P(Registry, QueryValueProtocol, ::testing::ValuesIn(kQueryCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RegistryTest, MissingValueAndBadArgumentsGiveClearStatuses) {
    HANDLE key;
    ASSERT_EQ(Create(std::u16string(kSoftware) + u"\\Vendor", &key), STATUS_SUCCESS);
    UCHAR buffer[32];
    ULONG result = 0;
    EXPECT_EQ(Query(key, u"Missing", KeyValuePartialInformation, buffer, sizeof(buffer), &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Query(nullptr, u"X", KeyValuePartialInformation, buffer, sizeof(buffer), &result),
              STATUS_INVALID_HANDLE);
    ULONG one = 1;
    ASSERT_EQ(Set(key, u"X", REG_DWORD, &one, 4), STATUS_SUCCESS);
    EXPECT_EQ(Query(key, u"X", static_cast<KEY_VALUE_INFORMATION_CLASS>(9), buffer, sizeof(buffer), &result),
              STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(Query(key, u"X", KeyValuePartialInformation, buffer, sizeof(buffer), nullptr),
              STATUS_INVALID_PARAMETER);
    UNICODE_STRING odd{3, 4, const_cast<PWSTR>(u"XY")};
    EXPECT_EQ(ZwSetValueKey(key, &odd, 0, REG_DWORD, &one, 4), STATUS_INVALID_PARAMETER);
    ZwClose(key);
}

TEST_F(RegistryTest, QueryKeySizedByAFirstCall) {
    HANDLE key;
    ASSERT_EQ(Create(std::u16string(kSoftware) + u"\\0003", &key), STATUS_SUCCESS);
    ULONG needed = 0;
    EXPECT_EQ(ZwQueryKey(key, KeyBasicInformation, nullptr, 0, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, 16u + 8u);
    std::vector<UCHAR> buffer(needed);
    ULONG result = 0;
    ASSERT_EQ(ZwQueryKey(key, KeyBasicInformation, buffer.data(), needed, &result), STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer.data());
    EXPECT_EQ(std::u16string(info->Name, info->NameLength / 2), u"0003");

    std::vector<UCHAR> name(200);
    ASSERT_EQ(ZwQueryKey(key, KeyNameInformation, name.data(), 200, &result), STATUS_SUCCESS);
    auto* full = reinterpret_cast<KEY_NAME_INFORMATION*>(name.data());
    EXPECT_EQ(std::u16string(full->Name, full->NameLength / 2), u"\\REGISTRY\\MACHINE\\SOFTWARE\\0003");
    ZwClose(key);
}

TEST_F(RegistryTest, FullInformationCountsSubkeysAndValues) {
    HANDLE key, sub;
    ASSERT_EQ(Create(std::u16string(kSoftware) + u"\\Vendor", &key), STATUS_SUCCESS);
    ASSERT_EQ(Create(u"LongerName", &sub, KEY_ALL_ACCESS, key), STATUS_SUCCESS);
    ZwClose(sub);
    UCHAR blob[7] = {};
    ASSERT_EQ(Set(key, u"A", REG_BINARY, blob, 7), STATUS_SUCCESS);
    ASSERT_EQ(Set(key, u"Bcd", REG_BINARY, blob, 2), STATUS_SUCCESS);
    KEY_FULL_INFORMATION info;
    ULONG result = 0;
    ASSERT_EQ(ZwQueryKey(key, KeyFullInformation, &info, sizeof(info), &result), STATUS_SUCCESS);
    EXPECT_EQ(result, 44u);
    EXPECT_EQ(info.SubKeys, 1u);
    EXPECT_EQ(info.MaxNameLen, 20u);
    EXPECT_EQ(info.Values, 2u);
    EXPECT_EQ(info.MaxValueNameLen, 6u);
    EXPECT_EQ(info.MaxValueDataLen, 7u);
    ZwClose(key);
}

TEST_F(RegistryTest, NamesMatchWithoutCaseAndKeepTheirFirstSpelling) {
    HANDLE key, again;
    ASSERT_EQ(Create(std::u16string(kSoftware) + u"\\Vendor", &key), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\registry\\MACHINE\\software\\vENDOR", &again), STATUS_SUCCESS);
    ULONG v1 = 1, v2 = 2;
    ASSERT_EQ(Set(key, u"Volume", REG_DWORD, &v1, 4), STATUS_SUCCESS);
    ASSERT_EQ(Set(again, u"VOLUME", REG_DWORD, &v2, 4), STATUS_SUCCESS);
    EXPECT_EQ(sim::RegistryValueNames(std::u16string(kSoftware) + u"\\VENDOR"), std::vector<std::u16string>{u"Volume"});
    KEY_VALUE_PARTIAL_INFORMATION info;
    ULONG result;
    ASSERT_EQ(Query(key, u"volume", KeyValuePartialInformation, &info, sizeof(info), &result), STATUS_SUCCESS);
    EXPECT_EQ(*reinterpret_cast<ULONG*>(info.Data), 2u);
    EXPECT_EQ(sim::RegistrySubkeys(kSoftware), std::vector<std::u16string>{u"Vendor"});
    ZwClose(again);
    ZwClose(key);
}

struct PathCase {
    const char* name;
    const char16_t* path;
    bool relative;  // relative to "\Registry\Machine\SOFTWARE"
    NTSTATUS openStatus;
    NTSTATUS createStatus;
};

std::ostream& operator<<(std::ostream& os, const PathCase& c) { return os << c.name; }

class PathResolution : public RegistryTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(PathResolution, OpenAndCreate) {
    const PathCase& c = GetParam();
    ASSERT_EQ(sim::RegistryCreateKey(std::u16string(kSoftware) + u"\\Vendor\\Existing"), STATUS_SUCCESS);
    HANDLE root = nullptr;
    if (c.relative) {
        ASSERT_EQ(Open(kSoftware, &root), STATUS_SUCCESS);
    }
    HANDLE key = nullptr;
    EXPECT_EQ(Open(c.path, &key, KEY_READ, root), c.openStatus);
    if (NT_SUCCESS(c.openStatus)) ZwClose(key);
    EXPECT_EQ(Create(c.path, &key, KEY_READ, root), c.createStatus);
    if (NT_SUCCESS(c.createStatus)) ZwClose(key);
    if (root) ZwClose(root);
}

const PathCase kPathCases[] = {
    {"AbsoluteExisting", u"\\Registry\\Machine\\SOFTWARE\\Vendor\\Existing", false, STATUS_SUCCESS, STATUS_SUCCESS},
    {"AbsoluteNewLeaf", u"\\Registry\\Machine\\SOFTWARE\\Vendor\\New", false, STATUS_OBJECT_NAME_NOT_FOUND,
     STATUS_SUCCESS},
    {"AbsoluteMissingParent", u"\\Registry\\Machine\\SOFTWARE\\Nope\\New", false, STATUS_OBJECT_NAME_NOT_FOUND,
     STATUS_OBJECT_NAME_NOT_FOUND},
    {"RegistryRoot", u"\\Registry", false, STATUS_SUCCESS, STATUS_SUCCESS},
    {"OutsideRegistry", u"\\Device\\Foo", false, STATUS_OBJECT_PATH_NOT_FOUND, STATUS_OBJECT_PATH_NOT_FOUND},
    {"NoLeadingBackslash", u"Registry\\Machine", false, STATUS_OBJECT_PATH_SYNTAX_BAD,
     STATUS_OBJECT_PATH_SYNTAX_BAD},
    {"DoubledBackslash", u"\\Registry\\\\Machine", false, STATUS_OBJECT_NAME_INVALID, STATUS_OBJECT_NAME_INVALID},
    {"TrailingBackslash", u"\\Registry\\Machine\\", false, STATUS_OBJECT_NAME_INVALID, STATUS_OBJECT_NAME_INVALID},
    {"RelativeExisting", u"Vendor\\Existing", true, STATUS_SUCCESS, STATUS_SUCCESS},
    {"RelativeNew", u"Vendor\\New", true, STATUS_OBJECT_NAME_NOT_FOUND, STATUS_SUCCESS},
    {"RelativeEmptyReopensRoot", u"", true, STATUS_SUCCESS, STATUS_SUCCESS},
    {"RelativeWithLeadingBackslash", u"\\Vendor", true, STATUS_OBJECT_PATH_SYNTAX_BAD,
     STATUS_OBJECT_PATH_SYNTAX_BAD},
};

INSTANTIATE_TEST_SUITE_P(Registry, PathResolution, ::testing::ValuesIn(kPathCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RegistryTest, CreateReportsItsDisposition) {
    HANDLE key;
    ULONG disposition = 0;
    ASSERT_EQ(Create(std::u16string(kSoftware) + u"\\Settings", &key, KEY_ALL_ACCESS, nullptr,
                     OBJ_CASE_INSENSITIVE, REG_OPTION_NON_VOLATILE, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    ZwClose(key);
    ASSERT_EQ(Create(std::u16string(kSoftware) + u"\\SETTINGS", &key, KEY_ALL_ACCESS, nullptr,
                     OBJ_CASE_INSENSITIVE, 0, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    HANDLE child;
    EXPECT_EQ(Create(u"Sub", &child, KEY_ALL_ACCESS, key, OBJ_CASE_INSENSITIVE, REG_OPTION_CREATE_LINK),
              STATUS_INVALID_PARAMETER);
    ZwClose(key);
}

TEST_F(RegistryTest, VolatileKeysTakeOnlyVolatileChildren) {
    HANDLE key, child;
    ASSERT_EQ(Create(std::u16string(kSoftware) + u"\\Run", &key, KEY_ALL_ACCESS, nullptr, OBJ_CASE_INSENSITIVE,
                     REG_OPTION_VOLATILE),
              STATUS_SUCCESS);
    EXPECT_EQ(Create(u"Stable", &child, KEY_ALL_ACCESS, key), STATUS_CHILD_MUST_BE_VOLATILE);
    ASSERT_EQ(Create(u"Temp", &child, KEY_ALL_ACCESS, key, OBJ_CASE_INSENSITIVE, REG_OPTION_VOLATILE),
              STATUS_SUCCESS);
    ZwClose(child);
    ZwClose(key);
}

TEST_F(RegistryTest, EnumerationOrderAndEnd) {
    HANDLE key, sub;
    ASSERT_EQ(Create(std::u16string(kSoftware) + u"\\Vendor", &key), STATUS_SUCCESS);
    for (const char16_t* name : {u"beta", u"Alpha", u"GAMMA"}) {
        ASSERT_EQ(Create(name, &sub, KEY_ALL_ACCESS, key), STATUS_SUCCESS);
        ZwClose(sub);
    }
    for (const char16_t* name : {u"Zed", u"Ann"}) ASSERT_EQ(Set(key, name, REG_NONE, nullptr, 0), STATUS_SUCCESS);

    std::vector<std::u16string> keys, values;
    UCHAR buffer[128];
    ULONG result;
    for (ULONG i = 0; ZwEnumerateKey(key, i, KeyBasicInformation, buffer, sizeof(buffer), &result) == STATUS_SUCCESS;
         ++i) {
        auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
        keys.emplace_back(info->Name, info->NameLength / 2);
    }
    for (ULONG i = 0;
         ZwEnumerateValueKey(key, i, KeyValueBasicInformation, buffer, sizeof(buffer), &result) == STATUS_SUCCESS;
         ++i) {
        auto* info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
        values.emplace_back(info->Name, info->NameLength / 2);
    }
    EXPECT_EQ(keys, (std::vector<std::u16string>{u"Alpha", u"beta", u"GAMMA"}));
    EXPECT_EQ(values, (std::vector<std::u16string>{u"Zed", u"Ann"}));
    EXPECT_EQ(ZwEnumerateKey(key, 3, KeyBasicInformation, buffer, sizeof(buffer), &result), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(ZwEnumerateValueKey(key, 2, KeyValueBasicInformation, buffer, sizeof(buffer), &result),
              STATUS_NO_MORE_ENTRIES);
    ZwClose(key);
}

TEST_F(RegistryTest, DeleteKeysAndValues) {
    HANDLE parent, child, again;
    ASSERT_EQ(Create(std::u16string(kSoftware) + u"\\Vendor", &parent), STATUS_SUCCESS);
    ASSERT_EQ(Create(u"Child", &child, KEY_ALL_ACCESS, parent), STATUS_SUCCESS);
    ULONG one = 1;
    ASSERT_EQ(Set(child, u"V", REG_DWORD, &one, 4), STATUS_SUCCESS);
    sim::UString name(u"V");
    EXPECT_EQ(ZwDeleteValueKey(child, name.get()), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(child, name.get()), STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE);
    ASSERT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);
    EXPECT_EQ(Set(child, u"V", REG_DWORD, &one, 4), STATUS_KEY_DELETED);
    EXPECT_EQ(Open(u"Child", &again, KEY_READ, parent), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwClose(child), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_SUCCESS);
    ZwClose(parent);

    HANDLE hive;
    ASSERT_EQ(Open(kSoftware, &hive), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(hive), STATUS_CANNOT_DELETE);
    ZwClose(hive);
}

TEST_F(RegistryTest, ResetInvalidatesOpenHandles) {
    HANDLE key;
    ASSERT_EQ(Create(std::u16string(kSoftware) + u"\\Vendor", &key), STATUS_SUCCESS);
    sim::RegistryReset();
    ULONG result;
    EXPECT_EQ(ZwQueryKey(key, KeyBasicInformation, nullptr, 0, &result), STATUS_KEY_DELETED);
    EXPECT_FALSE(sim::RegistryKeyExists(std::u16string(kSoftware) + u"\\Vendor"));
    ZwClose(key);
}

// ---------------------------------------------------------------------------
// Access rights recorded on handles.
// ---------------------------------------------------------------------------
TEST_F(RegistryTest, WritesThroughAReadOnlyHandleAreDenied) {
    ASSERT_EQ(sim::RegistrySetDword(std::u16string(kSoftware) + u"\\Settings", u"Old", 7), STATUS_SUCCESS);
    HANDLE readOnly, child;
    ASSERT_EQ(Open(std::u16string(kSoftware) + u"\\Settings", &readOnly, KEY_QUERY_VALUE), STATUS_SUCCESS);
    ULONG one = 1;
    sim::UString old(u"Old");
    EXPECT_EQ(Set(readOnly, u"New", REG_DWORD, &one, 4), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwDeleteValueKey(readOnly, old.get()), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwDeleteKey(readOnly), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Create(u"Sub", &child, KEY_ALL_ACCESS, readOnly), STATUS_ACCESS_DENIED);
    EXPECT_FALSE(sim::RegistryGetValue(std::u16string(kSoftware) + u"\\Settings", u"New").has_value());
    EXPECT_FALSE(sim::RegistryKeyExists(std::u16string(kSoftware) + u"\\Settings\\Sub"));
    KEY_VALUE_PARTIAL_INFORMATION info;
    ULONG result;
    EXPECT_EQ(Query(readOnly, u"Old", KeyValuePartialInformation, &info, sizeof(info), &result), STATUS_SUCCESS);
    ZwClose(readOnly);

    HANDLE writeOnly;
    ASSERT_EQ(Open(std::u16string(kSoftware) + u"\\Settings", &writeOnly, KEY_SET_VALUE), STATUS_SUCCESS);
    EXPECT_EQ(Query(writeOnly, u"Old", KeyValuePartialInformation, &info, sizeof(info), &result),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(Set(writeOnly, u"New", REG_DWORD, &one, 4), STATUS_SUCCESS);
    ZwClose(writeOnly);

    HANDLE generic;
    ASSERT_EQ(Open(std::u16string(kSoftware) + u"\\Settings", &generic, GENERIC_READ), STATUS_SUCCESS);
    EXPECT_EQ(Query(generic, u"Old", KeyValuePartialInformation, &info, sizeof(info), &result), STATUS_SUCCESS);
    EXPECT_EQ(Set(generic, u"New", REG_DWORD, &one, 4), STATUS_ACCESS_DENIED);
    ZwClose(generic);
}

TEST_F(RegistryTest, KernelHandlesAreNotLimitedByTheirAccessMask) {
    HANDLE key, child;
    ASSERT_EQ(Create(std::u16string(kSoftware) + u"\\Settings", &key, KEY_QUERY_VALUE, nullptr,
                     OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE),
              STATUS_SUCCESS);
    ULONG one = 1;
    EXPECT_EQ(Set(key, u"New", REG_DWORD, &one, 4), STATUS_SUCCESS);
    ASSERT_EQ(Create(u"Sub", &child, KEY_QUERY_VALUE, key, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE),
              STATUS_SUCCESS);
    ZwClose(child);
    ZwClose(key);
}

TEST_F(RegistryTest, HandleAllocationFailureLeavesTheTreeUnchanged) {
    HANDLE key = nullptr;
    sim::PoolFailNth(1);
    EXPECT_EQ(Create(std::u16string(kSoftware) + u"\\Fresh", &key), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(sim::RegistryKeyExists(std::u16string(kSoftware) + u"\\Fresh"));
}

TEST_F(RegistryTest, WriteRegistryValueCreatesTheLastKey) {
    ULONG v = 5;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\SOFTWARE\\Vendor", u"Five",
                                    REG_DWORD, &v, 4),
              STATUS_SUCCESS);
    auto stored = sim::RegistryGetValue(std::u16string(kSoftware) + u"\\Vendor", u"Five");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->type, ULONG(REG_DWORD));
    EXPECT_EQ(stored->data, (std::vector<uint8_t>{5, 0, 0, 0}));
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"Missing\\Deeper", u"X", REG_DWORD, &v, 4),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(sim::RegistryCreateKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services"), STATUS_SUCCESS);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"usbaudio", u"Start", REG_DWORD, &v, 4), STATUS_SUCCESS);
    EXPECT_TRUE(sim::RegistryGetValue(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\UsbAudio", u"start"));
}

// Every registry call is pageable code.
TEST_F(RegistryTest, CallsAboveApcLevelBugcheck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            HANDLE key;
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            Open(kSoftware, &key);
        },
        "PAGED_CODE in ZwOpenKey");
}

class RegistryClockTest : public sim::KernelTest {
protected:
    void SetUp() override {
        sim::KernelTest::SetUp();
        sim::RegistryReset();
    }
};

TEST_F(RegistryClockTest, LastWriteTimeFollowsTheVirtualClock) {
    sim::UString path(std::u16string(kSoftware) + u"\\Clock");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, path.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key;
    ASSERT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, nullptr), STATUS_SUCCESS);
    KEY_BASIC_INFORMATION created, written;
    ULONG result;
    ASSERT_EQ(ZwQueryKey(key, KeyBasicInformation, &created, sizeof(created), &result), STATUS_BUFFER_OVERFLOW);
    sim::Sleep(2 * sim::kTicksPerSecond);
    ULONG one = 1;
    sim::UString name(u"V");
    ASSERT_EQ(ZwSetValueKey(key, name.get(), 0, REG_DWORD, &one, 4), STATUS_SUCCESS);
    ASSERT_EQ(ZwQueryKey(key, KeyBasicInformation, &written, sizeof(written), &result), STATUS_BUFFER_OVERFLOW);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_EQ(written.LastWriteTime.QuadPart, now.QuadPart);
    EXPECT_EQ(written.LastWriteTime.QuadPart - created.LastWriteTime.QuadPart, 2 * sim::kTicksPerSecond);
    ZwClose(key);
}

}  // namespace
