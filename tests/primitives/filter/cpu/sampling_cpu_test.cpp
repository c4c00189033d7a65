// Upsampling and downsampling of the CPU builds: the entries against the
// generic build bit for bit (factors, phases, lengths around the kernels'
// steps and the 4096-sample chunks, offsets, NaN payloads), the factor-2
// heads on page-guarded blocks of one to three samples, and the kernels of
// other element widths against slicing of raw bits.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/filter/cpu/filter_kernels.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/sp_buffer.h"

namespace sptest {
namespace {

using SampleFn = SpStatus (*)(const float*, int, float*, int*, int, int*);

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(n);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

// Lengths around every step of the kernels: heads, 8- and 16-sample steps,
// the 48-sample kernel threshold and the 4096-sample chunks.
std::vector<int> sweepLengths() {
    std::vector<int> lens;
    for (int n = 1; n <= 49; ++n) lens.push_back(n);
    for (int n : {4095, 4096, 4097, 9000}) lens.push_back(n);
    return lens;
}

struct SampleRun {
    SpStatus status;
    std::vector<uint8_t> out;  // the whole dst area, written part and rest
    int dstLen, phase;
};

// One call on fresh buffers at the given byte offsets (multiples of 4: the
// generic body indexes floats).
SampleRun runSampling(SampleFn fn, const std::vector<uint8_t>& input, int srcLen, int factor, int phase,
                      size_t srcOff, size_t dstOff) {
    SpBuffer<float> src(srcLen, srcOff);
    std::memcpy(src.bytes(), input.data(), 4 * static_cast<size_t>(srcLen));
    const size_t outLen = static_cast<size_t>(srcLen) * factor + 4;
    SpBuffer<float> dst(outLen, dstOff);
    dst.fillBytes(0x5C);
    SampleRun run{};
    run.dstLen = -77;
    run.phase = phase;
    run.status = fn(src.data(), srcLen, dst.data(), &run.dstLen, factor, &run.phase);
    run.out.assign(dst.bytes(), dst.bytes() + 4 * outLen);
    EXPECT_TRUE(dst.checkCanaries());
    return run;
}

void expectSameRun(const SampleRun& gen, const SampleRun& cpu) {
    EXPECT_EQ(cpu.status, gen.status);
    EXPECT_EQ(cpu.dstLen, gen.dstLen);
    EXPECT_EQ(cpu.phase, gen.phase);
    EXPECT_TRUE(cpu.out == gen.out);
}

TEST(SamplingCpu, EntriesEqualGenericBitForBit) {
    const std::vector<uint8_t> input = randomBytes(4 * 9000, 23);  // random bits: NaN payloads included
    for (bool up : {true, false}) {
        const auto& row = up ? spEntryTableB.spUpsampleF32 : spEntryTableB.spDownsampleF32;
        forEachBuild(row, [&](int build) {
            if (build == SP_BUILD_GEN) return;
            SampleFn entry = up ? spUpsampleF32 : spDownsampleF32;
            for (int factor = 1; factor <= 5; ++factor) {
                for (int phase = 0; phase < factor; ++phase) {
                    for (int len : sweepLengths()) {
                        for (size_t srcOff : {0, 4, 8, 12}) {
                            for (size_t dstOff : {0, 4, 8, 12}) {
                                SCOPED_TRACE(::testing::Message() << (up ? "up" : "down") << " factor " << factor
                                                                  << " phase " << phase << " len " << len << " src+"
                                                                  << srcOff << " dst+" << dstOff);
                                const SampleRun gen = runSampling(row[SP_BUILD_GEN], input, len, factor, phase,
                                                                  srcOff, dstOff);
                                const SampleRun cpu = runSampling(entry, input, len, factor, phase, srcOff, dstOff);
                                expectSameRun(gen, cpu);
                                if (::testing::Test::HasFailure()) return;
                            }
                        }
                    }
                }
            }
        });
    }
}

// Output i is read from input p + i factor >= i before it is written, in
// every kernel: in place gives the out-of-place result.
TEST(SamplingCpu, DownsamplingInPlaceEqualsOutOfPlace) {
    const std::vector<uint8_t> input = randomBytes(4 * 200, 7);
    forEachBuild(spEntryTableB.spDownsampleF32, [&](int) {
        for (int factor = 2; factor <= 5; ++factor) {
            for (int len : {47, 48, 49, 100, 200}) {
                for (int phase = 0; phase < factor; ++phase) {
                    std::vector<float> a(len), b(len);
                    std::memcpy(a.data(), input.data(), 4 * static_cast<size_t>(len));
                    int lenA = 0, lenB = 0, phaseA = phase, phaseB = phase;
                    ASSERT_EQ(spDownsampleF32(a.data(), len, b.data(), &lenB, factor, &phaseB), SP_STS_OK);
                    ASSERT_EQ(spDownsampleF32(a.data(), len, a.data(), &lenA, factor, &phaseA), SP_STS_OK);
                    ASSERT_EQ(lenA, lenB);
                    EXPECT_EQ(phaseA, phaseB);
                    EXPECT_EQ(std::memcmp(a.data(), b.data(), 4 * static_cast<size_t>(lenA)), 0)
                        << "factor " << factor << " len " << len << " phase " << phase;
                }
            }
        }
    });
}

// Expected zero-stuffed bytes of `count` elements of `width` bytes.
std::vector<uint8_t> stuffed(const uint8_t* src, int count, int width, int factor, int phase) {
    std::vector<uint8_t> out(static_cast<size_t>(count) * factor * width, 0);
    for (int k = 0; k < count; ++k)
        std::memcpy(&out[(static_cast<size_t>(k) * factor + phase) * width], src + static_cast<size_t>(k) * width, width);
    return out;
}

// An area of `bytes` bytes starting `offset` bytes past a 16-byte boundary,
// followed by up to 15 marker bytes and then a PROT_NONE page: a write past
// the end either faults or changes a marker (markIntact).
struct GuardedAt {
    static size_t pad(size_t bytes, size_t offset) { return (32 - (bytes + offset) % 16) % 16; }
    GuardedRegion region;
    uint8_t* start;
    size_t bytes, padBytes;
    GuardedAt(size_t n, size_t offset)
        : region(n + pad(n, offset), GuardedRegion::kGuardAfter), start(region.bytes()), bytes(n),
          padBytes(pad(n, offset)) {
        std::memset(start + bytes, 0xEE, padBytes);
    }
    bool markIntact() const {
        for (size_t i = 0; i < padBytes; ++i)
            if (start[bytes + i] != 0xEE) return false;
        return true;
    }
};

// The factor-2 heads run single pairs until an alignment is reached; they
// stop when the samples run out. One to three samples at every source and
// destination offset write exactly their outputs, the last one against a
// guard page.
TEST(SamplingCpu, Upsample2HeadsStopAtTheCount) {
    const std::vector<uint8_t> input = randomBytes(64, 3);
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        for (int count : {1, 2, 3, 9}) {
            for (int phase = 0; phase < 2; ++phase) {
                for (size_t srcOff = 0; srcOff < 16; ++srcOff) {
                    for (size_t dstOff = 0; dstOff < 16; ++dstOff) {
                        SCOPED_TRACE(::testing::Message() << "count " << count << " phase " << phase << " src+"
                                                          << srcOff << " dst+" << dstOff);
                        GuardedAt src(4 * count, srcOff), dst(8 * count, dstOff);
                        ASSERT_EQ(reinterpret_cast<uintptr_t>(dst.start) % 16, dstOff);
                        std::memcpy(src.start, input.data(), 4 * count);
                        k.spUpsample2Kernel(reinterpret_cast<const float*>(src.start), count,
                                            reinterpret_cast<float*>(dst.start), phase);
                        EXPECT_TRUE(std::memcmp(dst.start, stuffed(input.data(), count, 4, 2, phase).data(),
                                                8 * count) == 0);
                        EXPECT_TRUE(dst.markIntact());
                        GuardedAt dst16(4 * count, dstOff);
                        k.spUpsample2Kernel16(reinterpret_cast<const int16_t*>(src.start), count,
                                              reinterpret_cast<int16_t*>(dst16.start), phase);
                        EXPECT_TRUE(std::memcmp(dst16.start, stuffed(input.data(), count, 2, 2, phase).data(),
                                                4 * count) == 0);
                        EXPECT_TRUE(dst16.markIntact());
                        if (::testing::Test::HasFailure()) return;
                    }
                }
            }
        }
    });
}

// The general float kernels at byte offsets the entries never see.
TEST(SamplingCpu, FloatKernelsAtAnyByteOffset) {
    const std::vector<uint8_t> input = randomBytes(4 * 300, 11);
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        for (int count : {1, 5, 16, 17, 70, 300}) {
            for (int factor = 3; factor <= 4; ++factor) {
                for (size_t off : {0, 1, 2, 5, 8}) {
                    SCOPED_TRACE(::testing::Message() << "count " << count << " factor " << factor << " off " << off);
                    const int phase = count % factor;
                    GuardedAt src(4 * count, off), dst(4 * count * factor, (off * 3) % 16);
                    std::memcpy(src.start, input.data(), 4 * count);
                    k.spUpsampleKernel(reinterpret_cast<const float*>(src.start), count,
                                       reinterpret_cast<float*>(dst.start), count * factor, 4 * factor, phase);
                    EXPECT_TRUE(std::memcmp(dst.start, stuffed(input.data(), count, 4, factor, phase).data(),
                                            4 * count * factor) == 0);
                    EXPECT_TRUE(dst.markIntact());
                }
            }
        }
    });
}

// Expected decimation of raw elements: kept elements, count and new phase.
struct Decimated {
    std::vector<uint8_t> out;
    int dstLen, phase;
};
Decimated decimate(const uint8_t* src, int srcLen, int width, int factor, int phase) {
    Decimated d{{}, 0, 0};
    int i = phase;
    for (; i < srcLen; i += factor) {
        d.out.insert(d.out.end(), src + static_cast<size_t>(i) * width, src + static_cast<size_t>(i + 1) * width);
        ++d.dstLen;
    }
    d.phase = i - srcLen;
    return d;
}

using DownRaw = std::function<void(const void* src, int srcLen, void* dst, int* dstLen, int factor, int* phase)>;
using UpRaw = std::function<void(const void* src, int count, void* dst, int factor, int phase)>;

struct WidthCase {
    const char* name;
    int width;
    bool factor2Only;
    std::function<DownRaw(const SpFilterKernels&)> down;
    std::function<UpRaw(const SpFilterKernels&)> up;  // null: no upsampler at these factors
};

std::vector<WidthCase> widthCases() {
    using K = const SpFilterKernels&;
    return {
        {"Down16", 2, false,
         [](K k) -> DownRaw { return [&k](const void* s, int n, void* d, int* l, int f, int* p) { k.spDownsampleKernel16((const int16_t*)s, n, (int16_t*)d, l, f, p); }; },
         [](K k) -> UpRaw { return [&k](const void* s, int n, void* d, int f, int p) { k.spUpsampleKernel16((const int16_t*)s, n, (int16_t*)d, n * f, 2 * f, p); }; }},
        {"Down2x16", 2, true,
         [](K k) -> DownRaw { return [&k](const void* s, int n, void* d, int* l, int, int* p) { k.spDownsample2Kernel16((const int16_t*)s, n, (int16_t*)d, l, p); }; },
         [](K k) -> UpRaw { return [&k](const void* s, int n, void* d, int, int p) { k.spUpsample2Kernel16((const int16_t*)s, n, (int16_t*)d, p); }; }},
        {"Down64", 8, false,
         [](K k) -> DownRaw { return [&k](const void* s, int n, void* d, int* l, int f, int* p) { k.spDownsampleKernel64(s, n, d, l, f, p); }; },
         [](K k) -> UpRaw { return [&k](const void* s, int n, void* d, int f, int p) { k.spUpsampleKernel64(s, n, d, 8 * f, 8 * p); }; }},
        {"Down2x64", 8, true,
         [](K k) -> DownRaw { return [&k](const void* s, int n, void* d, int* l, int, int* p) { k.spDownsample2Kernel64(s, n, d, l, p); }; },
         [](K k) -> UpRaw { return [&k](const void* s, int n, void* d, int, int p) { k.spUpsample2Kernel64(s, n, d, p); }; }},
        {"Down128", 16, false,
         [](K k) -> DownRaw { return [&k](const void* s, int n, void* d, int* l, int f, int* p) { k.spDownsampleKernel128(s, n, d, l, f, p); }; },
         nullptr},
        {"Down2x128", 16, true,
         [](K k) -> DownRaw { return [&k](const void* s, int n, void* d, int* l, int, int* p) { k.spDownsample2Kernel128(s, n, d, l, p); }; },
         [](K k) -> UpRaw { return [&k](const void* s, int n, void* d, int, int p) { k.spUpsample2Kernel128(s, n, d, p); }; }},
    };
}

class OtherWidths : public ::testing::TestWithParam<WidthCase> {};

TEST_P(OtherWidths, EqualSlicingOfRawBits) {
    const WidthCase& c = GetParam();
    const std::vector<uint8_t> input = randomBytes(16 * 300, 19);
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        const DownRaw down = c.down(k);
        const UpRaw up = c.up ? c.up(k) : nullptr;
        const std::vector<int> factors = c.factor2Only ? std::vector<int>{2} : std::vector<int>{2, 3, 4, 5};
        for (int factor : factors) {
            for (int n : {1, 2, 3, 7, 8, 9, 16, 17, 33, 64, 100, 257}) {
                for (int phase = 0; phase < factor; ++phase) {
                    for (size_t off : {0, 2, 4, 8, 12}) {
                        SCOPED_TRACE(::testing::Message() << "factor " << factor << " n " << n << " phase " << phase
                                                          << " off " << off);
                        GuardedAt src(static_cast<size_t>(n) * c.width, off);
                        std::memcpy(src.start, input.data(), static_cast<size_t>(n) * c.width);
                        const Decimated want = decimate(src.start, n, c.width, factor, phase);
                        GuardedAt dst(want.out.size(), (off + 6) % 16);
                        int dstLen = -1, ph = phase;
                        down(src.start, n, dst.start, &dstLen, factor, &ph);
                        EXPECT_EQ(dstLen, want.dstLen);
                        EXPECT_EQ(ph, want.phase);
                        EXPECT_TRUE(want.out.empty() || std::memcmp(dst.start, want.out.data(), want.out.size()) == 0);
                        EXPECT_TRUE(dst.markIntact());
                        if (up && (factor == 2) == c.factor2Only) {
                            const size_t outBytes = static_cast<size_t>(n) * factor * c.width;
                            GuardedAt wide(outBytes, (off + 4) % 16);
                            up(src.start, n, wide.start, factor, phase);
                            EXPECT_TRUE(std::memcmp(wide.start, stuffed(src.start, n, c.width, factor, phase).data(),
                                                    outBytes) == 0);
                            EXPECT_TRUE(wide.markIntact());
                        }
                        if (::testing::Test::HasFailure()) return;
                    }
                }
            }
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Kernels, OtherWidths, ::testing::ValuesIn(widthCases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sptest
