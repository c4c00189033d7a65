// GoogleTest base for tests that run driver code on the kernel stand-in:
// every test gets a fresh executor (sim::KernelScope) with the test's
// thread registered as "main", and ends with the scope's checks (system
// threads ended, queues drained, no timer left set, no pool or handle
// leak). Permanent named objects are printed, not failed.
//
//   class MyTest : public sim::KernelTest {};
//   TEST_F(MyTest, Works) { ... }
//
// Death tests (EXPECT_DEATH on a bugcheck) use the "threadsafe" style,
// which re-runs the test in a fresh process, because the executor has
// threads of its own: every test binary that includes this header gets it.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "sim/executor.h"
#include "sim/pool.h"

namespace sim {

// Set once GoogleTest has read its flags (a static initialiser could run
// before the flag's own and be overwritten).
class ThreadsafeDeathTests : public ::testing::Environment {
public:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};
inline ::testing::Environment* const kThreadsafeDeathTests =
    ::testing::AddGlobalTestEnvironment(new ThreadsafeDeathTests);

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override {
        PoolClearFailures();
        scope_ = std::make_unique<KernelScope>(Options());
    }

    void TearDown() override {
        PoolClearFailures();
        if (!scope_) return;
        ScopeReport report = scope_->Finish();
        scope_.reset();
        EXPECT_TRUE(report.Clean()) << report.problems;
        if (!report.permanentObjects.empty())
            std::printf("permanent named objects at the end of the test:\n%s",
                        report.permanentObjects.c_str());
    }

    // Override to run a test in another mode (real time, stress).
    virtual ExecutorOptions Options() const { return ExecutorOptions::FromEnvironment(); }

    // Ends the scope early, e.g. to inspect its report in the test itself.
    ScopeReport FinishScope() {
        ScopeReport report = scope_->Finish();
        scope_.reset();
        return report;
    }

private:
    std::unique_ptr<KernelScope> scope_;
};

}  // namespace sim
