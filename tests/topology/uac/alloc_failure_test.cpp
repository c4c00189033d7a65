// Every allocation of a feature unit's and an output terminal's Init
// failing in turn (the transport's and the store's included): the Init
// fails cleanly or, where the failed block was optional (a node of a
// control other than mute), succeeds without it; nothing of the entity or
// its nodes stays behind.
#include <functional>

#include "sim/pool.h"
#include "tests/topology/uac/uac_fixture.h"

namespace uactest {
namespace {

struct SweepCase {
    const char* name;
    std::function<Bytes()> descriptor;
    ULONG fullNodes;    // nodes when nothing fails
    bool hasOptional;   // a node that Init skips without memory
};

void PrintTo(const SweepCase& c, std::ostream* os) { *os << c.name; }

class AllocationSweepTest : public UacTest, public ::testing::WithParamInterface<SweepCase> {
protected:
    int64_t LiveBlocksOfTheEntities() {
        int64_t live = 0;
        for (ULONG tag : {MakePoolTag("AUAT"), MakePoolTag("UA10"), MakePoolTag("Topo"), MakePoolTag("MTag"),
                          MakePoolTag("VTag"), MakePoolTag("SelT"), MakePoolTag("TerT"), MakePoolTag("Term")})
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
                      SweepCase{"OutputTerminal", [] { return Descriptor(3, 3, {0x01, 0x03, 0, 2, 0}); }, 3, false}),
    [](const ::testing::TestParamInfo<SweepCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace uactest
