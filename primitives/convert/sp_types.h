// Types shared by every family of the signal primitives: the status codes,
// the build index that the public entries dispatch on, the rounding modes of
// the float-to-integer conversions, the packed 24-bit sample and the record
// types of the FFT and filter families (their layouts belong to those
// families; everything else only passes pointers to them).
#pragma once

#include <atomic>
#include <cstdint>

// Result of every primitive: 0 success, negative an error detected before
// anything was written, positive a warning returned after all elements were
// processed.
typedef int32_t SpStatus;

constexpr SpStatus SP_STS_OK = 0;

// Errors: nothing written.
constexpr SpStatus SP_STS_SIZE = -6;              // a length or count is not positive
constexpr SpStatus SP_STS_NULL_PTR = -8;          // a pointer, or one inside a pointer array, is NULL
constexpr SpStatus SP_STS_MEM_ALLOC = -9;         // the library allocator returned NULL
constexpr SpStatus SP_STS_DIV_BY_ZERO_ERR = -10;  // divide by a constant +0.0 or -0.0
constexpr SpStatus SP_STS_FFT_ORDER = -15;
constexpr SpStatus SP_STS_FFT_FLAG = -16;
constexpr SpStatus SP_STS_CONTEXT_MISMATCH = -17; // record with the wrong id word
constexpr SpStatus SP_STS_IIR_ORDER = -25;
constexpr SpStatus SP_STS_FIR_LEN = -26;
constexpr SpStatus SP_STS_FIR_MR_PHASE = -28;
constexpr SpStatus SP_STS_FIR_MR_FACTOR = -29;
constexpr SpStatus SP_STS_SAMPLE_PHASE = -30;
constexpr SpStatus SP_STS_SAMPLE_FACTOR = -31;
constexpr SpStatus SP_STS_NUM_CHANNELS = -53;     // channel count below 1

// Warnings: every element written.
constexpr SpStatus SP_STS_MISALIGNED = 2;         // a buffer not on a 16-byte boundary
constexpr SpStatus SP_STS_SQRT_NEG_ARG = 3;
constexpr SpStatus SP_STS_DIV_BY_ZERO = 6;        // an element divisor was zero
constexpr SpStatus SP_STS_LN_ZERO_ARG = 7;
constexpr SpStatus SP_STS_LN_NEG_ARG = 8;
constexpr SpStatus SP_STS_DOMAIN = 19;            // a power element was a domain or pole case
constexpr SpStatus SP_STS_CPU_VENDOR = 20;         // not a GenuineIntel processor; index set anyway
constexpr SpStatus SP_STS_CPU_UNSUPPORTED = 21;    // CPU type code refused; index unchanged

// Floating-point condition codes accepted by spRaiseFpException only.
constexpr SpStatus SP_STS_OVERFLOW = 12;
constexpr SpStatus SP_STS_UNDERFLOW = 17;
constexpr SpStatus SP_STS_SINGULARITY = 18;

// Column of an entry table and value of spDispatchIndex.
enum SpBuild : int32_t {
    SP_BUILD_GEN = 0,    // generic: scalar code and baseline x86-64 SSE2
    SP_BUILD_SSE3 = 1,
    SP_BUILD_SSSE3 = 2,
    SP_BUILD_SSE41 = 3,
};
constexpr int SP_BUILD_COUNT = 4;

// Build selected by every public entry of both tables, read relaxed on every
// call. Zero at load; only the CPU-selection routines (and tests) write it,
// and only while no entry is running.
extern std::atomic<int32_t> spDispatchIndex;

// rndMode of spF32ToI16Scaled / spF32ToI32Scaled. Any value other than 0 and
// 1 means SP_RND_HALF_AWAY.
enum SpRoundMode : int32_t {
    SP_RND_ZERO = 0,       // truncate toward zero
    SP_RND_NEAREST = 1,    // nearest, ties to even
    SP_RND_HALF_AWAY = 2,  // nearest, ties away from zero
};

// One packed signed 24-bit little-endian sample: no padding between samples.
struct SpSample24 {
    uint8_t lo;
    uint8_t mid;
    uint8_t hi;  // bit 7 is the sign
};
static_assert(sizeof(SpSample24) == 3, "SpSample24 is three bytes");

// Records of the FFT and filter families; defined by those families.
struct SpFftSpec;
struct SpFirState;
struct SpIirState;
