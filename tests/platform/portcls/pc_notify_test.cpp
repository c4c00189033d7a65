// IPortWaveCyclic::Notify and service groups: a notification only queues
// the group's DPC; the service pass runs later at DISPATCH_LEVEL on the DPC
// thread, once for any number of notifications before it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "nt/ke.h"
#include "pc_fakes.h"

namespace pctest {
namespace {

class RecordingSink : public IServiceSink, public CUnknown {
public:
    RecordingSink() : CUnknown(nullptr) {}
    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override {
        if (iid != IID_IUnknown && iid != IID_IServiceSink)
            return (*out = nullptr), STATUS_INVALID_PARAMETER;
        *out = static_cast<IServiceSink*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    VOID RequestService() override {
        irql = KeGetCurrentIrql();
        thread = KeGetCurrentThread();
        if (++calls == 1 && holdFirst) {
            entered = true;
            while (!release) std::this_thread::yield();
        }
    }
    std::atomic<int> calls{0};
    std::atomic<KIRQL> irql{PASSIVE_LEVEL};
    std::atomic<PKTHREAD> thread{nullptr};
    // The first pass waits for `release`, so that the test can notify while
    // a pass runs.
    bool holdFirst = false;
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
};

class PcNotifyTest : public PortClsTest {
protected:
    // One DPC thread, whatever the environment asks: with two, a pass queued
    // while another runs may start at once, and coalescing is not visible.
    sim::ExecutorOptions Options() const override {
        sim::ExecutorOptions options = sim::ExecutorOptions::FromEnvironment();
        options.stress = false;
        return options;
    }

    void SetUp() override {
        PortClsTest::SetUp();
        Boot();
        PUNKNOWN wave = nullptr;
        ASSERT_EQ(InstallWave(Fdo(), "Wave", &wave), STATUS_SUCCESS);
        ASSERT_EQ(wave->QueryInterface(IID_IPortWaveCyclic, reinterpret_cast<PVOID*>(&port_)),
                  STATUS_SUCCESS);
        ASSERT_EQ(PcNewServiceGroup(&group_, nullptr), STATUS_SUCCESS);
        sink_ = new (NonPagedPoolNx, MakePoolTag("TsSk")) RecordingSink();
        sink_->AddRef();
        ASSERT_EQ(group_->AddMember(sink_), STATUS_SUCCESS);
    }
    void TearDown() override {
        sim::Settle();
        if (group_) group_->Release();
        if (sink_) sink_->Release();
        if (port_) port_->Release();
        PortClsTest::TearDown();
    }

    PPORTWAVECYCLIC port_ = nullptr;
    PSERVICEGROUP group_ = nullptr;
    RecordingSink* sink_ = nullptr;
};

TEST_F(PcNotifyTest, NotifyQueuesAServicePassThatLaterNotificationsJoin) {
    sink_->holdFirst = true;
    port_->Notify(group_);
    while (!sink_->entered) std::this_thread::yield();
    EXPECT_EQ(sink_->irql, DISPATCH_LEVEL);
    EXPECT_NE(sink_->thread, KeGetCurrentThread());

    // While that pass runs, notifications from a completion path (a spin
    // lock held) queue one more pass between them.
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    for (int i = 0; i < 3; ++i) port_->Notify(group_);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(sink_->calls, 1);

    sink_->release = true;
    sim::Settle();
    EXPECT_EQ(sink_->calls, 2);
    EXPECT_NE(sink_->thread, KeGetCurrentThread());
}

TEST_F(PcNotifyTest, RemovedMembersAreNotServiced) {
    group_->RemoveMember(sink_);
    port_->Notify(group_);
    sim::Settle();
    EXPECT_EQ(sink_->calls, 0);
}

TEST_F(PcNotifyTest, AQueuedServiceKeepsItsGroupAlive) {
    port_->Notify(group_);
    group_->Release();  // the DPC still holds the group and, through it, the sink
    group_ = nullptr;
    sim::Settle();
    EXPECT_EQ(sink_->calls, 1);
}

TEST_F(PcNotifyTest, GroupsHoldAtMostSixteenMembers) {
    std::vector<RecordingSink*> extra;
    NTSTATUS status = STATUS_SUCCESS;
    while (NT_SUCCESS(status) && extra.size() < 20) {
        auto* s = new (NonPagedPoolNx, MakePoolTag("TsSk")) RecordingSink();
        s->AddRef();
        extra.push_back(s);
        status = group_->AddMember(s);
    }
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(extra.size(), 16u);  // 15 more fit beside the fixture's sink
    for (RecordingSink* s : extra) {
        group_->RemoveMember(s);
        s->Release();
    }
}

}  // namespace
}  // namespace pctest
