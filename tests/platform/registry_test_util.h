// Shared fixture and helpers of the registry tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "nt/zw.h"
#include "sim/pool.h"
#include "sim/registry.h"
#include "sim/strings.h"
#include "temp_dir_util.h"

namespace regtest {

// Starts every test with a fresh registry and ends it with no key handle
// open and no pool block leaked.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::RegistryReset();
        baseline_ = sim::PoolLiveBlocks();
    }
    void TearDown() override {
        sim::PoolClearFailures();
        EXPECT_EQ(sim::RegistryOpenKeyCount(), 0u);
        EXPECT_EQ(sim::PoolLiveBlocks(), baseline_) << sim::PoolLeakReport();
        sim::RegistryReset();
    }

    static NTSTATUS Create(const std::u16string& path, HANDLE* key, ACCESS_MASK access = KEY_ALL_ACCESS,
                           HANDLE root = nullptr, ULONG attributes = OBJ_CASE_INSENSITIVE, ULONG options = 0,
                           ULONG* disposition = nullptr) {
        sim::UString name(path);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, name.get(), attributes, root, nullptr);
        return ZwCreateKey(key, access, &oa, 0, nullptr, options, disposition);
    }

    static NTSTATUS Open(const std::u16string& path, HANDLE* key, ACCESS_MASK access = KEY_ALL_ACCESS,
                         HANDLE root = nullptr, ULONG attributes = OBJ_CASE_INSENSITIVE) {
        sim::UString name(path);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, name.get(), attributes, root, nullptr);
        return ZwOpenKey(key, access, &oa);
    }

    static NTSTATUS Set(HANDLE key, const std::u16string& name, ULONG type, const void* data, ULONG size) {
        sim::UString valueName(name);
        return ZwSetValueKey(key, valueName.get(), 0, type, const_cast<void*>(data), size);
    }

    static NTSTATUS Query(HANDLE key, const std::u16string& name, KEY_VALUE_INFORMATION_CLASS cls, void* out,
                          ULONG length, ULONG* result) {
        sim::UString valueName(name);
        return ZwQueryValueKey(key, valueName.get(), cls, out, length, result);
    }

    // A scratch file path unique to the running test.
    static std::string TempPath(const std::string& suffix) {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "_" + info->name() + "_" + suffix;
        for (char& c : name)
            if (c == '/') c = '_';
        return (testtmp::ProcessDir() / name).string();
    }

    int64_t baseline_ = 0;
};

constexpr char16_t kSoftware[] = u"\\Registry\\Machine\\SOFTWARE";

}  // namespace regtest
