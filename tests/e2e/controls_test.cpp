// Controls and presence end to end: volume and mute set through the
// topology filter reach the headset's feature unit and come back at the
// next start from the saved registry image; unplugging a jack takes its
// wave filter away and plugging it in brings it back.
#include <cstring>

#include "sim/registry.h"
#include "tests/e2e/e2e_fixture.h"
#include "tools/host/host_controls.h"

namespace e2etest {
namespace {

constexpr UCHAR kSetCur = 0x01;
constexpr UCHAR kMuteControl = 1, kVolumeControl = 2;
constexpr USHORT kPlaybackUnitIndex = host::kHeadsetPlaybackUnit << 8;  // interface 0

// The SET_CUR requests to the playback feature unit's master channel for
// one control, each as its data bytes.
std::vector<simusb::Bytes> SetCurRequests(simusb::SimDevice& device, UCHAR control) {
    std::vector<simusb::Bytes> found;
    for (const simusb::ControlLogEntry& e : device.RequestLog())
        if (e.setup.bmRequestType == 0x21 && e.setup.bRequest == kSetCur && e.setup.wIndex == kPlaybackUnitIndex &&
            e.setup.wValue == (USHORT)(control << 8))
            found.push_back(e.data);
    return found;
}

LONG DeviceValue(simusb::SimDevice& device, UCHAR control) {
    auto lock = device.lock();
    LONG value = 0;
    EXPECT_TRUE(device.model().GetValue(host::kHeadsetPlaybackUnit, control, 0, &value));
    return value;
}

TEST_F(E2eTest, VolumeAndMuteReachTheFeatureUnitAndSurviveARestart) {
    const std::string state = TestDirectory("state");
    ASSERT_EQ(StartSession("", state), STATUS_SUCCESS);
    host::RenderControls controls = host::FindRenderControls(Session());
    ASSERT_TRUE(controls.hasVolume && controls.hasMute);
    Session().Device().ClearRequestLog();
    ASSERT_EQ(host::SetVolume(Session(), controls.volumeNode, -10 * 65536), STATUS_SUCCESS);
    ASSERT_EQ(host::SetMute(Session(), controls.muteNode, true), STATUS_SUCCESS);
    // -10 dB is 0xF600 in the device's 1/256 dB.
    EXPECT_EQ(SetCurRequests(Session().Device(), kVolumeControl), (std::vector<simusb::Bytes>{{0x00, 0xF6}}));
    EXPECT_EQ(SetCurRequests(Session().Device(), kMuteControl), (std::vector<simusb::Bytes>{{0x01}}));
    EXPECT_EQ(DeviceValue(Session().Device(), kVolumeControl), -0x0A00);
    EXPECT_EQ(DeviceValue(Session().Device(), kMuteControl), 1);
    ASSERT_EQ(host::SetVolume(Session(), controls.volumeNode, -7 * 65536), STATUS_SUCCESS);
    session_.reset();

    // A new boot from the saved image: the stored values go to the device
    // at start and the properties read them back.
    sim::RegistryReset();
    ASSERT_EQ(StartSession("", state), STATUS_SUCCESS);
    EXPECT_EQ(DeviceValue(Session().Device(), kVolumeControl), -0x0700);
    EXPECT_EQ(DeviceValue(Session().Device(), kMuteControl), 1);
    std::vector<simusb::Bytes> atStart = SetCurRequests(Session().Device(), kVolumeControl);
    ASSERT_FALSE(atStart.empty());
    EXPECT_EQ(atStart.back(), (simusb::Bytes{0x00, 0xF9}));
    LONG level = 0;
    bool mute = false;
    ASSERT_EQ(host::GetVolume(Session(), controls.volumeNode, &level), STATUS_SUCCESS);
    ASSERT_EQ(host::GetMute(Session(), controls.muteNode, &mute), STATUS_SUCCESS);
    EXPECT_EQ(level, -7 * 65536);
    EXPECT_TRUE(mute);
}

TEST_F(E2eTest, ABadStateFileIsRefusedWithItsLineBeforeTheDriverStarts) {
    const std::string state = TestDirectory("state");
    ASSERT_TRUE(host::MakeDirectories(state));
    FILE* f = std::fopen((state + "/registry.txt").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("registry-image 1\nkey \"\\Registry\\Machine\\SOFTWARE\\X\"\nvalue \"a\" REG_DWORD zz\n", f);
    std::fclose(f);
    host::HostSession session;
    std::string error;
    EXPECT_FALSE(session.UseStateDirectory(state, &error));
    EXPECT_NE(error.find("registry.txt:3:"), std::string::npos) << error;
    EXPECT_FALSE(sim::RegistryKeyExists(u"\\Registry\\Machine\\SOFTWARE\\X"));
}

struct JackCase {
    const char* name;
    bool render;
    const char16_t* filter;
};

class JackTest : public E2eTest, public ::testing::WithParamInterface<JackCase> {};

TEST_P(JackTest, UnpluggingTakesTheWaveFilterAwayAndPluggingBringsItBack) {
    const JackCase& c = GetParam();
    ASSERT_EQ(StartSession(), STATUS_SUCCESS);
    const std::vector<std::u16string> all = {u"GlobalTopo", u"HeadSetOut00Wave", u"HeadSetIn00Wave"};
    ASSERT_EQ(Filters(), all);
    host::SetHeadsetJack(Session().Device(), c.render, false);
    sim::Sleep(100 * kMs);
    std::vector<std::u16string> without = all;
    without.erase(std::find(without.begin(), without.end(), c.filter));
    EXPECT_EQ(Filters(), without);
    EXPECT_EQ(Session().Connections().size(), 1u);
    host::SetHeadsetJack(Session().Device(), c.render, true);
    sim::Sleep(100 * kMs);
    std::vector<std::u16string> back = Filters();
    std::sort(back.begin(), back.end());
    std::vector<std::u16string> sorted = all;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(back, sorted);
    EXPECT_EQ(Session().Connections().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Jacks, JackTest,
                         ::testing::Values(JackCase{"Headphones", true, u"HeadSetOut00Wave"},
                                           JackCase{"Microphone", false, u"HeadSetIn00Wave"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2etest
