// The transport against devices that lie: descriptor reads that bring
// fewer or other bytes than announced, fewer alternate-setting-0
// interfaces than bNumInterfaces, and the bus interface reference that must
// be dropped at teardown.
#include <gtest/gtest.h>

#include "sim/pool.h"
#include "tests/adapter/usb/usb_adapter.h"
#include "tests/support/kernel_test.h"

namespace adaptertest {
namespace {

using simusb::ControlRule;
using simusb::DescriptorSet;

class TransportFaultTest : public UsbAdapterTest {
protected:
    sim::ExecutorOptions Options() const override {  // exact virtual times
        sim::ExecutorOptions options = sim::ExecutorOptions::FromEnvironment();
        options.stress = false;
        return options;
    }
};

// ------------------------------------------------------------ descriptors

ControlRule DescriptorRule(UCHAR type, ControlRule::Action action, ULONG skip = 0) {
    ControlRule r;
    r.bRequest = USB_REQUEST_GET_DESCRIPTOR;
    r.wValue = (USHORT)(type << 8);
    r.action = action;
    r.skip = skip;
    r.count = 1;
    return r;
}

struct DescriptorCase {
    const char* name;
    // A rule for the device's answers, given its descriptors.
    ControlRule (*rule)(const DescriptorSet&);
    bool identityStored;  // the device descriptor itself was sound
};

ControlRule DeviceDescriptorShort(const DescriptorSet&) {
    ControlRule r = DescriptorRule(USB_DEVICE_DESCRIPTOR_TYPE, ControlRule::Short);
    r.shortTo = 8;
    return r;
}
ControlRule DeviceDescriptorWrongType(const DescriptorSet&) {
    ControlRule r = DescriptorRule(USB_DEVICE_DESCRIPTOR_TYPE, ControlRule::AlterByte);
    r.offset = 1;
    r.value = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    return r;
}
ControlRule ConfigurationHeaderShort(const DescriptorSet&) {
    ControlRule r = DescriptorRule(USB_CONFIGURATION_DESCRIPTOR_TYPE, ControlRule::Short);
    r.shortTo = 4;
    return r;
}
ControlRule TotalLengthBelowHeader(const DescriptorSet&) {
    ControlRule r = DescriptorRule(USB_CONFIGURATION_DESCRIPTOR_TYPE, ControlRule::AlterByte);
    r.offset = 2;
    r.value = 5;
    return r;
}
ControlRule TotalLengthGrowsOnSecondRead(const DescriptorSet& set) {
    ControlRule r = DescriptorRule(USB_CONFIGURATION_DESCRIPTOR_TYPE, ControlRule::AlterByte, 1);
    r.offset = 2;
    r.value = (uint8_t)(set.configuration[2] + 16);
    return r;
}
ControlRule SecondReadShort(const DescriptorSet& set) {
    ControlRule r = DescriptorRule(USB_CONFIGURATION_DESCRIPTOR_TYPE, ControlRule::Short, 1);
    r.shortTo = (ULONG)set.configuration.size() - 1;
    return r;
}

class DescriptorFaultTest : public TransportFaultTest, public ::testing::WithParamInterface<DescriptorCase> {};

TEST_P(DescriptorFaultTest, IsAConfigurationErrorAndStoresNothing) {
    DescriptorSet set = simusb::BuildUac1Headset();
    Make(set);
    adapter_->device().AddControlRule(GetParam().rule(set));
    adapter_->transport().Init(adapter_->fdo(), adapter_->port().Pdo());
    EXPECT_EQ(adapter_->transport().ReadDescriptors(), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(adapter_->transport().GetConfigurationDescriptor(), nullptr);
    EXPECT_EQ(adapter_->transport().VendorId(), GetParam().identityStored ? simusb::kSimVendorId : 0);
    EXPECT_EQ(sim::PoolLiveBlocks(kUsbTransportTag), 0) << "a temporary buffer was left";
}

INSTANTIATE_TEST_SUITE_P(
    Reads, DescriptorFaultTest,
    ::testing::Values(DescriptorCase{"DeviceDescriptorShort", DeviceDescriptorShort, false},
                      DescriptorCase{"DeviceDescriptorWrongType", DeviceDescriptorWrongType, false},
                      DescriptorCase{"ConfigurationHeaderShort", ConfigurationHeaderShort, true},
                      DescriptorCase{"TotalLengthBelowHeader", TotalLengthBelowHeader, true},
                      DescriptorCase{"TotalLengthGrowsOnSecondRead", TotalLengthGrowsOnSecondRead, true},
                      DescriptorCase{"SecondReadShort", SecondReadShort, true}),
    [](const ::testing::TestParamInfo<DescriptorCase>& info) { return std::string(info.param.name); });

TEST_F(TransportFaultTest, DeviceAnnouncingMoreBytesThanItHasIsRefused) {
    DescriptorSet set = simusb::BuildUac1Headset();
    set.configuration[2] = (uint8_t)(set.configuration[2] + 40);  // wTotalLength past the real bytes
    Make(set);
    EXPECT_EQ(adapter_->Start(), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(adapter_->transport().GetConfigurationDescriptor(), nullptr);
}

// ------------------------------------------------------------ interfaces

struct InterfaceCountCase {
    const char* name;
    void (*mutate)(simusb::Bytes& configuration);
    NTSTATUS status;
    ULONG count;
};

void AnnounceFive(simusb::Bytes& c) { c[4] = 5; }
void AnnounceNone(simusb::Bytes& c) { c[4] = 0; }
void NoAlternateZero(simusb::Bytes& c) {
    for (size_t at = 0; at + 3 < c.size() && c[at] >= 2; at += c[at])
        if (c[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) c[at + 3] += 1;
}

class InterfaceCountTest : public TransportFaultTest, public ::testing::WithParamInterface<InterfaceCountCase> {};

TEST_P(InterfaceCountTest, UsesTheInterfacesFound) {
    DescriptorSet set = simusb::BuildUac1Headset();
    GetParam().mutate(set.configuration);
    Make(set);
    EXPECT_EQ(adapter_->Start(), GetParam().status);
    EXPECT_EQ(adapter_->transport().InterfaceCount(), GetParam().count);
    for (ULONG i = 0; i < GetParam().count; ++i)
        EXPECT_EQ(adapter_->transport().InterfaceInfo(i)->InterfaceNumber, i);
}

INSTANTIATE_TEST_SUITE_P(
    Counts, InterfaceCountTest,
    ::testing::Values(InterfaceCountCase{"MoreAnnouncedThanPresent", AnnounceFive, STATUS_SUCCESS, 3},
                      InterfaceCountCase{"NoneAnnounced", AnnounceNone, STATUS_DEVICE_CONFIGURATION_ERROR, 0},
                      InterfaceCountCase{"NoAlternateSettingZero", NoAlternateZero,
                                         STATUS_DEVICE_CONFIGURATION_ERROR, 0}),
    [](const ::testing::TestParamInfo<InterfaceCountCase>& info) { return std::string(info.param.name); });

// ------------------------------------------------------------ bus interface

TEST_F(TransportFaultTest, BusInterfaceIsDereferencedAtTeardown) {
    Make(simusb::BuildUac1Headset());
    {
        CUsbTransport transport;
        transport.Init(adapter_->fdo(), adapter_->port().Pdo());
        ASSERT_EQ(transport.QueryBusInterface(), STATUS_SUCCESS);
        ASSERT_EQ(transport.QueryBusInterface(), STATUS_SUCCESS);
        EXPECT_EQ(adapter_->bus().BusInterfaceReferences(), 1) << "a second query kept the first reference";
    }
    EXPECT_EQ(adapter_->bus().BusInterfaceReferences(), 0);
}

struct RefusalCase {
    const char* name;
    simusb::BusInterfaceMode mode;
};

class BusInterfaceRefusalTest : public TransportFaultTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(BusInterfaceRefusalTest, FailsTheStartAndHoldsNothing) {
    Make(simusb::BuildUac2AsyncDevice());
    adapter_->bus().SetBusInterfaceMode(GetParam().mode);
    EXPECT_EQ(adapter_->Start(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(adapter_->transport().BusInterface().BusContext, nullptr);
    EXPECT_FALSE(adapter_->transport().IsHighSpeed());
    ULONG frame = 5;
    EXPECT_EQ(adapter_->transport().GetCurrentFrameNumber(&frame), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(frame, 0u);
    EXPECT_EQ(adapter_->bus().BusInterfaceReferences(), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, BusInterfaceRefusalTest,
                         ::testing::Values(RefusalCase{"Refused", simusb::BusInterfaceMode::Refuse},
                                           RefusalCase{"NullContext", simusb::BusInterfaceMode::NullContext}),
                         [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace adaptertest
