// Copy kernels of the three CPU builds and the byte and float copies built
// on them: exact bytes at every alignment, canaries intact, the streaming
// decision under recorded processors, the builds-2/3 choices of direction
// and source path, and the copies' statuses.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "primitives/fft_simd/sp_fft_simd.h"
#include "tests/primitives/support/cpuid_fake.h"
#include "tests/primitives/support/dispatch.h"

namespace {

using sptest::CpuidSet;
using sptest::ScopedCpuid;

struct CopyBuild {
    int build;
    void* (*kernel)(const void*, void*, int);
    SpStatus (*copyU8)(const uint8_t*, uint8_t*, int);
    SpStatus (*copyF32)(const float*, float*, int);
};

const CopyBuild kBuilds[] = {
    {1, spCopyKernel_Sse3, spCopyU8_Sse3, spCopyF32_Sse3},
    {2, spCopyKernel_Ssse3, spCopyU8_Ssse3, spCopyF32_Ssse3},
    {3, spCopyKernel_Sse41, spCopyU8_Sse41, spCopyF32_Sse41},
};

// Runs fn for each build this processor has, with the build in the trace.
template <typename Fn>
void forEachCopyBuild(Fn&& fn) {
    for (const CopyBuild& b : kBuilds) {
        if (!sptest::cpuHasBuild(b.build)) {
            std::printf("[ note     ] %s: not supported by this CPU, skipped\n", sptest::buildName(b.build));
            continue;
        }
        SCOPED_TRACE(sptest::buildName(b.build));
        fn(b);
    }
}

constexpr uint8_t kCanary = 0xA5;
constexpr size_t kGuard = 64;

// Source pattern: no byte repeats within 251 positions.
std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 7 + 3) % 251);
    return v;
}

// A destination with canaries around it, at a chosen offset from 64 bytes.
struct Guarded {
    std::vector<uint8_t> storage;
    uint8_t* at;
    size_t len;
    Guarded(size_t n, size_t offset) : storage(n + 2 * kGuard + 64 + 16, kCanary), len(n) {
        uintptr_t base = (reinterpret_cast<uintptr_t>(storage.data()) + kGuard + 63) & ~uintptr_t{63};
        at = reinterpret_cast<uint8_t*>(base) + offset;
    }
    bool canariesIntact() const {
        for (const uint8_t* p = storage.data(); p < at; ++p)
            if (*p != kCanary) return false;
        for (const uint8_t* p = at + len; p < storage.data() + storage.size(); ++p)
            if (*p != kCanary) return false;
        return true;
    }
};

// Copies n bytes from source offset so to destination offset dof and checks
// the bytes, the canaries and the result.
void expectExactCopy(const CopyBuild& b, const std::vector<uint8_t>& src, size_t n, size_t so, size_t dof) {
    Guarded s(n, so), d(n, dof);
    std::memcpy(s.at, src.data(), n);
    ASSERT_EQ(b.kernel(s.at, d.at, static_cast<int>(n)), d.at) << n;
    ASSERT_EQ(std::memcmp(d.at, src.data(), n), 0) << "count " << n << " src+" << so << " dst+" << dof;
    ASSERT_TRUE(d.canariesIntact()) << "count " << n << " src+" << so << " dst+" << dof;
}

TEST(CopyKernel, ExactBytesAtEveryCountAndAlignment) {
    const std::vector<uint8_t> src = pattern(256);
    forEachCopyBuild([&](const CopyBuild& b) {
        for (size_t n = 0; n <= 200; ++n)
            for (size_t so = 0; so < 16; ++so)
                for (size_t dof = 0; dof < 16; ++dof) expectExactCopy(b, src, n, so, dof);
    });
}

// Around each variant's streaming threshold and over several 256 KiB chunks;
// the processor's own answer decides whether these stream.
TEST(CopyKernel, ExactBytesOfLargeCopies) {
    const std::vector<uint8_t> src = pattern(3 * (1u << 20) + 13);
    forEachCopyBuild([&](const CopyBuild& b) {
        const std::vector<size_t> counts = b.build == 1 ? std::vector<size_t>{524287, 524288, src.size()}
                                                        : std::vector<size_t>{1048575, 1048576};
        for (size_t n : counts)
            for (size_t so = 0; so < 16; ++so)
                for (size_t dof = 0; dof < 16; dof += (n > 1048576 ? 5 : 1)) expectExactCopy(b, src, n, so, dof);
    });
}

// ---- Streaming decision under recorded processors ---------------------------

constexpr uint32_t kBit31 = 0x80000000u;

struct CpuCase {
    const char* name;
    SpCpuidRecord leaf0;
    SpCpuidRecord leaf2;
    uint32_t cores;          // leaf 4 core identifiers
    uint64_t shareB1;        // build 1: per core
    uint64_t sizeB23;        // builds 2 and 3: whole
};

// Leaf 2 with AL = 1 and up to three descriptors in EAX's upper bytes.
SpCpuidRecord leaf2(uint32_t eaxDescriptors, uint32_t ebx = 0, uint32_t ecx = 0, uint32_t edx = 0) {
    return {1u | (eaxDescriptors << 8), ebx, ecx, edx};
}

const CpuCase kCpuCases[] = {
    {"4MiB_4cores", sptest::acceptedVendorLeaf0(11), leaf2(0x49), 4, 1u << 20, 4u << 20},
    {"2MiB_1core", sptest::acceptedVendorLeaf0(11), leaf2(0x7D), 1, 2u << 20, 2u << 20},
    {"16MiB_in_edx", sptest::acceptedVendorLeaf0(11), leaf2(0, 0, 0, 0x4D), 2, 8u << 20, 16u << 20},
    {"unknown_descriptor", sptest::acceptedVendorLeaf0(11), leaf2(0xFF), 4, 0, 0},
    {"leaf2_twice", sptest::acceptedVendorLeaf0(11), {2u | (0x49u << 8), 0, 0, 0}, 4, 0, 0},
    {"other_vendor", sptest::otherVendorLeaf0(11), leaf2(0x49), 4, 0, 0},
    {"bit31_word_ignored", sptest::acceptedVendorLeaf0(11), leaf2(0, 0x49 | kBit31), 4, 0, 0},
    {"max_leaf_below_4", sptest::acceptedVendorLeaf0(3), leaf2(0x49), 4, 4u << 20, 4u << 20},
    // 0x43 (512 KiB) comes first in leaf 2, 0x4D (16 MiB) first in the table.
    {"first_table_row_wins", sptest::acceptedVendorLeaf0(11), leaf2(0x43, 0x4D), 1, 16u << 20, 16u << 20},
};

CpuidSet recorded(const CpuCase& c) {
    CpuidSet set;
    set.set(0, c.leaf0).set(2, c.leaf2).set(4, {(c.cores - 1) << 26, 0, 0, 0});
    return set;
}

TEST(CopyKernel, CacheShareOfEachRecordedProcessor) {
    for (const CpuCase& c : kCpuCases) {
        ScopedCpuid cpu(recorded(c));
        EXPECT_EQ(spCopyCacheShare(true), c.shareB1) << c.name;
        EXPECT_EQ(spCopyCacheShare(false), c.sizeB23) << c.name;
    }
}

// Whether a copy of n bytes from src+so to dst+dof streamed; the bytes are
// checked either way.
bool streams(const CopyBuild& b, const std::vector<uint8_t>& src, size_t n, size_t so, size_t dof) {
    const uint64_t before = spCopyStreamedCopies.load();
    expectExactCopy(b, src, n, so, dof);
    return spCopyStreamedCopies.load() != before;
}

TEST(CopyKernel, StreamsOnlyFromHalfTheShare) {
    const std::vector<uint8_t> src = pattern(8388608 + 32);
    forEachCopyBuild([&](const CopyBuild& b) {
        for (const CpuCase& c : kCpuCases) {
            SCOPED_TRACE(c.name);
            ScopedCpuid cpu(recorded(c));
            const uint64_t share = b.build == 1 ? c.shareB1 : c.sizeB23;
            const size_t from = b.build == 1 ? 524288 : 1048576;
            for (size_t n : {from - 1, from, size_t{2097152}, size_t{8388608}}) {
                const bool want = n >= from && share != 0 && n >= share / 2;
                EXPECT_EQ(streams(b, src, n, 0, 0), want) << n;
                if (n > 2097152) continue;
                // A misaligned destination streams by the same rule, a
                // source misaligned by the same amount never.
                EXPECT_EQ(streams(b, src, n + 20, 3, 7), n + 20 - 9 >= from && share != 0 && n + 11 >= share / 2)
                    << n;
                EXPECT_FALSE(streams(b, src, n, 5, 5)) << n;
            }
        }
    });
}

// ---- Builds 2 and 3: direction, source path, guarded source -----------------

struct PageCase {
    uint32_t srcOffset, dstOffset;
    bool forward;
};

const PageCase kPageCases[] = {
    {96, 0, true}, {160, 0, true}, {176, 0, false}, {0, 0, false}, {0, 3952, true}, {0, 3936, false},
};

// Page-aligned storage of whole pages.
struct Pages {
    uint8_t* base;
    size_t bytes;
    explicit Pages(size_t count) : bytes(count * 4096) {
        base = static_cast<uint8_t*>(mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    }
    ~Pages() { munmap(base, bytes); }
};

TEST(CopyKernelB23, DirectionFollowsThePageOffsets) {
    for (const PageCase& c : kPageCases) {
        EXPECT_EQ(spCopyRunsForward(0x10000 + c.srcOffset, 0x40000 + c.dstOffset), c.forward)
            << c.srcOffset << "/" << c.dstOffset;
    }
    const std::vector<uint8_t> src = pattern(8192);
    forEachCopyBuild([&](const CopyBuild& b) {
        for (const PageCase& c : kPageCases) {
            for (size_t n : {size_t{64}, size_t{127}, size_t{1000}, size_t{4000}}) {
                Pages s(3), d(3);
                ASSERT_NE(s.base, MAP_FAILED);
                ASSERT_NE(d.base, MAP_FAILED);
                std::memset(d.base, kCanary, d.bytes);
                std::memcpy(s.base + c.srcOffset, src.data(), n);
                b.kernel(s.base + c.srcOffset, d.base + c.dstOffset, static_cast<int>(n));
                ASSERT_EQ(std::memcmp(d.base + c.dstOffset, src.data(), n), 0) << c.srcOffset << "/" << c.dstOffset;
                for (size_t i = 0; i < d.bytes; ++i) {
                    const bool outside = i < c.dstOffset || i >= c.dstOffset + n;
                    ASSERT_TRUE(!outside || d.base[i] == kCanary) << i;
                }
            }
        }
    });
}

TEST(CopyKernelB23, RealignsOnlyFourByteAlignedSources) {
    for (uintptr_t low = 0; low < 16; ++low) {
        EXPECT_EQ(spCopyRealigns(0x1000 + low), low == 4 || low == 8 || low == 12) << low;
    }
}

// A source right after a PROT_NONE page and ending right before another:
// the realigned loads read nothing outside the source.
TEST(CopyKernel, ReadsNothingOutsideTheSource) {
    const std::vector<uint8_t> src = pattern(4096);
    forEachCopyBuild([&](const CopyBuild& b) {
        for (size_t n : {size_t{200}, size_t{1000}, size_t{4092}}) {
            for (size_t lead : {size_t{4}, size_t{8}, size_t{12}, size_t{1}}) {
                Pages s(4);
                ASSERT_NE(s.base, MAP_FAILED);
                ASSERT_EQ(mprotect(s.base, 4096, PROT_NONE), 0);
                ASSERT_EQ(mprotect(s.base + 3 * 4096, 4096, PROT_NONE), 0);
                uint8_t* from = n + lead <= 4096 ? s.base + 4096 + lead : s.base + 3 * 4096 - n;
                std::memcpy(from, src.data(), n);
                Guarded d(n, 0);
                b.kernel(from, d.at, static_cast<int>(n));
                ASSERT_EQ(std::memcmp(d.at, src.data(), n), 0) << n << " lead " << lead;
                // The same source ending at the guard page.
                uint8_t* tail = s.base + 3 * 4096 - n;
                std::memmove(tail, src.data(), n);
                b.kernel(tail, d.at, static_cast<int>(n));
                ASSERT_EQ(std::memcmp(d.at, src.data(), n), 0) << n;
                ASSERT_TRUE(d.canariesIntact());
            }
        }
    });
}

// ---- Byte and float copies ---------------------------------------------------

TEST(CopyU8, StatusesAndNothingWrittenOnRefusal) {
    forEachCopyBuild([&](const CopyBuild& b) {
        std::vector<uint8_t> src(16, 1), dst(16, kCanary);
        EXPECT_EQ(b.copyU8(nullptr, dst.data(), 0), SP_STS_NULL_PTR);
        EXPECT_EQ(b.copyU8(src.data(), nullptr, 4), SP_STS_NULL_PTR);
        EXPECT_EQ(b.copyU8(src.data(), dst.data(), 0), SP_STS_SIZE);
        EXPECT_EQ(b.copyU8(src.data(), dst.data(), -5), SP_STS_SIZE);
        EXPECT_EQ(dst, std::vector<uint8_t>(16, kCanary));
        EXPECT_EQ(b.copyU8(src.data(), dst.data() + 3, 7), SP_STS_OK);
        EXPECT_EQ(dst[2], kCanary);
        EXPECT_EQ(dst[3], 1);
        EXPECT_EQ(dst[9], 1);
        EXPECT_EQ(dst[10], kCanary);
    });
}

TEST(CopyF32, StatusesLengthLimitAndExactBits) {
    const std::vector<uint8_t> bytes = pattern(4 * 70000 + 16);
    forEachCopyBuild([&](const CopyBuild& b) {
        std::vector<float> src(8, 1.0f);
        Guarded d(32, 0);
        float* dst = reinterpret_cast<float*>(d.at);
        EXPECT_EQ(b.copyF32(nullptr, dst, 8), SP_STS_NULL_PTR);
        EXPECT_EQ(b.copyF32(src.data(), nullptr, 8), SP_STS_NULL_PTR);
        EXPECT_EQ(b.copyF32(src.data(), dst, 0), SP_STS_SIZE);
        EXPECT_EQ(b.copyF32(src.data(), dst, -1), SP_STS_SIZE);
        // 2^29 floats would need a byte count past int32: refused unread.
        EXPECT_EQ(b.copyF32(src.data(), dst, 1 << 29), SP_STS_SIZE);
        EXPECT_EQ(b.copyF32(src.data(), dst, 0x7FFFFFFF), SP_STS_SIZE);
        d.len = 0;
        EXPECT_TRUE(d.canariesIntact());
        for (size_t len : {size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{1000}, size_t{65536}, size_t{70000}}) {
            for (size_t so = 0; so < 16; ++so) {
                for (size_t dof = 0; dof < 16; dof += 3) {
                    Guarded s(4 * len, so), out(4 * len, dof);
                    std::memcpy(s.at, bytes.data(), 4 * len);
                    ASSERT_EQ(b.copyF32(reinterpret_cast<const float*>(s.at), reinterpret_cast<float*>(out.at),
                                        static_cast<int>(len)),
                              SP_STS_OK);
                    ASSERT_EQ(std::memcmp(out.at, bytes.data(), 4 * len), 0) << len << " " << so << " " << dof;
                    ASSERT_TRUE(out.canariesIntact());
                }
            }
        }
    });
}

}  // namespace
