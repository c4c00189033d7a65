// IPortWaveCyclic::Notify and service groups: a notification only queues
// the group's DPC; the service pass runs later at DISPATCH_LEVEL on the DPC
// thread, once for any number of notifications before it.
#include <gtest/gtest.h>

#include <atomic>

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
        ++calls;
    }
    std::atomic<int> calls{0};
    KIRQL irql = PASSIVE_LEVEL;
    PKTHREAD thread = nullptr;
};

class PcNotifyTest : public PortClsTest {
protected:
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

TEST_F(PcNotifyTest, NotifyUnderASpinLockOnlyQueuesAndNotificationsCoalesce) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);  // as a stream notifies from its completion path
    port_->Notify(group_);
    port_->Notify(group_);
    port_->Notify(group_);
    int seenInside = sink_->calls;
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(seenInside, 0);

    sim::Settle();
    EXPECT_EQ(sink_->calls, 1);
    EXPECT_EQ(sink_->irql, DISPATCH_LEVEL);
    EXPECT_NE(sink_->thread, KeGetCurrentThread());

    port_->Notify(group_);
    sim::Settle();
    EXPECT_EQ(sink_->calls, 2);
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
