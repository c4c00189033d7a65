// Records of the FFT CPU builds: size queries, the table layouts their
// builders write (index lists, blocked twiddles, recombination blocks, the
// large-path region), the sine copies, and the creates behind rows 7 and 27
// of table B. Builds the processor lacks are skipped with a note.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "primitives/convert/sp_alloc.h"
#include "primitives/fft/sp_fft_cpu.h"
#include "primitives/fft/sp_fft_gen.h"
#include "primitives/vector/entry_table_b.h"
#include "sim/pool.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/ulp.h"

namespace {

using SizeQuery = SpStatus (*)(int, int, int, int*, int*, int*);
using Builder = SpStatus (*)(SpFftSpec**, int, int, int, uint8_t*, uint8_t*);
using Creator = SpStatus (*)(SpFftSpec**, int, int, int);
using TwiddleBuilder = float* (*)(int, const float*, int, float*);
using RecombineBuilder = float* (*)(int, const float*, int, float*);

constexpr uint8_t kPoison = 0xCD;

// One CPU build's bodies as the build's own code reaches them (build 3
// takes build 2's index list, twiddles and inverse recombination).
struct FftBuild {
    int build;
    int directLimit;  // largest complex log2 length of the direct path
    int tiledFrom;    // first log2 length with the tiled bit-reverse table
    SizeQuery realSize, complexSize;
    Builder realInit, complexInit;
    Creator realCreate, complexCreate;
    int32_t* (*indexList)(int, int32_t*);
    TwiddleBuilder twiddles;
    RecombineBuilder recombineFwd, recombineInv;
    void (*sizeLarge)(int, int64_t*, int64_t*, int64_t*);
    float* (*sinTable)(int, float*);
    SpStatus (*bufferSize)(const SpFftSpec*, int*);
};

const FftBuild kBuilds[] = {
    {1, 16, 20, spRealFftGetSize_Sse3, spComplexFftGetSize_Sse3, spRealFftInit_Sse3,
     spComplexFftInit_Sse3, spRealFftCreate_Sse3, spComplexFftCreate_Sse3,
     spFftBuildBitRevIndexList_Sse3, spFftBuildTwiddles_Sse3, spRealFftBuildRecombineFwd_Sse3,
     spRealFftBuildRecombineInv_Sse3, spFftGetSizeLarge_Sse3, spFftBuildSinTable_Sse3,
     spRealFftGetBufferSize_Gen},
    {2, 17, 19, spRealFftGetSize_Ssse3, spComplexFftGetSize_Ssse3, spRealFftInit_Ssse3,
     spComplexFftInit_Ssse3, spRealFftCreate_Ssse3, spComplexFftCreate_Ssse3,
     spFftBuildBitRevIndexList_Ssse3, spFftBuildTwiddles_Ssse3, spRealFftBuildRecombineFwd_Ssse3,
     spRealFftBuildRecombineInv_Ssse3, spFftGetSizeLarge_Ssse3, spFftBuildSinTable_Ssse3,
     spRealFftGetBufferSize_Ssse3},
    {3, 17, 19, spRealFftGetSize_Sse41, spComplexFftGetSize_Sse41, spRealFftInit_Sse41,
     spComplexFftInit_Sse41, spRealFftCreate_Sse41, spComplexFftCreate_Sse41,
     spFftBuildBitRevIndexList_Ssse3, spFftBuildTwiddles_Ssse3, spRealFftBuildRecombineFwd_Sse41,
     spRealFftBuildRecombineInv_Ssse3, spFftGetSizeLarge_Sse41, spFftBuildSinTable_Sse41,
     spRealFftGetBufferSize_Ssse3},
};

void forEachFftBuild(const std::function<void(const FftBuild&)>& fn) {
    for (const FftBuild& b : kBuilds) {
        if (!sptest::cpuHasBuild(b.build)) {
            std::printf("[ note     ] %s: not supported by this CPU, skipped\n",
                        sptest::buildName(b.build));
            continue;
        }
        SCOPED_TRACE(sptest::buildName(b.build));
        fn(b);
    }
}

// A record built in a poisoned block of exactly the queried size.
struct Record {
    std::vector<uint8_t> block;
    std::vector<uint8_t> init;
    SpFftSpec* spec = nullptr;
    int specSize = 0, initSize = 0, workSize = 0;
    const uint8_t* base() const { return reinterpret_cast<const uint8_t*>(spec); }
};

Record makeRecord(const FftBuild& b, bool real, int order, int flag = SP_FFT_NODIV_BY_ANY) {
    Record r;
    const SizeQuery query = real ? b.realSize : b.complexSize;
    EXPECT_EQ(query(order, flag, 0, &r.specSize, &r.initSize, &r.workSize), SP_STS_OK);
    r.block.assign(static_cast<size_t>(r.specSize), kPoison);
    r.init.assign(static_cast<size_t>(r.initSize) + 1, kPoison);
    const Builder init = real ? b.realInit : b.complexInit;
    EXPECT_EQ(init(&r.spec, order, flag, 0, r.block.data(), r.initSize ? r.init.data() : nullptr),
              SP_STS_OK);
    return r;
}

int32_t revBits(int32_t i, int bits) {
    int32_t r = 0;
    for (int k = 0; k < bits; ++k) r |= ((i >> k) & 1) << (bits - 1 - k);
    return r;
}

// The quarter-wave sine table of order s as the init bodies read it.
std::vector<float> sineTable(int s) {
    if (s <= 10) return std::vector<float>(SP_SIN_TABLE_1024, SP_SIN_TABLE_1024 + 257);
    std::vector<float> t((size_t{1} << (s - 2)) + 40);
    float* aligned = sp::gen::alignUp32(t.data());
    spFftBuildSinTable_Gen(s, aligned);
    return std::vector<float>(aligned, aligned + (size_t{1} << (s - 2)) + 1);
}

// Checks one stored twiddle against w_E^m in double: exact at multiples of
// pi/2 (zeros +0.0), within one ulp elsewhere.
::testing::AssertionResult twiddleMatches(float re, float im, int64_t m, int64_t E) {
    const double angle = 2.0 * M_PI * static_cast<double>(m) / static_cast<double>(E);
    const double wantRe = std::cos(angle), wantIm = -std::sin(angle);
    if ((4 * m) % E == 0) {
        const int quarter = static_cast<int>(4 * m / E);
        const float exRe[4] = {1.0f, 0.0f, -1.0f, 0.0f};
        const float exIm[4] = {0.0f, -1.0f, 0.0f, 1.0f};
        if (sptest::floatBits(re) == sptest::floatBits(exRe[quarter]) &&
            sptest::floatBits(im) == sptest::floatBits(exIm[quarter])) {
            return ::testing::AssertionSuccess();
        }
    } else if (sptest::ulpError(re, wantRe) <= 1.0 && sptest::ulpError(im, wantIm) <= 1.0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "w_" << E << "^" << m << " = (" << re << ", " << im
                                         << "), want (" << wantRe << ", " << wantIm << ")";
}

float loadF(const uint8_t* p) {
    float v;
    std::memcpy(&v, p, 4);
    return v;
}

::testing::AssertionResult poisoned(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != kPoison) return ::testing::AssertionFailure() << "byte " << i << " written";
    }
    return ::testing::AssertionSuccess();
}

// ---- Sizes ------------------------------------------------------------------------

struct SizeRow {
    bool real;
    int order;
    int builds;  // 0: every build; 1: build 1 only; 23: builds 2 and 3
    int spec, init, work;
};

const SizeRow kSizeRows[] = {
    {true, 0, 0, 168, 0, 0},         {true, 1, 0, 168, 0, 0},
    {true, 2, 0, 168, 0, 0},         {true, 3, 0, 168, 0, 0},
    {true, 4, 0, 384, 0, 96},        {true, 5, 0, 512, 0, 160},
    {true, 8, 0, 2432, 0, 1056},     {true, 10, 0, 8960, 0, 4128},
    {true, 11, 0, 17664, 2112, 8224},  {true, 12, 0, 35072, 4160, 16416},
    {true, 16, 0, 557312, 65600, 262176},  {true, 17, 0, 1114368, 131136, 524320},
    {true, 18, 1, 2359552, 262208, 131104},  {true, 18, 23, 2228480, 262208, 1048608},
    {true, 20, 0, 9175296, 1048640, 262176},
    {true, 27, 0, 1143079168, 134217792, 262176},
    {false, 0, 0, 168, 0, 0},        {false, 1, 0, 168, 0, 0},
    {false, 2, 0, 168, 0, 0},        {false, 3, 0, 168, 0, 0},
    {false, 4, 0, 384, 0, 160},      {false, 5, 0, 544, 0, 288},
    {false, 8, 0, 2560, 0, 2080},    {false, 10, 0, 9472, 0, 8224},
    {false, 11, 0, 18688, 2112, 16416},  {false, 12, 0, 37120, 4160, 32800},
    {false, 16, 0, 590080, 65600, 524320},
    {false, 17, 1, 1310976, 131136, 131104},  {false, 17, 23, 1179904, 131136, 1048608},
    {false, 18, 0, 2490624, 262208, 131104},
    {false, 20, 0, 9961728, 1048640, 524320},
    {false, 27, 0, 1212416256, 134217792, 262176},
};

bool rowCovers(const SizeRow& r, int build) {
    return r.builds == 0 || (r.builds == 1 && build == 1) || (r.builds == 23 && build != 1);
}

TEST(FftCpuSizes, WorkedValuesOfEveryBuild) {
    for (const SizeRow& r : kSizeRows) {
        for (const FftBuild& b : kBuilds) {
            if (!rowCovers(r, b.build)) continue;
            SCOPED_TRACE(std::string(r.real ? "real" : "complex") + " order " +
                         std::to_string(r.order) + " build " + std::to_string(b.build));
            for (int flag : {1, 2, 4, 8}) {
                int spec = -1, init = -1, work = -1;
                const SizeQuery query = r.real ? b.realSize : b.complexSize;
                ASSERT_EQ(query(r.order, flag, 0, &spec, &init, &work), SP_STS_OK);
                EXPECT_EQ(spec, r.spec);
                EXPECT_EQ(init, r.init);
                EXPECT_EQ(work, r.work);
            }
        }
    }
}

// C / W of the large size query for a complex length 2^L.
TEST(FftCpuSizes, LargePathExamples) {
    struct Row {
        int L, builds;
        int64_t C, W;
    };
    const Row rows[] = {
        {17, 1, 1179680, 131072},   {18, 0, 2228256, 131072},    {19, 0, 4456480, 262144},
        {20, 0, 8912928, 524288},   {22, 0, 33685536, 262144},   {25, 1, 269615136, 262144},
        {25, 23, 269484064, 1048576},
    };
    for (const Row& r : rows) {
        for (const FftBuild& b : kBuilds) {
            if (!rowCovers({true, 0, r.builds, 0, 0, 0}, b.build)) continue;
            int64_t C = -1, I = -1, W = -1;
            b.sizeLarge(r.L, &C, &I, &W);
            EXPECT_EQ(C, r.C) << "L " << r.L << " build " << b.build;
            EXPECT_EQ(I, 0) << "L " << r.L << " build " << b.build;
            EXPECT_EQ(W, r.W) << "L " << r.L << " build " << b.build;
        }
    }
}

// Order checks come first (even with null pointers), then null pointers,
// then the flag; orders 28 to 30 do not fit 32-bit sizes and are refused by
// the query, the builder and the create alike, before anything is written
// or allocated.
TEST(FftCpuSizes, CheckOrderAndSizeLimit) {
    for (const FftBuild& b : kBuilds) {
        for (bool real : {true, false}) {
            SCOPED_TRACE(std::string(real ? "real" : "complex") + " build " +
                         std::to_string(b.build));
            const SizeQuery query = real ? b.realSize : b.complexSize;
            int s = 0, i = 0, w = 0;
            for (int order : {-1, 28, 29, 30, 31}) {
                EXPECT_EQ(query(order, 8, 0, nullptr, nullptr, nullptr), SP_STS_FFT_ORDER);
                std::vector<uint8_t> mem(4096, kPoison);
                SpFftSpec* spec = nullptr;
                const Builder init = real ? b.realInit : b.complexInit;
                EXPECT_EQ(init(&spec, order, 8, 0, mem.data(), mem.data()), SP_STS_FFT_ORDER);
                EXPECT_TRUE(poisoned(mem.data(), mem.size()));
                sim::PoolResetCounters();
                const Creator create = real ? b.realCreate : b.complexCreate;
                EXPECT_EQ(create(&spec, order, 8, 0), SP_STS_FFT_ORDER);
                EXPECT_EQ(sim::PoolAllocationAttempts(), 0u);
                EXPECT_EQ(spec, nullptr);
            }
            EXPECT_EQ(query(10, 8, 0, nullptr, &i, &w), SP_STS_NULL_PTR);
            EXPECT_EQ(query(10, 8, 0, &s, nullptr, &w), SP_STS_NULL_PTR);
            EXPECT_EQ(query(10, 8, 0, &s, &i, nullptr), SP_STS_NULL_PTR);
            for (int flag : {0, 3, 5, 16, -1}) {
                EXPECT_EQ(query(10, flag, 0, &s, &i, &w), SP_STS_FFT_FLAG);
            }
        }
    }
}

// ---- Records against the generic build -------------------------------------------

TEST(FftCpuRecords, RealOrder10DiffersFromGenericOnlyInItsTables) {
    std::vector<uint8_t> genMem(8960, kPoison);
    SpFftSpec* gen = nullptr;
    ASSERT_EQ(spRealFftInit_Gen(&gen, 10, SP_FFT_DIV_INV_BY_N, 7, genMem.data(), nullptr),
              SP_STS_OK);
    forEachFftBuild([&](const FftBuild& b) {
        std::vector<uint8_t> mem(8960, kPoison);
        SpFftSpec* spec = nullptr;
        ASSERT_EQ(b.realInit(&spec, 10, SP_FFT_DIV_INV_BY_N, 7, mem.data(), nullptr), SP_STS_OK);
        EXPECT_EQ(spec->id, gen->id);
        EXPECT_EQ(spec->order, gen->order);
        EXPECT_EQ(spec->scaleFwd, gen->scaleFwd);
        EXPECT_EQ(spec->scaleInv, gen->scaleInv);
        EXPECT_EQ(sptest::floatBits(spec->scale), sptest::floatBits(gen->scale));
        EXPECT_EQ(spec->hint, 7);
        EXPECT_EQ(spec->ownsMemory, gen->ownsMemory);
        EXPECT_EQ(spec->workSize, 4096);
        const ptrdiff_t genAt = reinterpret_cast<uint8_t*>(gen->recombineFwd) -
                                reinterpret_cast<uint8_t*>(gen);
        const ptrdiff_t cpuAt = reinterpret_cast<uint8_t*>(spec->recombineFwd) -
                                reinterpret_cast<uint8_t*>(spec);
        EXPECT_EQ(cpuAt - genAt, 992);
        int size = -1;
        EXPECT_EQ(b.bufferSize(spec, &size), SP_STS_OK);
        EXPECT_EQ(size, 4128);
        for (const float* untouched : {spec->combineTwiddles, spec->crossCombineTwiddles,
                                     spec->outerTwiddles[0], spec->columnTwiddles[0]}) {
            EXPECT_EQ(untouched, nullptr);
        }
    });
}

TEST(FftCpuRecords, RealOrder4HasAShortListAndNoTwiddles) {
    forEachFftBuild([](const FftBuild& b) {
        Record r = makeRecord(b, true, 4);
        EXPECT_EQ(reinterpret_cast<const uint8_t*>(r.spec->bitRevTable), r.base() + 136);
        EXPECT_EQ(r.spec->bitRevTable[0], 0);
        EXPECT_EQ(r.spec->bitRevTable[1], 2);
        EXPECT_EQ(r.spec->bitRevTable[2], 0);
        EXPECT_EQ(r.spec->radix4Twiddles, r.spec->recombineFwd);
        EXPECT_EQ(r.spec->workSize, 64);
    });
}

// Orders 0 to 3 keep only the header; a bad flag leaves a cleared header
// with id 0; above order 10 the init buffer is required (the header is
// already written then).
TEST(FftCpuRecords, BuilderStatuses) {
    forEachFftBuild([](const FftBuild& b) {
        for (bool real : {true, false}) {
            const Builder init = real ? b.realInit : b.complexInit;
            std::vector<uint8_t> mem(200000, kPoison);
            SpFftSpec* spec = nullptr;
            EXPECT_EQ(init(nullptr, 4, 8, 0, mem.data(), nullptr), SP_STS_NULL_PTR);
            EXPECT_EQ(init(&spec, 4, 8, 0, nullptr, nullptr), SP_STS_NULL_PTR);
            EXPECT_EQ(init(&spec, 5, 3, 0, mem.data(), nullptr), SP_STS_FFT_FLAG);
            EXPECT_EQ(spec, nullptr);
            EXPECT_EQ(reinterpret_cast<SpFftSpec*>(sp::gen::alignUp32(mem.data()))->id, 0);
            EXPECT_EQ(init(&spec, 11, 8, 0, mem.data(), nullptr), SP_STS_NULL_PTR);
            EXPECT_EQ(spec, nullptr);
            EXPECT_EQ(reinterpret_cast<SpFftSpec*>(sp::gen::alignUp32(mem.data()))->order, 11);
            std::fill(mem.begin(), mem.end(), kPoison);
            ASSERT_EQ(init(&spec, 3, 1, 0, mem.data(), nullptr), SP_STS_OK);
            EXPECT_EQ(spec->workSize, 0);
            EXPECT_EQ(spec->bitRevTable, nullptr);
            const uint8_t* after = reinterpret_cast<const uint8_t*>(spec) + 136;
            EXPECT_TRUE(poisoned(after, 32));
        }
    });
}

// The header-clearing bodies: the generic statuses, then exactly len zero
// bytes at any alignment.
TEST(FftCpuRecords, ZeroU8ClearsExactlyItsBytes) {
    using ZeroBody = SpStatus (*)(uint8_t*, int);
    const ZeroBody bodies[] = {spZeroU8_Sse3, spZeroU8_Ssse3, spZeroU8_Sse41};
    for (int build = 1; build <= 3; ++build) {
        if (!sptest::cpuHasBuild(build)) continue;
        const ZeroBody zero = bodies[build - 1];
        std::vector<uint8_t> mem(300, kPoison);
        EXPECT_EQ(zero(nullptr, 0), SP_STS_NULL_PTR);
        EXPECT_EQ(zero(mem.data(), 0), SP_STS_SIZE);
        EXPECT_EQ(zero(mem.data(), -5), SP_STS_SIZE);
        EXPECT_TRUE(poisoned(mem.data(), mem.size()));
        for (int len : {1, 7, 16, 33, 136, 255}) {
            for (size_t offset : {0, 1, 5, 15}) {
                std::fill(mem.begin(), mem.end(), kPoison);
                ASSERT_EQ(zero(mem.data() + 16 + offset, len), SP_STS_OK);
                for (size_t i = 0; i < mem.size(); ++i) {
                    const bool inside = i >= 16 + offset && i < 16 + offset + len;
                    ASSERT_EQ(mem[i], inside ? 0 : kPoison)
                        << "build " << build << " len " << len << " offset " << offset;
                }
            }
        }
    }
}

// ---- Index lists --------------------------------------------------------------------

TEST(FftCpuTables, IndexListsHoldTwiceTheReversedIndex) {
    forEachFftBuild([](const FftBuild& b) {
        std::vector<int32_t> table((size_t{1} << 17) + 64);
        int32_t* t = sp::gen::alignUp32(table.data());
        EXPECT_EQ(b.indexList(1, t), t);
        int32_t* end = b.indexList(4, t);
        EXPECT_EQ(std::vector<int32_t>(t, t + 5), (std::vector<int32_t>{0, 4, 2, 6, 0}));
        EXPECT_EQ(end, t + 8);
        for (int L = 2; L <= 19; ++L) {
            std::fill(table.begin(), table.end(), -7);
            end = b.indexList(L, t);
            const int32_t m = int32_t{1} << (L - 2);
            EXPECT_EQ(end, sp::gen::alignUp32(t + m + 1)) << "L " << L;
            for (int32_t i = 0; i < m; ++i) {
                ASSERT_EQ(t[i], 2 * revBits(i, L - 2)) << "L " << L << " slot " << i;
            }
            EXPECT_EQ(t[m], 0);
            EXPECT_EQ(t[m + 1], -7);
        }
    });
}

// ---- Blocked twiddles -------------------------------------------------------------

// Radices of the passes after the first 4-point pass, by log2 length.
const std::map<int, std::vector<int>> kSchedule1 = {
    {4, {4}}, {5, {8}}, {6, {4, 4}}, {7, {8, 4}}, {8, {4, 4, 4}}, {9, {4, 8, 4}},
    {10, {8, 8, 4}}, {11, {8, 8, 8}}, {12, {4, 8, 8, 4}}, {13, {8, 8, 8, 4}},
    {14, {8, 8, 8, 8}}, {15, {4, 8, 8, 8, 4}}, {16, {4, 8, 8, 8, 8}},
};
const std::map<int, std::vector<int>> kSchedule2 = {
    {4, {4}}, {5, {8}}, {6, {4, 4}}, {7, {4, 8}}, {8, {8, 8}}, {9, {4, 4, 8}},
    {10, {4, 8, 8}}, {11, {8, 8, 8}}, {12, {4, 4, 8, 8}}, {13, {4, 8, 8, 8}},
    {14, {8, 8, 8, 8}}, {15, {4, 4, 8, 8, 8}}, {16, {4, 8, 8, 8, 8}}, {17, {8, 8, 8, 8, 8}},
};

// Walks a blocked twiddle table by its schedule; returns the bytes walked.
size_t walkTwiddles(const uint8_t* table, const std::vector<int>& radices) {
    size_t at = 0;
    int64_t E = 4;
    for (int r : radices) {
        E *= r;
        EXPECT_EQ(loadF(table + at), 1.0f) << "pass of E " << E;
        EXPECT_EQ(sptest::floatBits(loadF(table + at + 16)), 0u) << "pass of E " << E;
        for (int64_t l0 = 0; l0 < E / r; l0 += 4) {
            for (int k = 1; k < r; ++k, at += 32) {
                for (int i = 0; i < 4; ++i) {
                    const float re = loadF(table + at + 4 * i);
                    const float im = loadF(table + at + 16 + 4 * i);
                    if (!twiddleMatches(re, im, k * (l0 + i), E)) {
                        ADD_FAILURE() << twiddleMatches(re, im, k * (l0 + i), E).message();
                        return at;
                    }
                }
            }
        }
    }
    return at;
}

TEST(FftCpuTables, BlockedTwiddlesFollowTheSchedule) {
    forEachFftBuild([](const FftBuild& b) {
        const auto& schedule = b.build == 1 ? kSchedule1 : kSchedule2;
        for (const auto& [L, radices] : schedule) {
            SCOPED_TRACE("L " + std::to_string(L));
            const int sinOrder = L <= 10 ? 10 : L;
            const std::vector<float> S = sineTable(sinOrder);
            const size_t bytes = size_t{8} << L;
            std::vector<uint8_t> mem(bytes + 64, kPoison);
            float* out = sp::gen::alignUp32(reinterpret_cast<float*>(mem.data()));
            float* end = b.twiddles(L, S.data(), sinOrder, out);
            EXPECT_EQ(reinterpret_cast<uint8_t*>(end), reinterpret_cast<uint8_t*>(out) + bytes);
            EXPECT_EQ(walkTwiddles(reinterpret_cast<uint8_t*>(out), radices), bytes - 32);
            EXPECT_TRUE(poisoned(reinterpret_cast<uint8_t*>(out) + bytes - 32, 32));
        }
        std::vector<uint8_t> mem(64, kPoison);
        float* out = sp::gen::alignUp32(reinterpret_cast<float*>(mem.data()));
        EXPECT_EQ(b.twiddles(3, SP_SIN_TABLE_1024, 10, out), out);
        EXPECT_TRUE(poisoned(mem.data(), mem.size()));
    });
}

TEST(FftCpuTables, Builds1And2TwiddlesDifferExactlyWhereTheSchedulesDo) {
    if (!sptest::cpuHasBuild(2)) GTEST_SKIP() << "build 2 not supported by this CPU";
    for (int L = 4; L <= 16; ++L) {
        const int sinOrder = L <= 10 ? 10 : L;
        const std::vector<float> S = sineTable(sinOrder);
        std::vector<float> a((size_t{2} << L) + 8, 0.0f), c((size_t{2} << L) + 8, 0.0f);
        spFftBuildTwiddles_Sse3(L, S.data(), sinOrder, sp::gen::alignUp32(a.data()));
        spFftBuildTwiddles_Ssse3(L, S.data(), sinOrder, sp::gen::alignUp32(c.data()));
        const bool differ = std::memcmp(sp::gen::alignUp32(a.data()),
                                        sp::gen::alignUp32(c.data()), size_t{8} << L) != 0;
        const bool expected = L == 7 || L == 8 || L == 9 || L == 10 || L == 12 || L == 13 ||
                              L == 15;
        EXPECT_EQ(differ, expected) << "L " << L;
    }
}

// ---- Recombination -------------------------------------------------------------------

TEST(FftCpuTables, RecombinationBlocks) {
    forEachFftBuild([](const FftBuild& b) {
        std::vector<float> fwd(16), inv(16);
        float* f = sp::gen::alignUp32(fwd.data());
        float* v = sp::gen::alignUp32(inv.data());
        EXPECT_EQ(b.recombineFwd(4, SP_SIN_TABLE_1024, 10, f), f + 8);
        EXPECT_EQ(b.recombineInv(4, SP_SIN_TABLE_1024, 10, v), v + 8);
        const double pi = M_PI;
        const double want[8] = {0.5 * std::cos(pi / 8), 0.5 * std::cos(pi / 4),
                                0.5 * std::cos(3 * pi / 8), 0.0,
                                0.5 - 0.5 * std::sin(pi / 8), 0.5 - 0.5 * std::sin(pi / 4),
                                0.5 - 0.5 * std::sin(3 * pi / 8), 0.0};
        // 0.5 - 0.5 sin cancels: the float sine's rounding is what remains.
        for (int i = 0; i < 8; ++i) EXPECT_NEAR(f[i], want[i], 3e-8) << i;
        EXPECT_EQ(sptest::floatBits(f[3]), 0u);
        EXPECT_EQ(sptest::floatBits(f[7]), 0u);
        EXPECT_EQ(sptest::floatBits(v[3]), 0u);
        EXPECT_EQ(v[7], -1.0f);

        // Bins 1..N/4 - 1 carry the generic table's values, bit for bit.
        for (int order = 4; order <= 20; ++order) {
            const int sinOrder = order <= 10 ? 10 : order;
            const std::vector<float> S = sineTable(sinOrder);
            const size_t quarter = size_t{1} << (order - 2);
            std::vector<float> gen(2 * quarter + 8), cpu(2 * quarter + 8);
            for (int dir = 0; dir < 2; ++dir) {
                float* g = sp::gen::alignUp32(gen.data());
                float* c = sp::gen::alignUp32(cpu.data());
                (dir == 0 ? spRealFftBuildRecombineFwd_Gen : spRealFftBuildRecombineInv_Gen)(
                    order, S.data(), sinOrder, g);
                (dir == 0 ? b.recombineFwd : b.recombineInv)(order, S.data(), sinOrder, c);
                for (size_t k = 1; k < quarter; ++k) {
                    const size_t blk = (k - 1) / 4 * 8, lane = (k - 1) % 4;
                    ASSERT_EQ(sptest::floatBits(c[blk + lane]), sptest::floatBits(g[2 * k]))
                        << "order " << order << " dir " << dir << " bin " << k;
                    ASSERT_EQ(sptest::floatBits(c[blk + 4 + lane]),
                              sptest::floatBits(g[2 * k + 1]))
                        << "order " << order << " dir " << dir << " bin " << k;
                }
            }
        }
    });
}

TEST(FftCpuTables, SineCopiesEqualTheGenericTable) {
    forEachFftBuild([](const FftBuild& b) {
        for (int order = 11; order <= 20; ++order) {
            const size_t len = (size_t{1} << (order - 2)) + 1;
            std::vector<float> gen(len + 16), cpu(len + 16);
            float* g = sp::gen::alignUp32(gen.data());
            float* c = sp::gen::alignUp32(cpu.data());
            EXPECT_EQ(b.sinTable(order, c) - c, spFftBuildSinTable_Gen(order, g) - g);
            EXPECT_EQ(std::memcmp(g, c, len * sizeof(float)), 0) << "order " << order;
        }
    });
}

// ---- Large path ----------------------------------------------------------------------

// Walks one column table as laid out for a level of 2^k points with split
// a; returns the bytes walked. Values are checked in the first
// checkedBlocks blocks (the rest only counted, to keep large levels fast).
size_t walkColumnTable(const uint8_t* table, int k, size_t checkedBlocks) {
    static const std::map<int, std::vector<int>> kColumnPasses = {
        {3, {8}}, {4, {4, 4}}, {5, {8, 4}}, {8, {8, 8, 4}}};
    const int a = SP_FFT_SPLIT_TABLE_SIMD[k];
    const int64_t n = int64_t{1} << k, rows = int64_t{1} << (k - a);
    const int64_t d = int64_t{1} << (SP_FFT_COLUMN_BLOCK_TABLE_SIMD[k] - a);
    size_t at = 0;
    for (int64_t c0 = 0; c0 < rows; c0 += d) {
        int64_t s = int64_t{1} << a, J = 1;
        for (int r : kColumnPasses.at(a)) {
            s /= r;
            for (int64_t j = 0; j < J; ++j) {
                for (int64_t c = c0; c < c0 + d; c += 4) {
                    for (int kk = 1; kk < r; ++kk, at += 32) {
                        for (int i = 0; i < 4 && at / 32 < checkedBlocks; ++i) {
                            const int64_t m = kk * (s * (c + i) + j * s * rows);
                            const float re = loadF(table + at + 4 * i);
                            const float im = loadF(table + at + 16 + 4 * i);
                            if (!twiddleMatches(re, im, m, n)) {
                                ADD_FAILURE() << twiddleMatches(re, im, m, n).message();
                                return at;
                            }
                        }
                    }
                }
            }
            J *= r;
        }
    }
    return at;
}

TEST(FftCpuRecords, LargePathRegion) {
    forEachFftBuild([](const FftBuild& b) {
        for (int L = 17; L <= 22; ++L) {
            if (L <= b.directLimit) continue;
            SCOPED_TRACE("L " + std::to_string(L));
            Record r = makeRecord(b, false, L);
            const SpFftSpec* s = r.spec;
            const int a = SP_FFT_SPLIT_TABLE_SIMD[L], rowBits = L - a;
            ASSERT_LE(rowBits, b.directLimit);
            const int32_t* t = s->bitRevTable;
            if (L < b.tiledFrom) {
                const int32_t m = int32_t{1} << (L - 2);
                for (int32_t i = 0; i < m; ++i) ASSERT_EQ(t[i], 2 * revBits(i, L - 2)) << i;
                EXPECT_EQ(t[m], 0);
            } else {
                const int32_t c = int32_t{1} << (L - 12);
                for (int32_t i = 0; i < c; ++i) ASSERT_EQ(t[i], 64 * revBits(i, L - 12)) << i;
                std::vector<int32_t> pairs(1100, -1);
                spFftBuildBitRevTable_Gen(12, pairs.data());
                EXPECT_EQ(std::memcmp(t + c, pairs.data(), 1025 * 4), 0);
            }
            // The region: innermost twiddles, then the level-0 column table.
            const uint8_t* region = sp::gen::alignUp32(
                r.base() + 136 + sp::gen::roundDown32((int64_t{1} << L) + 35));
            EXPECT_EQ(reinterpret_cast<const uint8_t*>(s->radix4Twiddles), region);
            const std::vector<float> S = sineTable(L);
            std::vector<float> inner((size_t{2} << rowBits) + 8);
            b.twiddles(rowBits, S.data(), L, sp::gen::alignUp32(inner.data()));
            EXPECT_EQ(std::memcmp(s->radix4Twiddles, sp::gen::alignUp32(inner.data()),
                                  (size_t{8} << rowBits) - 32), 0);
            EXPECT_TRUE(poisoned(region + (size_t{8} << rowBits) - 32, 32));
            const uint8_t* column = region + (size_t{8} << rowBits);
            EXPECT_EQ(reinterpret_cast<const uint8_t*>(s->columnTwiddles[0]), column);
            EXPECT_EQ(s->columnTwiddles[1], nullptr);
            const size_t filled = (size_t{8} << L) - (size_t{8} << rowBits);
            EXPECT_EQ(walkColumnTable(column, L, L <= 19 ? filled : size_t{1} << 16), filled);
            EXPECT_TRUE(poisoned(column + filled, size_t{8} << rowBits));
            int64_t C, I, W;
            b.sizeLarge(L, &C, &I, &W);
            EXPECT_EQ(s->workSize, W);
            EXPECT_EQ(s->combineTwiddles, nullptr);
            EXPECT_EQ(s->outerTwiddles[0], nullptr);
        }
    });
}

// ---- Builds 2 and 3 ----------------------------------------------------------------

TEST(FftCpuRecords, Builds2And3LayOutTheSameBytes) {
    if (!sptest::cpuHasBuild(3)) GTEST_SKIP() << "build 3 not supported by this CPU";
    for (bool real : {true, false}) {
        for (int order : {10, 18, 19, 20}) {
            SCOPED_TRACE(std::string(real ? "real" : "complex") + " order " +
                         std::to_string(order));
            int s2, i2, w2, s3, i3, w3;
            ASSERT_EQ((real ? spRealFftGetSize_Ssse3 : spComplexFftGetSize_Ssse3)(
                          order, 1, 0, &s2, &i2, &w2), SP_STS_OK);
            ASSERT_EQ((real ? spRealFftGetSize_Sse41 : spComplexFftGetSize_Sse41)(
                          order, 1, 0, &s3, &i3, &w3), SP_STS_OK);
            ASSERT_EQ(s2, s3);
            ASSERT_EQ(i2, i3);
            ASSERT_EQ(w2, w3);
            std::vector<uint8_t> mem(static_cast<size_t>(s2)), init(static_cast<size_t>(i2) + 1);
            SpFftSpec* spec = nullptr;
            std::fill(mem.begin(), mem.end(), kPoison);
            ASSERT_EQ((real ? spRealFftInit_Ssse3 : spComplexFftInit_Ssse3)(
                          &spec, order, 1, 0, mem.data(), init.data()), SP_STS_OK);
            const std::vector<uint8_t> built2 = mem;
            std::fill(mem.begin(), mem.end(), kPoison);
            ASSERT_EQ((real ? spRealFftInit_Sse41 : spComplexFftInit_Sse41)(
                          &spec, order, 1, 0, mem.data(), init.data()), SP_STS_OK);
            EXPECT_TRUE(mem == built2);
        }
    }
}

// ---- Creates through table B ---------------------------------------------------------

class FftCpuCreates : public ::testing::Test {
protected:
    void SetUp() override {
        sim::PoolClearFailures();
        live_ = sim::PoolLiveBlocks(SP_POOL_TAG);
    }
    void TearDown() override {
        sim::PoolClearFailures();
        EXPECT_EQ(sim::PoolLiveBlocks(SP_POOL_TAG), live_) << sim::PoolLeakReport();
    }
    int64_t live_ = 0;
};

size_t rawSize(void* block) { return sim::PoolBlockSize(static_cast<void**>(block)[-1]); }

TEST_F(FftCpuCreates, OneBlockOfTheQueriedSizeAndAFreedInitBlock) {
    struct Row {
        bool real;
        int order;
    };
    for (const Row& row : {Row{true, 10}, Row{false, 10}, Row{true, 11}, Row{false, 12}}) {
        sptest::forEachBuild(row.real ? spEntryTableB.spRealFftCreate
                                      : spEntryTableB.spComplexFftCreate, [&](int build) {
            if (build == 0) return;
            const FftBuild& b = kBuilds[build - 1];
            SCOPED_TRACE(std::string(row.real ? "real" : "complex") + " order " +
                         std::to_string(row.order));
            int specSize, initSize, workSize;
            ASSERT_EQ((row.real ? b.realSize : b.complexSize)(row.order, 2, 0, &specSize,
                                                              &initSize, &workSize), SP_STS_OK);
            SpFftSpec* spec = nullptr;
            sim::PoolResetCounters();
            const SpStatus st = row.real ? spRealFftCreate(&spec, row.order, 2, 0)
                                         : spComplexFftCreate(&spec, row.order, 2, 0);
            ASSERT_EQ(st, SP_STS_OK);
            EXPECT_EQ(sim::PoolAllocationAttempts(), row.order > 10 ? 2u : 1u);
            EXPECT_EQ(rawSize(spec), static_cast<size_t>(specSize) + 40u);
            EXPECT_EQ(spec->ownsMemory, 1);
            EXPECT_EQ(spec->workSize + 32, workSize);
            if (row.real && row.order == 10) {
                EXPECT_EQ(specSize, 8960);
            }
            EXPECT_EQ(row.real ? spRealFftDestroy(spec) : spComplexFftDestroy(spec), SP_STS_OK);

            for (uint64_t nth = 1; nth <= (row.order > 10 ? 2u : 1u); ++nth) {
                SpFftSpec* kept = reinterpret_cast<SpFftSpec*>(uintptr_t{0x99});
                sim::PoolFailNth(nth);
                const SpStatus failed = row.real ? spRealFftCreate(&kept, row.order, 2, 0)
                                                 : spComplexFftCreate(&kept, row.order, 2, 0);
                sim::PoolClearFailures();
                EXPECT_EQ(failed, SP_STS_MEM_ALLOC) << "allocation " << nth;
                EXPECT_EQ(kept, reinterpret_cast<SpFftSpec*>(uintptr_t{0x99}));
                EXPECT_EQ(sim::PoolLiveBlocks(SP_POOL_TAG), live_);
            }
        });
    }
}

}  // namespace
