// Client lists: priority order, lookups of absent handles, node-list
// references (also when memory runs out).
#include "sim/pool.h"
#include "tests/stream/engine/engine_fixture.h"

using namespace streamfakes;

namespace {

struct OrderCase {
    const char* name;
    std::vector<ULONG> priorities;  // in order of insertion
    std::vector<int> expected;      // insertion indices, head first
};

class PriorityOrder : public EngineTest, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(PriorityOrder, HighestFirstAndNewcomersAheadOfEquals) {
    MakeEngine(0);
    const OrderCase& c = GetParam();
    std::vector<CYCLIC_CLIENT> clients(c.priorities.size());
    for (size_t i = 0; i < clients.size(); i++) {
        clients[i].Priority = c.priorities[i];
        clients[i].Registration = &clients[i];
        ASSERT_EQ(engine_->InsertAcquiredClient(&clients[i]), STATUS_SUCCESS);
        ASSERT_EQ(engine_->InsertRunningClient(&clients[i]), STATUS_SUCCESS);
    }
    for (int index : c.expected) {
        EXPECT_EQ(engine_->GetAcquiredHead(), &clients[index]);
        EXPECT_EQ(engine_->GetRunningHead(), &clients[index]);
        EXPECT_EQ(engine_->RemoveAcquiredClient(&clients[index]), &clients[index]);
        EXPECT_EQ(engine_->RemoveRunningClient(&clients[index]), &clients[index]);
    }
    EXPECT_EQ(engine_->GetAcquiredHead(), nullptr);
    EXPECT_EQ(engine_->GetRunningHead(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(ClientLists, PriorityOrder,
                         ::testing::Values(OrderCase{"WaveThenAsio", {3, 5}, {1, 0}},
                                           OrderCase{"AsioThenWave", {5, 3}, {0, 1}},
                                           OrderCase{"SecondAsioBecomesHead", {5, 5}, {1, 0}},
                                           OrderCase{"Mixed", {3, 5, 3, 1, 5}, {4, 1, 2, 0, 3}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, AbsentHandlesChangeNothing) {
    MakeEngine(0);
    CYCLIC_CLIENT registered = {}, acquired = {};
    registered.Registration = &registered;
    acquired.Registration = &acquired;
    acquired.Priority = 3;
    ASSERT_EQ(engine_->AddRegisteredClient(&registered), STATUS_SUCCESS);
    ASSERT_EQ(engine_->InsertAcquiredClient(&acquired), STATUS_SUCCESS);
    int never = 0;
    EXPECT_EQ(engine_->FindAcquiredClient(&never), nullptr);
    EXPECT_EQ(engine_->FindRegisteredClient(&never), nullptr);
    EXPECT_EQ(engine_->RemoveRegisteredClient(&acquired), nullptr);
    EXPECT_EQ(engine_->RemoveAcquiredClient(&registered), nullptr);
    EXPECT_EQ(engine_->RemoveRunningClient(&acquired), nullptr);
    EXPECT_EQ(engine_->FindRegisteredClient(&registered), &registered);
    EXPECT_EQ(engine_->FindAcquiredClient(&acquired), &acquired);
    EXPECT_EQ(engine_->RemoveRegisteredClient(&registered), &registered);
    EXPECT_EQ(engine_->RemoveAcquiredClient(&acquired), &acquired);
}

TEST_F(EngineTest, InsertionWithoutMemoryLeavesTheListAsItWas) {
    MakeEngine(0);
    CYCLIC_CLIENT a = {}, b = {};
    a.Registration = &a;
    a.Priority = 3;
    b.Registration = &b;
    b.Priority = 5;
    ASSERT_EQ(engine_->InsertAcquiredClient(&a), STATUS_SUCCESS);
    sim::PoolFailTag(kListNodeTag);
    EXPECT_EQ(engine_->InsertAcquiredClient(&b), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(engine_->AddRegisteredClient(&b), STATUS_INSUFFICIENT_RESOURCES);
    sim::PoolClearFailures();
    EXPECT_EQ(engine_->GetAcquiredHead(), &a);
    EXPECT_EQ(engine_->FindRegisteredClient(&b), nullptr);
    engine_->RemoveAcquiredClient(&a);
}

TEST_F(EngineTest, NodeListReferencesBalance) {
    MakeEngine(0);
    FakeDspNode* node = FakeDspNode::Create();
    FakeDspNode* stranger = FakeDspNode::Create();
    ASSERT_EQ(engine_->AddClientNode(node), STATUS_SUCCESS);
    ASSERT_EQ(engine_->AddClientNode(node), STATUS_SUCCESS);
    ASSERT_EQ(engine_->AddClientPostNode(node), STATUS_SUCCESS);
    EXPECT_EQ(node->RefCount(), 4u);
    EXPECT_EQ(engine_->RemoveClientNode(stranger), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(engine_->RemoveClientPostNode(stranger), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stranger->RefCount(), 1u);
    EXPECT_EQ(engine_->RemoveClientNode(node), STATUS_SUCCESS);  // the first entry only
    EXPECT_EQ(node->RefCount(), 3u);
    sim::PoolFailTag(kListNodeTag);
    EXPECT_EQ(engine_->AddClientNode(stranger), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(engine_->AddClientPostNode(stranger), STATUS_INSUFFICIENT_RESOURCES);
    sim::PoolClearFailures();
    EXPECT_EQ(stranger->RefCount(), 1u);
    engine_->ReleaseClientNodes();
    EXPECT_EQ(node->RefCount(), 2u);
    ReleaseEngine();  // releases the post-node entry
    EXPECT_EQ(node->RefCount(), 1u);
    node->Release();
    stranger->Release();
}

}  // namespace
