// Registry keys through the port class and device properties of the PDO
// below an FDO.
#include <gtest/gtest.h>

#include <cstring>

#include "nt/rtl.h"
#include "nt/zw.h"
#include "pc_fakes.h"

namespace pctest {
namespace {

class PcRegistryTest : public PortClsTest {
protected:
    void SetUp() override {
        PortClsTest::SetUp();
        Boot();
    }

    static UNICODE_STRING Str(const char16_t* text) {
        UNICODE_STRING s;
        RtlInitUnicodeString(&s, reinterpret_cast<PCWSTR>(text));
        return s;
    }

    // Reads a REG_BINARY value through a fresh handle on the driver key's
    // path, bypassing the port class.
    std::vector<uint8_t> ReadDirect(const std::u16string& subkey, const char16_t* value) {
        std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\" +
                              Harness().Config().driverKey + u"\\" + subkey;
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(path.c_str()));
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   nullptr, nullptr);
        HANDLE key = nullptr;
        if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return {};
        UNICODE_STRING valueName = Str(value);
        uint8_t buffer[64];
        ULONG length = 0;
        NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer,
                                          sizeof(buffer), &length);
        ZwClose(key);
        if (!NT_SUCCESS(status)) return {};
        auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
        return std::vector<uint8_t>(info->Data, info->Data + info->DataLength);
    }
};

TEST_F(PcRegistryTest, WritesGoThroughAKeyOpenedForQueryOnly) {
    PREGISTRYKEY driverKey = nullptr;
    ASSERT_EQ(PcNewRegistryKey(&driverKey, nullptr, DriverRegistryKey, KEY_ALL_ACCESS, Fdo(),
                               nullptr, nullptr, 0, nullptr),
              STATUS_SUCCESS);
    UNICODE_STRING settings = Str(u"Settings");
    PREGISTRYKEY settingsKey = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(driverKey->NewSubKey(&settingsKey, nullptr, KEY_QUERY_VALUE, &settings,
                                   REG_OPTION_NON_VOLATILE, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));

    UNICODE_STRING value = Str(u"IniVersion");
    ULONG data = 0x01020304;
    EXPECT_EQ(settingsKey->SetValueKey(&value, REG_BINARY, &data, sizeof(data)), STATUS_SUCCESS);

    uint8_t buffer[32];
    ULONG length = 0;
    ASSERT_EQ(settingsKey->QueryValueKey(&value, KeyValuePartialInformation, buffer, sizeof(buffer),
                                         &length),
              STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    EXPECT_EQ(info->Type, ULONG(REG_BINARY));
    ASSERT_EQ(info->DataLength, sizeof(data));
    EXPECT_EQ(std::memcmp(info->Data, &data, sizeof(data)), 0);
    UNICODE_STRING missing = Str(u"Missing");
    EXPECT_EQ(settingsKey->QueryValueKey(&missing, KeyValuePartialInformation, buffer,
                                         sizeof(buffer), &length),
              STATUS_OBJECT_NAME_NOT_FOUND);
    settingsKey->Release();

    // The value lives in the device's software key; the subkey opens again.
    EXPECT_EQ(ReadDirect(u"Settings", u"IniVersion"), (std::vector<uint8_t>{4, 3, 2, 1}));
    ASSERT_EQ(driverKey->NewSubKey(&settingsKey, nullptr, KEY_QUERY_VALUE, &settings,
                                   REG_OPTION_NON_VOLATILE, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    settingsKey->Release();
    driverKey->Release();
}

TEST_F(PcRegistryTest, KeysNeedTheFdoAndAKnownType) {
    PREGISTRYKEY key = reinterpret_cast<PREGISTRYKEY>(1);
    EXPECT_EQ(PcNewRegistryKey(&key, nullptr, DriverRegistryKey, KEY_ALL_ACCESS, Harness().Pdo(),
                               nullptr, nullptr, 0, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(PcNewRegistryKey(&key, nullptr, DeviceInterfaceRegistryKey, KEY_ALL_ACCESS, Fdo(),
                               nullptr, nullptr, 0, nullptr),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(PcNewRegistryKey(&key, nullptr, GeneralRegistryKey, KEY_ALL_ACCESS, Fdo(), nullptr,
                               nullptr, 0, nullptr),
              STATUS_INVALID_PARAMETER);
}

TEST_F(PcRegistryTest, DevicePropertyComesFromThePdoBelow) {
    WCHAR buffer[256] = {};
    ULONG length = 0;
    ASSERT_EQ(PcGetDeviceProperty(Fdo(), DevicePropertyHardwareID, sizeof(buffer), buffer, &length),
              STATUS_SUCCESS);
    std::u16string first(reinterpret_cast<const char16_t*>(buffer));
    EXPECT_EQ(first, Harness().Config().deviceId + u"&REV_0100");
    ULONG needed = 0;
    EXPECT_EQ(PcGetDeviceProperty(Fdo(), DevicePropertyHardwareID, 2, buffer, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, length);
    EXPECT_EQ(PcGetDeviceProperty(Harness().Pdo(), DevicePropertyHardwareID, sizeof(buffer), buffer,
                                  &length),
              STATUS_INVALID_PARAMETER);
}

TEST_F(PcRegistryTest, ForwardedContentIsRecorded) {
    DRMFORWARD forward{};
    forward.DeviceObject = Harness().Pdo();
    forward.Context = &forward;
    EXPECT_EQ(PcForwardContentToDeviceObject(42, nullptr, &forward), STATUS_SUCCESS);
    EXPECT_EQ(PcForwardContentToDeviceObject(43, nullptr, nullptr), STATUS_INVALID_PARAMETER);
    std::vector<sim::PcForwardedContent> log = sim::PcForwardedContentLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].contentId, 42u);
    EXPECT_EQ(log[0].forward.DeviceObject, Harness().Pdo());
    EXPECT_EQ(log[0].forward.Context, &forward);
}

}  // namespace
}  // namespace pctest
