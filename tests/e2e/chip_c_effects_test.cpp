// Chip family C with its vendor effect controls, through the real driver:
// the stereo speaker fixture whose feature unit 2 carries a vendor control
// block with 0x8B and 0x8C. "GlobalTopo" names both effect nodes by their
// effects; a DEV_SPECIFIC request switches surround on at the device; the
// headphone values set through the effect-values property read back.
#include <gtest/gtest.h>

#include "dsp/effect_nodes.h"
#include "tests/support/kernel_test.h"
#include "tools/host/host_controls.h"
#include "tools/host/host_session.h"

namespace e2etest {
namespace {

constexpr UCHAR kFeatureUnit = 2;

// Vendor control block (length 21, control size 2), entry 0 with the bits
// of 0x8B and 0x8C.
std::vector<uint8_t> VendorBlock() {
    std::vector<uint8_t> block(21, 0x5A);
    block[16] = 21;
    block[17] = 0;
    block[18] = 2;
    block[19] = 0x00;
    block[20] = 0x0C;
    return block;
}

class ChipCEffectsTest : public sim::KernelTest {
protected:
    void TearDown() override {
        session.reset();
        sim::KernelTest::TearDown();
    }
    std::unique_ptr<host::HostSession> session;
};

TEST_F(ChipCEffectsTest, EffectNodesNamedSwitchedAndValued) {
    session = std::make_unique<host::HostSession>();
    host::DeviceChoice choice;
    choice.descriptorFile = E2E_SOURCE_DIR "/tests/fixtures/uac1/chip_c_speaker.txt";
    std::string error;
    ASSERT_TRUE(session->PlugDevice(choice, &error)) << error;
    {
        auto lock = session->Device().lock();
        session->Device().model().SetMemory(kFeatureUnit, VendorBlock());
    }
    ASSERT_EQ(session->Start(), STATUS_SUCCESS);

    const host::EffectNodes nodes = host::FindEffectNodes(*session);
    ASSERT_TRUE(nodes.hasSurround);
    ASSERT_TRUE(nodes.hasHeadphone);
    EXPECT_NE(nodes.surroundNode, nodes.headphoneNode);

    session->Device().ClearRequestLog();
    ASSERT_EQ(host::SetEffectSwitch(*session, nodes.surroundNode, true), STATUS_SUCCESS);
    size_t vendorSets = 0;
    for (const simusb::ControlLogEntry& e : session->Device().RequestLog())
        vendorSets += e.setup.bmRequestType == 0x41 && e.setup.wValue == 0x8B00 && (e.setup.wIndex >> 8) == kFeatureUnit &&
                      e.data == std::vector<uint8_t>{1};
    EXPECT_EQ(vendorSets, 1u);
    LONG value = 0;
    {
        auto lock = session->Device().lock();
        EXPECT_TRUE(session->Device().model().GetValue(kFeatureUnit, 0x8B, 0, &value));
    }
    EXPECT_EQ(value, 1);
    bool on = false;
    EXPECT_EQ(host::GetEffectSwitch(*session, nodes.surroundNode, &on), STATUS_SUCCESS);
    EXPECT_TRUE(on);

    for (ULONG index : {0u, 1u}) {
        ASSERT_EQ(host::SetEffectValue(*session, nodes.headphoneNode, index, 2), STATUS_SUCCESS);
        ULONG back = 0;
        EXPECT_EQ(host::GetEffectValue(*session, nodes.headphoneNode, index, &back), STATUS_SUCCESS);
        EXPECT_EQ(back, 2u) << "value " << index;
    }
    // A room outside 0..2 is refused and the stored one stays.
    EXPECT_FALSE(NT_SUCCESS(host::SetEffectValue(*session, nodes.headphoneNode, 0, 3)));
    ULONG room = 0;
    EXPECT_EQ(host::GetEffectValue(*session, nodes.headphoneNode, 0, &room), STATUS_SUCCESS);
    EXPECT_EQ(room, 2u);
}

}  // namespace
}  // namespace e2etest
