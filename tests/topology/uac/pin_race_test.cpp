// A pin's jack records refreshed on one thread (the status thread's
// ReadBack) while another copies them (a jack property handler): every
// copy is whole, nothing is read after it was freed. LABEL tsan runs it
// under ThreadSanitizer; the normal suite under the address sanitizer.
#include <atomic>

#include "sim/executor.h"
#include "tests/support/kernel_test.h"
#include "topology/terminal_nodes.h"

namespace uactest {
namespace {

// A terminal whose jack count alternates between 1 and 3 with every count
// query; each record carries the count it belongs to.
class AlternatingTerminal : public ITerminal, public CUacUnitBase {
public:
    AlternatingTerminal() : CUacUnitBase(NULL, 3, 3) {}
    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override {
        if (IsEqualGUID(iid, IID_ITerminal)) return ReturnInterface(static_cast<ITerminal*>(this), out);
        return CUacUnitBase::NonDelegatingQueryInterface(iid, out);
    }
    NTSTATUS GetType(ULONG* type) override {
        *type = ENDPOINT_SPK;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetTypeCount(ULONG* count) override {
        *count = 1;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetTypes(ULONG* types) override { return GetType(types); }
    NTSTATUS SelectType(ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS GetJackCount(ULONG* count, ULONG) override {
        m_Count = m_Count == 1 ? 3 : 1;
        *count = m_Count;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetJackInfo(ULONG size, JACK_INFO* records, ULONG) override {
        if (size < m_Count * sizeof(JACK_INFO)) return STATUS_INVALID_PARAMETER;
        for (ULONG i = 0; i < m_Count; ++i) records[i] = JACK_INFO{m_Count, 0, 1, 0, 0, 0, 0, 1, 1};
        return STATUS_SUCCESS;
    }
    NTSTATUS GetCapabilities(ENDPOINT_CAPS*) override { return STATUS_NOT_IMPLEMENTED; }

private:
    ULONG m_Count = 3;
};

class PinRaceTest : public sim::KernelTest {};

TEST_F(PinRaceTest, RecordsReplacedWhileTheyAreCopied) {
    auto* terminal = new (NonPagedPoolNx, MakePoolTag("FTrm")) AlternatingTerminal();
    terminal->AddRef();
    auto* pin = new (NonPagedPoolNx, MakePoolTag("FPin")) COutputPinNode(NULL, 4, 0);
    static_cast<IUacUnit*>(pin)->AddRef();
    const ENDPOINT_CAPS caps = {};
    ASSERT_EQ(pin->InitFromEntity(static_cast<ITerminal*>(terminal), &caps), STATUS_SUCCESS);
    std::atomic<bool> stop{false};
    sim::TestThread writer("readback", [&] {
        for (int i = 0; i < 2000 && !stop; ++i) EXPECT_EQ(pin->ReadBack(), STATUS_SUCCESS);
    });
    int whole = 0;
    for (int i = 0; i < 2000; ++i) {
        JACK_INFO copy[3] = {};
        ASSERT_EQ(pin->GetJackInfo(sizeof(copy), copy, 0), STATUS_SUCCESS);
        const ULONG n = copy[0].ChannelMapping;
        ASSERT_TRUE(n == 1 || n == 3) << n;
        for (ULONG k = 0; k < n; ++k) ASSERT_EQ(copy[k].ChannelMapping, n);
        ++whole;
    }
    stop = true;
    writer.Join();
    EXPECT_EQ(whole, 2000);
    static_cast<IUacUnit*>(pin)->Release();
    terminal->Release();
}

}  // namespace
}  // namespace uactest
