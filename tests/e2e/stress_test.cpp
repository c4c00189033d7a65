// The whole driver under concurrent use: playback and recording rounds
// while another client sets and reads volume and mute, jacks come and go
// between the rounds, and at the end the device leaves the bus during a
// run. Under ThreadSanitizer in the executor's stress mode (two DPC
// threads, time running on) this checks the driver's locking from the
// pins down to the USB completions; in any mode, that every run ends and
// nothing leaks.
#include <atomic>

#include "platform/portcls/wave_pin.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/fakes/stream/formats.h"
#include "tools/host/host_controls.h"
#include "tools/host/host_stream.h"

namespace e2etest {
namespace {

// Waits (simulated time) until the wave filter of that direction is there.
bool WaitForFilter(host::HostSession& session, bool capture) {
    for (int i = 0; i < 100; i++) {
        if (session.FindWaveFilter(capture).port != NULL) return true;
        sim::Sleep(10 * kMs);
    }
    return false;
}

TEST_F(E2eTest, StreamsControlsAndJacksTogether) {
    ASSERT_EQ(StartSession(), STATUS_SUCCESS);
    host::RenderControls controls = host::FindRenderControls(Session());
    ASSERT_TRUE(controls.hasVolume && controls.hasMute);
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    sim::TestThread client("controls", [&] {
        for (int n = 0; !done.load(); n++) {
            LONG level = 0;
            bool mute = false;
            if (!NT_SUCCESS(host::SetVolume(Session(), controls.volumeNode, -(n % 40) * 65536)) ||
                !NT_SUCCESS(host::GetVolume(Session(), controls.volumeNode, &level)) ||
                !NT_SUCCESS(host::SetMute(Session(), controls.muteNode, n % 2 == 0)) ||
                !NT_SUCCESS(host::GetMute(Session(), controls.muteNode, &mute)))
                failures++;
            sim::Sleep(3 * kMs);
        }
    });
    WAVEFORMATEXTENSIBLE format = streamfakes::PcmFormat(2, 48000, 16);
    std::vector<uint8_t> tone = host::ToneBytes(format, 1000, -20, 0.15);
    for (int round = 0; round < 4; round++) {
        ASSERT_TRUE(WaitForFilter(Session(), false));
        host::StreamRun played = host::Play(Session(), format, tone, nullptr);
        EXPECT_EQ(played.status, STATUS_SUCCESS) << played.error;
        host::StreamRun recorded = host::Record(Session(), 0.1, nullptr);
        EXPECT_EQ(recorded.status, STATUS_SUCCESS) << recorded.error;
        host::SetHeadsetJack(Session().Device(), round % 2 == 0, false);
        sim::Sleep(20 * kMs);
        host::SetHeadsetJack(Session().Device(), round % 2 == 0, true);
    }
    done = true;
    client.Join();
    EXPECT_EQ(failures.load(), 0);

    ASSERT_TRUE(WaitForFilter(Session(), false));
    std::vector<uint8_t> connect = host::ConnectFormat(format, false);
    {
        sim::WavePin pin;
        ASSERT_EQ(pin.Open(Session().FindWaveFilter(false).port, 0, connect.data(), (ULONG)connect.size()),
                  STATUS_SUCCESS);
        pin.QueueRender(tone.data(), tone.size());
        EXPECT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        sim::Sleep(30 * kMs);
        Session().Port().bus().Unplug();
        sim::Sleep(30 * kMs);
        pin.Close();
    }
    EXPECT_EQ(Session().Remove(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace e2etest
