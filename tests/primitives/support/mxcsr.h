// Control of the SSE control/status register in tests. Compute expected
// values before entering a scope that changes rounding or flushing.
#pragma once

#include <cstdint>

namespace sptest {

constexpr uint32_t kMxcsrDefault = 0x1F80;         // all masked, nearest, no FTZ/DAZ
constexpr uint32_t kMxcsrFtz = 0x8000;             // flush-to-zero (bit 15)
constexpr uint32_t kMxcsrDaz = 0x0040;             // denormals-are-zero (bit 6)
constexpr uint32_t kMxcsrRoundMask = 0x6000;       // rounding control (bits 13-14)
constexpr uint32_t kMxcsrRoundDown = 0x2000;
constexpr uint32_t kMxcsrRoundUp = 0x4000;
constexpr uint32_t kMxcsrRoundZero = 0x6000;
constexpr uint32_t kMxcsrFlags = 0x003F;           // sticky exception flags
constexpr uint32_t kMxcsrInvalidFlag = 0x0001;
constexpr uint32_t kMxcsrControlMask = 0xFFC0;     // every bit but the flags
// The block data path: flush-to-zero with round-to-nearest.
constexpr uint32_t kMxcsrDataPath = kMxcsrDefault | kMxcsrFtz;

uint32_t readMxcsr();
void writeMxcsr(uint32_t value);

// Loads `value` for the scope's lifetime and restores the entry value after.
class MxcsrScope {
public:
    explicit MxcsrScope(uint32_t value);
    ~MxcsrScope();
    MxcsrScope(const MxcsrScope&) = delete;
    MxcsrScope& operator=(const MxcsrScope&) = delete;

private:
    uint32_t saved_;
};

// Installs the GoogleTest listener that fails the run when a test leaves the
// control bits of MXCSR changed (it restores them for the next test).
// Returns true when some test leaked (sp_test_main turns that into a failing
// exit code).
void installMxcsrListener();
bool mxcsrLeakSeen();

}  // namespace sptest
