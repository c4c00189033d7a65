// Device interfaces, device properties and device registry keys.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "nt/ke.h"
#include "nt/rtl.h"
#include "nt/zw.h"
#include "sim/ioctl_harness.h"
#include "sim/pnp_harness.h"
#include "sim/registry.h"
#include "sim/strings.h"
#include "tests/platform/io_test_util.h"
#include "tests/support/kernel_test.h"

namespace {

using iotest::CompleteIrp;
using iotest::TestStack;

// {35CE36A6-01C6-4067-B195-1BB65DCB553A}
const GUID kAsioInterface = {0x35CE36A6, 0x01C6, 0x4067, {0xB1, 0x95, 0x1B, 0xB6, 0x5D, 0xCB, 0x55, 0x3A}};
const std::u16string kInstance = u"USB\\VID_0B05&PID_17F3\\5&1a2b3c4d&0&1";

class IoInterfaceTest : public sim::KernelTest {
protected:
    void SetUp() override {
        sim::KernelTest::SetUp();
        sim::RegistryReset();
    }

    // Registers the ASIO interface on the stack's PDO; returns the link.
    std::u16string Register(TestStack& stack, const char16_t* reference = u"XRASIOPrivateInterface") {
        sim::UString ref(reference);
        UNICODE_STRING link{};
        EXPECT_EQ(IoRegisterDeviceInterface(stack.Bottom(), &kAsioInterface, ref.get(), &link), STATUS_SUCCESS);
        std::u16string text = sim::ToU16(link);
        RtlFreeUnicodeString(&link);
        return text;
    }

    NTSTATUS SetState(const std::u16string& link, BOOLEAN enable) {
        sim::UString name(link);
        return IoSetDeviceInterfaceState(name.get(), enable);
    }
};

TEST_F(IoInterfaceTest, LinkNamesInstanceClassAndReference) {
    TestStack stack(2, kInstance);
    std::u16string link = Register(stack);
    EXPECT_EQ(sim::ToUtf8(link),
              "\\??\\USB#VID_0B05&PID_17F3#5&1a2b3c4d&0&1#{35ce36a6-01c6-4067-b195-1bb65dcb553a}"
              "\\XRASIOPrivateInterface");
    // Registering again is the same interface.
    EXPECT_EQ(Register(stack), link);
    ASSERT_EQ(sim::IoDeviceInterfaces(&kAsioInterface).size(), 1u);
    EXPECT_EQ(sim::IoDeviceInterfaces()[0].referenceString, u"XRASIOPrivateInterface");
}

TEST_F(IoInterfaceTest, RegistrationRefusesBadCallers) {
    TestStack notPhysical(1);
    sim::UString ref(u"Ref");
    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(notPhysical.Bottom(), &kAsioInterface, ref.get(), &link),
              STATUS_INVALID_DEVICE_REQUEST);
    TestStack stack(1, kInstance);
    sim::UString pathLike(u"A\\B");
    EXPECT_EQ(IoRegisterDeviceInterface(stack.Bottom(), &kAsioInterface, pathLike.get(), &link),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(link.Buffer, nullptr);
}

TEST_F(IoInterfaceTest, StateChangesAreVisibleWithThePlatformsStatusCodes) {
    TestStack stack(1, kInstance);
    std::u16string link = Register(stack);
    sim::DeviceInterface info;
    ASSERT_TRUE(sim::IoFindDeviceInterface(link, &info));
    EXPECT_FALSE(info.enabled);

    struct Step {
        BOOLEAN enable;
        NTSTATUS expected;
        bool enabledAfter;
    };
    const Step steps[] = {{TRUE, STATUS_SUCCESS, true},
                          {TRUE, STATUS_OBJECT_NAME_EXISTS, true},
                          {FALSE, STATUS_SUCCESS, false},
                          {FALSE, STATUS_OBJECT_NAME_NOT_FOUND, false}};
    for (const Step& step : steps) {
        EXPECT_EQ(SetState(link, step.enable), step.expected);
        sim::IoFindDeviceInterface(link, &info);
        EXPECT_EQ(info.enabled, step.enabledAfter);
    }
    EXPECT_EQ(info.timesEnabled, 1);
    EXPECT_EQ(info.timesDisabled, 1);
    EXPECT_EQ(SetState(u"\\??\\nothing", TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    // Names match without case.
    std::u16string upper = link;
    for (auto& c : upper)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    EXPECT_EQ(SetState(upper, TRUE), STATUS_SUCCESS);
}

TEST_F(IoInterfaceTest, InterfacesGoWithTheirPhysicalDevice) {
    {
        TestStack stack(1, kInstance);
        Register(stack);
        EXPECT_EQ(sim::IoDeviceInterfaces().size(), 1u);
    }
    EXPECT_TRUE(sim::IoDeviceInterfaces().empty());
}

TEST_F(IoInterfaceTest, UserOpenReachesCreateWithTheReferenceString) {
    TestStack stack(2, kInstance);
    std::vector<std::string> seen;
    std::u16string fileName;
    PDEVICE_OBJECT fileDevice = nullptr;
    PEPROCESS createProcess = nullptr;
    BOOLEAN is32 = FALSE;
    stack[1].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        seen.push_back(std::to_string(sp->MajorFunction));
        if (sp->MajorFunction == IRP_MJ_CREATE) {
            fileName = sim::ToU16(sp->FileObject->FileName);
            fileDevice = sp->FileObject->DeviceObject;
            createProcess = PsGetCurrentProcess();
            is32 = IoIs32bitProcess(irp);
        }
        return CompleteIrp(irp, STATUS_SUCCESS);
    };
    std::u16string link = Register(stack);
    sim::UserProcess client(/*is32Bit=*/true);
    sim::UserHandle handle(client);
    EXPECT_EQ(handle.OpenInterface(link), STATUS_OBJECT_NAME_NOT_FOUND);  // not enabled yet
    EXPECT_TRUE(seen.empty());

    ASSERT_EQ(SetState(link, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(handle.OpenInterface(link), STATUS_SUCCESS);
    EXPECT_EQ(fileName, u"\\XRASIOPrivateInterface");
    EXPECT_EQ(fileDevice, stack.Bottom());
    EXPECT_EQ(createProcess, client.Process());
    EXPECT_TRUE(is32);
    EXPECT_EQ(stack.Bottom()->ReferenceCount, 1);
    EXPECT_EQ(handle.Close(), STATUS_SUCCESS);
    EXPECT_EQ(seen, (std::vector<std::string>{std::to_string(IRP_MJ_CREATE), std::to_string(IRP_MJ_CLEANUP),
                                              std::to_string(IRP_MJ_CLOSE)}));
    EXPECT_EQ(stack.Bottom()->ReferenceCount, 0);
}

TEST_F(IoInterfaceTest, FailedCreateNeverSeesCleanupOrClose) {
    TestStack stack(1, kInstance);
    int requests = 0;
    stack[0].dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        ++requests;
        return CompleteIrp(irp, STATUS_ACCESS_DENIED);
    };
    sim::UserProcess client;
    {
        sim::UserHandle handle(client);
        EXPECT_EQ(handle.OpenDevice(stack.Bottom(), u"\\Other"), STATUS_ACCESS_DENIED);
        EXPECT_FALSE(handle.IsOpen());
    }
    EXPECT_EQ(requests, 1);
}

// ------------------------------------------------------------- properties

std::u16string PropertyText(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, NTSTATUS* status) {
    ULONG needed = 0;
    *status = IoGetDeviceProperty(pdo, property, 0, nullptr, &needed);
    if (*status != STATUS_BUFFER_TOO_SMALL) return u"";
    std::vector<char16_t> buffer(needed / sizeof(char16_t));
    *status = IoGetDeviceProperty(pdo, property, needed, buffer.data(), &needed);
    return std::u16string(buffer.begin(), buffer.end());
}

struct PropertyCase {
    const char* name;
    DEVICE_REGISTRY_PROPERTY property;
    std::u16string expected;  // with its terminators
};

class IoPropertyTest : public IoInterfaceTest, public ::testing::WithParamInterface<PropertyCase> {};

TEST_P(IoPropertyTest, PropertyComesFromTheDevicesEnumKey) {
    sim::PdoConfig config;
    config.friendlyName = u"Headset";
    sim::PnpHarness device(config);
    NTSTATUS status;
    EXPECT_EQ(PropertyText(device.Pdo(), GetParam().property, &status), GetParam().expected);
    EXPECT_EQ(status, STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Strings, IoPropertyTest,
    ::testing::Values(
        PropertyCase{"HardwareID", DevicePropertyHardwareID,
                     std::u16string(u"USB\\VID_0B05&PID_17F3&REV_0100\0USB\\VID_0B05&PID_17F3\0\0", 54)},
        PropertyCase{"FriendlyName", DevicePropertyFriendlyName, std::u16string(u"Headset\0", 8)},
        PropertyCase{"DeviceDescription", DevicePropertyDeviceDescription,
                     std::u16string(u"USB Audio Device\0", 17)},
        PropertyCase{"DriverKeyName", DevicePropertyDriverKeyName,
                     std::u16string(u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0001\0", 44)},
        PropertyCase{"EnumeratorName", DevicePropertyEnumeratorName, std::u16string(u"USB\0", 4)}),
    [](const ::testing::TestParamInfo<PropertyCase>& info) { return std::string(info.param.name); });

TEST_F(IoInterfaceTest, PropertySizeProtocolAndMissingValues) {
    sim::PnpHarness device;  // no friendly name
    ULONG needed = 0;
    char16_t small[4];
    EXPECT_EQ(IoGetDeviceProperty(device.Pdo(), DevicePropertyManufacturer, sizeof(small), small, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, sizeof(u"(Generic USB Audio)"));
    EXPECT_EQ(IoGetDeviceProperty(device.Pdo(), DevicePropertyFriendlyName, 0, nullptr, &needed),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(IoInterfaceTest, FriendlyNameWrittenByADriverIsTheNewProperty) {
    sim::PnpHarness device;
    // As a driver writes it: "\Registry\Machine\SYSTEM\CurrentControlSet\Enum\<id>\<instance>".
    sim::UString path(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0B05&PID_17F3\\"
                      u"5&1a2b3c4d&0&1");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, path.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE key;
    ASSERT_EQ(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes), STATUS_SUCCESS);
    sim::UString value(u"FriendlyName");
    const char16_t name[] = u"My Headset";
    EXPECT_EQ(ZwSetValueKey(key, value.get(), 0, REG_SZ, const_cast<char16_t*>(name), sizeof(name)), STATUS_SUCCESS);
    ZwClose(key);
    NTSTATUS status;
    EXPECT_EQ(PropertyText(device.Pdo(), DevicePropertyFriendlyName, &status), std::u16string(name, 11));
}

// ----------------------------------------------------------- registry keys

struct KeyCase {
    const char* name;
    ULONG type;
    const char16_t* path;
};

class IoRegistryKeyTest : public IoInterfaceTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(IoRegistryKeyTest, OpensAndCreatesTheDevicesKey) {
    sim::PnpHarness device;
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(device.Pdo(), GetParam().type, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    sim::UString name(u"Probe");
    ULONG one = 1;
    EXPECT_EQ(ZwSetValueKey(key, name.get(), 0, REG_DWORD, &one, sizeof(one)), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_TRUE(sim::RegistryGetValue(GetParam().path, u"Probe").has_value()) << sim::ToUtf8(GetParam().path);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, IoRegistryKeyTest,
    ::testing::Values(
        KeyCase{"DeviceParameters", PLUGPLAY_REGKEY_DEVICE,
                u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_0B05&PID_17F3\\5&1a2b3c4d&0&1"
                u"\\Device Parameters"},
        KeyCase{"DriverKey", PLUGPLAY_REGKEY_DRIVER,
                u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
                u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0001"},
        KeyCase{"HardwareProfile", PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE,
                u"\\Registry\\Machine\\System\\CurrentControlSet\\Hardware Profiles\\Current\\System"
                u"\\CurrentControlSet\\Enum\\USB\\VID_0B05&PID_17F3\\5&1a2b3c4d&0&1"}),
    [](const ::testing::TestParamInfo<KeyCase>& info) { return std::string(info.param.name); });

TEST_F(IoInterfaceTest, HardwareProfileKeyIsNamedAfterTheInstance) {
    sim::PnpHarness device;
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(device.Pdo(), PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE,
                                      KEY_ALL_ACCESS, &key),
              STATUS_SUCCESS);
    UCHAR buffer[256];
    ULONG length = 0;
    ASSERT_EQ(ZwQueryKey(key, KeyBasicInformation, buffer, sizeof(buffer), &length), STATUS_SUCCESS);
    auto* info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer);
    EXPECT_EQ(std::u16string(info->Name, info->NameLength / sizeof(WCHAR)), u"5&1a2b3c4d&0&1");
    ZwClose(key);
}

}  // namespace
