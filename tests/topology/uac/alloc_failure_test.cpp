// Every allocation of a feature unit's and an output terminal's Init
// failing in turn (the transport's and the store's included), for both
// classes: the Init fails cleanly or, where the failed block was optional
// (a node of a control other than mute), succeeds without it; nothing of
// the entity or its nodes stays behind.
#include <functional>

#include "platform/usb/uac_builder.h"
#include "sim/pool.h"
#include "tests/topology/uac/uac_fixture.h"

namespace uactest {
namespace {

// Class 2.0 feature unit 2 entries: mute and volume on the master, volume
// on channels 1 and 2 (two-bit pairs, read/write); in the vendor block the
// DSP switch (selector 0x90) on the master and the software volume (0x82)
// on channels 1 and 2.
constexpr ULONG kMuteVolume2 = 0x0F, kVolume2 = 0x0C, kDspSwitch2 = 0xC0000000u;

// A class 2.0 device: clock 10; IT 1 USB streaming -> FU 2 -> OT 3
// headphones with its connector control (the device lists headphones and
// speaker behind it).
simusb::DescriptorSet Uac2SweepDevice() {
    simusb::DeviceFields fields;
    fields.idVendor = simusb::kSimVendorId;
    fields.idProduct = 0x7A26;
    fields.bcdUSB = 0x0200;
    simusb::ConfigBuilder c;
    c.Configuration()
        .Interface(0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL, USB_AUDIO_PROTOCOL_2_0)
        .Uac2Header(0x0A)
        .Uac2ClockSource(10, 0x03, 0x07)
        .Uac2InputTerminal(1, simusb::UAC_TERMINAL_USB_STREAMING, 10, 2, 0x3)
        .Uac2FeatureUnit(2, 1, {kMuteVolume2, kVolume2, kVolume2})
        .Uac2OutputTerminal(3, simusb::UAC_TERMINAL_HEADPHONES, 2, 10, 0x0004);
    simusb::DescriptorSet set;
    set.device = simusb::BuildDeviceDescriptor(fields);
    set.configuration = c.Build();
    set.strings[0] = simusb::BuildLanguageIds({0x0409});
    return set;
}

Bytes Le32Bytes(ULONG v) { return {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)}; }

// Feature unit 2's memory: 16 bytes, the block's length, three entries.
Bytes Uac2VendorBlock() {
    Bytes b(16, 0);
    const ULONG entries[] = {kDspSwitch2, kVolume2, kVolume2};
    b.push_back(16 + 2 + 4 * 3);
    b.push_back(0);
    for (ULONG e : entries) {
        const Bytes four = Le32Bytes(e);
        b.insert(b.end(), four.begin(), four.end());
    }
    return b;
}

Bytes Uac2FeatureUnitDescriptor() {
    Bytes rest{1};
    for (ULONG e : {kMuteVolume2, kVolume2, kVolume2}) {
        const Bytes four = Le32Bytes(e);
        rest.insert(rest.end(), four.begin(), four.end());
    }
    rest.push_back(0);  // iFeature
    return Descriptor(6, 2, rest);
}

struct SweepCase {
    const char* name;
    std::function<Bytes()> descriptor;
    ULONG fullNodes;    // nodes when nothing fails
    bool hasOptional;   // a node that Init skips without memory
    bool uac2 = false;  // the class 2.0 entity on Uac2SweepDevice
};

void PrintTo(const SweepCase& c, std::ostream* os) { *os << c.name; }

class AllocationSweepTest : public UacTest, public ::testing::WithParamInterface<SweepCase> {
protected:
    simusb::DescriptorSet Descriptors() override {
        return GetParam().uac2 ? Uac2SweepDevice() : UacTest::Descriptors();
    }
    bool IsUac2() const override { return GetParam().uac2; }
    void ConfigureDevice() override {
        if (!GetParam().uac2) return UacTest::ConfigureDevice();
        uac().SetMemory(2, Uac2VendorBlock());
        uac().SetTerminalTypes(3, {0x0302, 0x0301});
        uac().SetJacksForType(3, 0x0302, {{0x3, JackConfig(4, 0x01, 1)}});
        uac().SetJacksForType(3, 0x0301, {{0x3, JackConfig(4, 0x01, 1)}, {0xC, JackConfig(6, 0x01, 2)}});
    }

    int64_t LiveBlocksOfTheEntities() {
        int64_t live = 0;
        for (ULONG tag : {MakePoolTag("AUAT"), MakePoolTag("UA10"), MakePoolTag("UA20"), MakePoolTag("Topo"),
                          MakePoolTag("MTag"), MakePoolTag("VTag"), MakePoolTag("SelT"), MakePoolTag("TerT"),
                          MakePoolTag("Term")})
            live += sim::PoolLiveBlocks(tag);
        return live;
    }
};

TEST_P(AllocationSweepTest, EachAllocationFailingInTurn) {
    const SweepCase& c = GetParam();
    int skippedOptional = 0;
    for (uint64_t n = 1;; ++n) {
        ASSERT_LT(n, 2000u) << "the sweep does not end";
        NewModel();
        ASSERT_EQ(LiveBlocksOfTheEntities(), 0) << "after failing allocation " << n - 1;
        sim::PoolResetCounters();
        sim::PoolFailNth(n);
        CUacEntity* entity = nullptr;
        const NTSTATUS status = InitEntity(c.descriptor(), &entity);
        const uint64_t failed = sim::PoolFailedAllocations();
        sim::PoolClearFailures();
        ULONG nodes = 0;
        if (entity != nullptr) entity->GetNodeCount(&nodes);
        if (failed == 0) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(nodes, c.fullNodes);
            break;
        }
        // The pool's status, or the node list's (an append that fails);
        // success when the failed block was optional or its request
        // (the transport's IRP) is one whose failure Init tolerates.
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES ||
                    status == STATUS_UNSUCCESSFUL)
            << "allocation " << n << ": " << std::hex << status;
        if (status == STATUS_SUCCESS && nodes < c.fullNodes) ++skippedOptional;
    }
    if (c.hasOptional) {
        EXPECT_GT(skippedOptional, 0);
    }
    NewModel();
    EXPECT_EQ(LiveBlocksOfTheEntities(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sweep, AllocationSweepTest,
    ::testing::Values(SweepCase{"FeatureUnit", [] { return Descriptor(6, 2, {1, 1, 0x01, 0x02, 0x02, 0}); }, 2, true},
                      SweepCase{"OutputTerminal", [] { return Descriptor(3, 3, {0x01, 0x03, 0, 2, 0}); }, 3, false},
                      // Mute, volume, DSP switch, software volume.
                      SweepCase{"Uac2FeatureUnit", Uac2FeatureUnitDescriptor, 4, true, true},
                      // Two types, each with its jack list read.
                      SweepCase{"Uac2OutputTerminal",
                                [] { return Descriptor(3, 3, {0x02, 0x03, 0, 2, 10, 0x04, 0x00, 0}); }, 3, false,
                                true}),
    [](const ::testing::TestParamInfo<SweepCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace uactest
