// Jack records replaced on one thread while another reads the jack
// description (LABEL tsan runs it under ThreadSanitizer; the normal suite
// runs it under the address sanitizer).
#include <atomic>

#include "sim/executor.h"
#include "tests/topology/jack_fixture.h"

namespace topotest {
namespace {

// Jack records replaced on one thread while another reads the jack
// description: every answer is whole (run under the sanitizers).
TEST_F(JackFaultTest, RecordsReplacedWhileDescriptionsAreRead) {
    const JACK_INFO one[1] = {Jack(1, 0x1, 1)};
    const JACK_INFO three[3] = {Jack(1, 0x1, 1), Jack(2, 0x2, 1), Jack(4, 0x4, 1)};
    struct CReplacing : CScriptedTerminal {
        using CScriptedTerminal::CScriptedTerminal;
        NTSTATUS GetJackCount(ULONG* count, ULONG i) override { return CTerminalUnit::GetJackCount(count, i); }
        NTSTATUS GetJackInfo(ULONG size, JACK_INFO* r, ULONG i) override { return CTerminalUnit::GetJackInfo(size, r, i); }
    };
    ReleaseAll();
    hal = fakes::CFakeAudioHal::Create();
    CReplacing* live = Add(NewUnit<CReplacing>(1u));
    ASSERT_EQ(live->Replace(3, three), STATUS_SUCCESS);
    AddOutputPin(2, 1, ENDPOINT_SPK);
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    std::atomic<bool> stop{false};
    sim::TestThread writer("replace", [&] {
        for (int i = 0; i < 400 && !stop; ++i) {
            live->Replace(i % 2 ? 1 : 3, i % 2 ? one : three);
        }
    });
    int answers = 0;
    for (int i = 0; i < 400; ++i) {
        KsPropertyResult r = KsProperty(port->Target(), FilterRequest(KSPROPSETID_Jack, 1, KSPROPERTY_TYPE_GET, {0}), 8 + 3 * 28);
        ASSERT_TRUE(r.Status == STATUS_SUCCESS || r.Status == STATUS_BUFFER_TOO_SMALL) << r.Status;
        if (r.Status == STATUS_SUCCESS) {
            ULONG n = WordAt(r.Output, 4);
            ASSERT_TRUE(n == 1 || n == 3);
            ASSERT_EQ(WordAt(r.Output, 0), 8 + 28 * n);
            ASSERT_EQ(WordAt(r.Output, 8), 1u);
            ++answers;
        }
    }
    stop = true;
    writer.Join();
    EXPECT_GT(answers, 0);
}

}  // namespace
}  // namespace topotest
