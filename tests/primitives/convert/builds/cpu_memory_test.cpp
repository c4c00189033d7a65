// Move, zero and fill kernels of the CPU builds, the scale bodies, and the
// non-temporal paths seen through injected CPUID and the path counters.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "primitives/convert/sp_cpu.h"
#include "primitives/convert/sp_gen.h"
#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/support/cpu_kernels.h"
#include "tests/primitives/support/cpuid_fake.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/sp_buffer.h"

namespace sptest {
namespace {

uint64_t ntCount(SpNtCounter c) { return spNtCalls[c].load(); }

// A processor of the accepted vendor whose leaf 2 names one descriptor.
CpuidSet cacheCpu(uint8_t descriptor) {
    CpuidSet set;
    set.set(0, acceptedVendorLeaf0(0xB));
    set.set(2, SpCpuidRecord{0x00000001u | ((uint32_t)descriptor << 8), 0, 0, 0});
    return set;
}

// ---- Move ------------------------------------------------------------------------
TEST(MoveKernels, OverlappingMovesEqualMemmove) {
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        for (int shift : {1, -1, 4, -4, 8, -8, 17, -17, 64, -64})
            for (int count : {1, 3, 31, 63, 64, 65, 1000})
                for (int srcOff : {0, 1, 4, 8, 12}) {
                    std::vector<uint8_t> area(count + 256), want;
                    for (size_t i = 0; i < area.size(); ++i) area[i] = (uint8_t)(i * 131 + 7);
                    want = area;
                    uint8_t* base = area.data() + 96;
                    uintptr_t aligned = ((uintptr_t)base + 15) & ~(uintptr_t)15;
                    size_t s = aligned - (uintptr_t)area.data() + srcOff;
                    size_t d = s + shift;
                    std::memmove(want.data() + d, want.data() + s, count);
                    k.spMoveF32Kernel(area.data() + s, area.data() + d, count);
                    ASSERT_EQ(area, want) << "shift " << shift << " count " << count << " src+" << srcOff;
                }
    });
}

TEST(MoveKernels, AlignedDestinationWithEverySourceAlignment) {
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        for (size_t so : {0, 1, 4, 8, 12}) {
            SpBuffer<uint8_t> src(1000, so), dst(1000, 0);
            for (int i = 0; i < 1000; ++i) src.set(i, (uint8_t)(i * 7));
            k.spMoveF32Kernel(src.data(), dst.data(), 1000);
            EXPECT_EQ(std::memcmp(src.data(), dst.data(), 1000), 0) << so;
            EXPECT_TRUE(dst.checkCanaries());
        }
    });
}

// Long moves: ranges that do not meet (either order, touching or apart) and
// ranges that overlap, around 2 KiB and well above, at several source
// alignments. Disjoint and overlapping ranges take different paths.
TEST(MoveKernels, LongMovesEqualMemmoveWhetherOrNotTheRangesMeet) {
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        for (int count : {2047, 2048, 2049, 2112, 16399})
            for (int shift : {count, -count, count + 5, -count - 5, count - 1, -(count - 1), 17, -17, 1, -1})
                for (int srcOff : {0, 1, 4}) {
                    std::vector<uint8_t> area(2 * (size_t)count + 64), want;
                    for (size_t i = 0; i < area.size(); ++i) area[i] = (uint8_t)(i * 131 + 7);
                    want = area;
                    size_t s = (shift < 0 ? (size_t)-shift : 0) + 16 + srcOff;
                    size_t d = s + shift;
                    std::memmove(want.data() + d, want.data() + s, count);
                    k.spMoveF32Kernel(area.data() + s, area.data() + d, count);
                    ASSERT_EQ(area, want) << "shift " << shift << " count " << count << " src+" << srcOff;
                }
    });
}

// src == dst on a read-only page: nothing is written (a write would fault).
TEST(MoveKernels, SameSourceAndDestinationWritesNothing) {
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    void* map = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    std::memset(map, 0x3C, page);
    ASSERT_EQ(mprotect(map, page, PROT_READ), 0);
    forEachCpuBuild([&](int b, const SpCpuKernels& k) {
        k.spMoveF32Kernel(map, map, (int)page);
        ScopedDispatchIndex index(b);
        EXPECT_EQ(spMoveF32((const float*)map, (float*)map, (int)(page / 4)), SP_STS_OK);
    });
    munmap(map, page);
}

// ---- Length refusals ----------------------------------------------------------------
TEST(ByteCountBodies, ZeroAndMoveRefuseLengthsWhoseByteCountOverflows) {
    forEachCpuBuild([&](int b, const SpCpuKernels& k) {
        SpBuffer<float> buf(16, 0), src(16, 0);
        buf.fillBytes(0x77);
        for (int len : {SP_MAX_BYTE_LEN, SP_MAX_BYTE_LEN + 1, INT32_MAX}) {
            EXPECT_EQ(k.spZeroF32(buf.data(), len), SP_STS_SIZE);
            EXPECT_EQ(k.spMoveF32(src.data(), buf.data(), len), SP_STS_SIZE);
            ScopedDispatchIndex index(b);
            EXPECT_EQ(spScaleF32InPlace(0.0f, buf.data(), len), SP_STS_SIZE);
        }
        for (int i = 0; i < 16; ++i) EXPECT_EQ(buf.get(i), buf.get(0));
        EXPECT_TRUE(buf.checkCanaries());
        uint32_t bits;
        float first = buf.get(0);
        std::memcpy(&bits, &first, 4);
        EXPECT_EQ(bits, 0x77777777u);
    });
}

// ---- Zero ------------------------------------------------------------------------------
// Byte counts of every size class at every offset: the overlapping small
// stores (odd counts included), the aligned blocks, and the change to the
// string store around 2 KiB after the aligning head.
TEST(ZeroKernels, ClearExactlyTheByteCountAtEveryOffset) {
    std::vector<int> counts;
    for (int n = 1; n <= 40; ++n) counts.push_back(n);
    for (int n : {63, 64, 65, 127, 1000}) counts.push_back(n);
    for (int n = 2040; n <= 2070; ++n) counts.push_back(n);
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        for (size_t off = 0; off < 16; ++off)
            for (int count : counts) {
                SpBuffer<uint8_t> area((size_t)count, off);
                area.fillBytes(0xEE);
                ASSERT_EQ(k.spZeroKernel(area.data(), count), (void*)area.data());
                ASSERT_TRUE(area.checkCanaries()) << "offset " << off << " count " << count;
                for (int i = 0; i < count; ++i) ASSERT_EQ(area.get(i), 0) << i << " offset " << off << " count " << count;
            }
    });
}

// ---- Fills ----------------------------------------------------------------------------
template <typename T>
void checkFill(const std::function<void*(const T*, void*, int)>& fill, const T& pattern, size_t offset, int count) {
    SpBuffer<uint8_t> area(sizeof(T) * count, offset);
    void* r = fill(&pattern, area.data(), count);
    ASSERT_EQ(r, (void*)area.data());
    ASSERT_TRUE(area.checkCanaries()) << "offset " << offset << " count " << count;
    for (int i = 0; i < count; ++i)
        ASSERT_EQ(std::memcmp(area.data() + i * sizeof(T), &pattern, sizeof(T)), 0)
            << "element " << i << " offset " << offset << " count " << count;
}

TEST(FillKernels, EveryWidthAtEveryOffsetAndCount) {
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        const uint16_t p16 = 0xA1B2;
        const uint32_t p32 = 0x11223344;
        const uint64_t p64 = 0x0102030405060708ull;
        const SpPattern128 p128{0x1122334455667788ull, 0x99AABBCCDDEEFF00ull};
        for (size_t off = 0; off < 16; ++off)
            for (int count = 1; count <= 40; ++count) {
                checkFill<uint16_t>(k.spFill16Kernel, p16, off, count);
                checkFill<uint32_t>(k.spFill32Kernel, p32, off, count);
                checkFill<uint64_t>(k.spFill64Kernel, p64, off, count);
                checkFill<SpPattern128>(k.spFill128Kernel, p128, off, count);
            }
        for (size_t off : {0, 2, 4, 8, 1}) {
            checkFill<uint16_t>(k.spFill16Kernel, p16, off, 524288);
            checkFill<uint16_t>(k.spFill16Kernel, p16, off, 524289);
            checkFill<uint32_t>(k.spFill32Kernel, p32, off, 262144);
            checkFill<uint32_t>(k.spFill32Kernel, p32, off, 262145);
            checkFill<uint64_t>(k.spFill64Kernel, p64, off, 131072);
            checkFill<uint64_t>(k.spFill64Kernel, p64, off, 131073);
            checkFill<SpPattern128>(k.spFill128Kernel, p128, off, 65536);
            checkFill<SpPattern128>(k.spFill128Kernel, p128, off, 65537);
        }
    });
}

TEST(FillKernels, SetI32GoesThroughTheFillShim) {
    forEachCpuBuild([&](int b, const SpCpuKernels& k) {
        SpBuffer<int32_t> buf(13, 2);
        EXPECT_EQ(k.spSetI32(-5, buf.data(), 13), SP_STS_OK);
        for (int i = 0; i < 13; ++i) EXPECT_EQ(buf.get(i), -5);
        EXPECT_TRUE(buf.checkCanaries());
        EXPECT_EQ(k.spSetI32(1, nullptr, 3), SP_STS_NULL_PTR);
        EXPECT_EQ(k.spSetI32(1, buf.data(), 0), SP_STS_SIZE);
        (void)b;
    });
}

// ---- Non-temporal paths ---------------------------------------------------------------
TEST(NonTemporalPaths, EveryDescriptorDecodesToItsSize) {
    for (int i = 0; i < SP_CACHE_DESCRIPTOR_COUNT; ++i) {
        const SpCacheDescriptor& d = spCacheDescriptors[i];
        ScopedCpuid cpu(cacheCpu(d.descriptor));
        EXPECT_EQ(spCacheProbe(), (uint64_t)(d.sizeCode >> 4) << ((d.sizeCode & 15) + 18)) << std::hex << (int)d.descriptor;
    }
    EXPECT_EQ(spCacheDescriptors[SP_CACHE_DESCRIPTOR_COUNT].descriptor, 0);
    // A few entries pinned, and the sum of all sizes (MiB): 16+12+8+8+6+6+4*3+3+2*4+1*6+0.5*8.
    EXPECT_EQ(spCacheDescriptors[0].descriptor, 0x4D);
    EXPECT_EQ(spCacheDescriptors[9].sizeCode, 0x32);
    EXPECT_EQ(spCacheDescriptors[27].descriptor, 0x43);
    uint64_t sum = 0;
    for (int i = 0; i < SP_CACHE_DESCRIPTOR_COUNT; ++i)
        sum += (uint64_t)(spCacheDescriptors[i].sizeCode >> 4) << ((spCacheDescriptors[i].sizeCode & 15) + 18);
    EXPECT_EQ(sum, (uint64_t)89 << 20);
}

TEST(NonTemporalPaths, TheProbeFindsNoSizeWhereTheLeafSaysNothingUsable) {
    CpuidSet other = cacheCpu(0x4B);
    other.set(0, otherVendorLeaf0(0xB));
    CpuidSet badAl = cacheCpu(0x4B);
    badAl.set(2, SpCpuidRecord{0x00004B02u, 0, 0, 0});  // AL = 2
    CpuidSet bit31 = cacheCpu(0);
    bit31.set(2, SpCpuidRecord{0x80004B01u, 0x8000004Bu, 0, 0});
    CpuidSet unknown = cacheCpu(0x2C);
    CpuidSet largest;
    largest.set(0, acceptedVendorLeaf0(0xB)).set(2, SpCpuidRecord{0x00224D01u, 0x00000023u, 0, 0x4B000000u});
    for (const CpuidSet* s : {&other, &badAl, &bit31, &unknown}) {
        ScopedCpuid cpu(*s);
        EXPECT_EQ(spCacheProbe(), 0u);
    }
    ScopedCpuid cpu(largest);
    EXPECT_EQ(spCacheProbe(), 16u << 20);
}

TEST(NonTemporalPaths, Fill32SwitchesAboveTheProbedCache) {
    ScopedCpuid cpu(cacheCpu(0x4B));  // 8 MiB
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        for (int count : {2097152, 2097153}) {
            std::vector<uint32_t> area(count + 8, 0xDEADBEEF);
            uint32_t* aligned = (uint32_t*)(((uintptr_t)area.data() + 15) & ~(uintptr_t)15);
            uint64_t before = ntCount(SP_NT_FILL);
            const uint32_t pattern = 0x5A5A0001;
            k.spFill32Kernel(&pattern, aligned, count);
            EXPECT_EQ(ntCount(SP_NT_FILL) - before, count == 2097153 ? 1u : 0u) << count;
            size_t first = (size_t)(aligned - area.data());
            for (size_t i = 0; i < area.size(); ++i)
                ASSERT_EQ(area[i], (i >= first && i < first + count) ? pattern : 0xDEADBEEFu) << i;
        }
    });
}

TEST(NonTemporalPaths, NoStreamingWithoutAProbedSize) {
    CpuidSet other = cacheCpu(0x4B);
    other.set(0, otherVendorLeaf0(0xB));
    ScopedCpuid cpu(other);
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        std::vector<uint8_t> area(3 << 20, 0x11);
        uint64_t zero = ntCount(SP_NT_ZERO), fill = ntCount(SP_NT_FILL);
        const uint32_t pattern = 7;
        k.spZeroKernel(area.data(), (int)area.size());
        k.spFill32Kernel(&pattern, area.data() + 16, (int)(area.size() / 4) - 8);
        EXPECT_EQ(ntCount(SP_NT_ZERO), zero);
        EXPECT_EQ(ntCount(SP_NT_FILL), fill);
    });
}

TEST(NonTemporalPaths, ZeroKernelStreamsAbove512KiBWhenTheAreaReachesTheCache) {
    ScopedCpuid cpu(cacheCpu(0x22));  // 512 KiB
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        for (size_t bytes : {(size_t)0x80000, (size_t)0x80000 + 72, (size_t)(1 << 20) + 3}) {
            SpBuffer<uint8_t> area(bytes, 3);
            area.fillBytes(0xEE);
            uint64_t before = ntCount(SP_NT_ZERO);
            EXPECT_EQ(k.spZeroKernel(area.data(), (int)bytes), (void*)area.data());
            EXPECT_EQ(ntCount(SP_NT_ZERO) - before, bytes > 0x80000 + 13 ? 1u : 0u) << bytes;
            ASSERT_TRUE(area.checkCanaries());
            for (size_t i = 0; i < bytes; ++i) ASSERT_EQ(area.get(i), 0) << i;
        }
    });
}

TEST(NonTemporalPaths, DoubleOutputKernelsStreamAboveTheBuildLimit) {
    forEachCpuBuild([&](int b, const SpCpuKernels& k) {
        const size_t f32Limit = b == 1 ? 174762 : 349525, i16Limit = b == 1 ? 209715 : 419430;
        for (size_t extra : {8, 9}) {
            size_t n = f32Limit + extra;
            std::vector<float> src(n);
            for (size_t i = 0; i < n; ++i) src[i] = (float)i * 0.25f;
            std::vector<double> dst(n + 2);
            double* aligned = (double*)(((uintptr_t)dst.data() + 15) & ~(uintptr_t)15);
            uint64_t before = ntCount(SP_NT_F64_OUT);
            k.spF32ToF64Kernel(src.data(), aligned, (int)n);
            EXPECT_EQ(ntCount(SP_NT_F64_OUT) - before, extra == 9 ? 1u : 0u) << "float, " << n;
            for (size_t i = 0; i < n; ++i) ASSERT_EQ(aligned[i], (double)src[i]);
            n = i16Limit + extra;
            std::vector<int16_t> s16(n);
            for (size_t i = 0; i < n; ++i) s16[i] = (int16_t)(i * 13);
            std::vector<double> d16(n + 2);
            aligned = (double*)(((uintptr_t)d16.data() + 15) & ~(uintptr_t)15);
            before = ntCount(SP_NT_F64_OUT);
            const double half = 0.5;
            k.spI16ToF64ScaledKernel(s16.data(), aligned, (int)n, &half);
            EXPECT_EQ(ntCount(SP_NT_F64_OUT) - before, extra == 9 ? 1u : 0u) << "int16, " << n;
            for (size_t i = 0; i < n; ++i) ASSERT_EQ(aligned[i], s16[i] * 0.5);
        }
    });
}

// ---- Scale bodies -----------------------------------------------------------------------
std::vector<float> scaleInput(size_t n) {
    std::vector<float> v(n);
    std::mt19937 rng(752);
    for (size_t i = 0; i < n; ++i) v[i] = std::ldexp((float)(int)(rng() % 2000001 - 1000000), (int)(rng() % 60) - 40);
    v[1] = NAN;
    v[2] = -INFINITY;
    v[3] = -0.0f;
    return v;
}

void expectScaleLikeGeneric(const SpCpuKernels& k, size_t n, size_t srcOff, size_t dstOff, float val, bool inPlace) {
    const std::vector<float> in = scaleInput(n);
    SpBuffer<float> src(in, srcOff), want(n, dstOff), got(n, dstOff);
    ASSERT_EQ(spScaleF32_Gen(src.data(), val, want.data(), (int)n), SP_STS_OK);
    if (inPlace) {
        SpBuffer<float> buf(in, srcOff);
        ASSERT_EQ(k.spScaleF32(buf.data(), val, buf.data(), (int)n), SP_STS_OK);
        ASSERT_EQ(std::memcmp(buf.data(), want.data(), 4 * n), 0) << "in place, n " << n;
        return;
    }
    ASSERT_EQ(k.spScaleF32(src.data(), val, got.data(), (int)n), SP_STS_OK);
    ASSERT_TRUE(got.checkCanaries());
    ASSERT_EQ(std::memcmp(got.data(), want.data(), 4 * n), 0) << "n " << n << " src+" << srcOff << " dst+" << dstOff;
}

TEST(ScaleBodies, SameBytesAsTheGenericBodyOnEveryPath) {
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        for (float val : {0.75f, -3.0f, 0.0f, -0.0f, NAN})
            for (size_t n : {10, 11})
                for (size_t so = 0; so < 16; ++so)
                    for (size_t dof = 0; dof < 16; ++dof) expectScaleLikeGeneric(k, n, so, dof, val, false);
        for (size_t n : {10, 11, 37}) expectScaleLikeGeneric(k, n, 4, 4, 1.5f, true);
    });
}

TEST(ScaleBodies, StreamingStoresAbove16384BlocksGiveTheSameValues) {
    forEachCpuBuild([&](int, const SpCpuKernels& k) {
        for (size_t n : {131079, 131080}) {
            uint64_t before = ntCount(SP_NT_SCALE);
            expectScaleLikeGeneric(k, n, 0, 0, 0.375f, false);
            EXPECT_EQ(ntCount(SP_NT_SCALE) - before, n == 131080 ? 1u : 0u) << n;
        }
        uint64_t before = ntCount(SP_NT_SCALE);
        expectScaleLikeGeneric(k, 4096, 4, 0, 0.375f, false);  // aligned dst, unaligned src
        EXPECT_EQ(ntCount(SP_NT_SCALE) - before, 1u);
    });
}

// Factor 1.0 (and a divide by 1.0) copies through the build's float copy:
// the source's bits, NaN and signed zeros included, after the usual checks.
TEST(ScaleBodies, FactorOneCopiesTheSourceBits) {
    forEachCpuBuild([&](int b, const SpCpuKernels& k) {
        SpBuffer<float> src(37, 4), dst(37, 0);
        for (int i = 0; i < 37; ++i) src.set(i, i % 5 == 0 ? -0.0f : i % 7 == 0 ? NAN : 0.25f * (float)(i - 18));
        dst.fillBytes(0x42);
        EXPECT_EQ(k.spScaleF32(nullptr, 1.0f, dst.data(), 8), SP_STS_NULL_PTR);
        EXPECT_EQ(k.spScaleF32(src.data(), 1.0f, dst.data(), 0), SP_STS_SIZE);
        EXPECT_EQ(k.spScaleF32(src.data(), 1.0f, dst.data(), 37), SP_STS_OK);
        EXPECT_TRUE(dst.checkCanaries());
        EXPECT_EQ(std::memcmp(dst.data(), src.data(), 4 * 37), 0);
        ScopedDispatchIndex index(b);
        EXPECT_EQ(spDivConstF32InPlace(1.0f, src.data(), 37), SP_STS_OK);
        EXPECT_EQ(std::memcmp(dst.data(), src.data(), 4 * 37), 0);
    });
}

}  // namespace
}  // namespace sptest
