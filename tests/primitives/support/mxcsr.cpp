#include "tests/primitives/support/mxcsr.h"

#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <cstdio>

namespace sptest {

uint32_t readMxcsr() { return _mm_getcsr(); }
void writeMxcsr(uint32_t value) { _mm_setcsr(value); }

MxcsrScope::MxcsrScope(uint32_t value) : saved_(readMxcsr()) { writeMxcsr(value); }
MxcsrScope::~MxcsrScope() { writeMxcsr(saved_); }

namespace {

bool leakSeen = false;

class MxcsrListener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { atStart_ = readMxcsr(); }
    void OnTestEnd(const ::testing::TestInfo& info) override {
        uint32_t now = readMxcsr();
        if ((now & kMxcsrControlMask) != (atStart_ & kMxcsrControlMask)) {
            std::printf("[  FAILED  ] %s.%s left MXCSR control bits changed: 0x%04X -> 0x%04X\n",
                        info.test_suite_name(), info.name(), atStart_, now);
            leakSeen = true;
            writeMxcsr(atStart_);
        }
    }
    uint32_t atStart_ = kMxcsrDefault;
};

}  // namespace

void installMxcsrListener() {
    ::testing::UnitTest::GetInstance()->listeners().Append(new MxcsrListener);
}

bool mxcsrLeakSeen() { return leakSeen; }

}  // namespace sptest
