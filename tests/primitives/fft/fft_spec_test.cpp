// FFT spec records: the size queries (real and complex), the fields and
// statuses of the builders, creates and destroys, and what they allocate
// from the pool.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "primitives/convert/sp_alloc.h"
#include "primitives/fft/sp_fft_gen.h"
#include "primitives/vector/entry_table_b.h"
#include "sim/pool.h"
#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/ulp.h"

namespace {

using sptest::SpBuffer;
using SizeQuery = SpStatus (*)(int, int, int, int*, int*, int*);

struct SizeRow {
    bool complex;
    int order;
    int spec, init, work;
};

std::string sizeRowName(const SizeRow& r) {
    return std::string(r.complex ? "Complex" : "Real") + "_o" + std::to_string(r.order);
}

// Worked values of the size rules; where none is published the value was
// worked out by hand from the same rules.
const SizeRow kSizeRows[] = {
    {false, 0, 168, 0, 0},       {false, 1, 168, 0, 0},       {false, 2, 168, 0, 0},
    {false, 3, 168, 0, 0},       {false, 4, 384, 0, 0},       {false, 5, 512, 0, 0},
    {false, 6, 800, 0, 0},       {false, 7, 1344, 0, 0},      {false, 8, 2432, 0, 0},
    {false, 9, 4608, 0, 0},      {false, 10, 8960, 0, 0},     {false, 11, 17664, 2112, 0},
    {false, 12, 30976, 4160, 0}, {false, 13, 53504, 8256, 0}, {false, 14, 141856, 17536, 1056},
    {false, 15, 281376, 34976, 2080},  {false, 16, 560416, 69856, 4128},
    {false, 20, 8925472, 1082464, 32800},
    {true, 0, 168, 0, 0},        {true, 1, 168, 0, 0},        {true, 2, 168, 0, 0},
    {true, 3, 168, 0, 0},        {true, 4, 384, 0, 0},        {true, 5, 544, 0, 0},
    {true, 6, 832, 0, 0},        {true, 7, 1408, 0, 0},       {true, 8, 2560, 0, 0},
    {true, 9, 4864, 0, 0},       {true, 10, 9472, 0, 0},      {true, 11, 14592, 2112, 0},
    {true, 12, 20736, 4160, 0},  {true, 13, 76320, 9344, 1056}, {true, 14, 150304, 18592, 2080},
    {true, 15, 298272, 37088, 4128},   {true, 16, 594208, 74080, 8224},
    {true, 20, 9453856, 1082464, 32800},
};

class FftSizeQuery : public ::testing::TestWithParam<SizeRow> {};

TEST_P(FftSizeQuery, WorkedValues) {
    const SizeRow& r = GetParam();
    const SizeQuery query = r.complex ? spComplexFftGetSize_Gen : spRealFftGetSize_Gen;
    for (int flag : {1, 2, 4, 8}) {
        int spec = -1, init = -1, work = -1;
        ASSERT_EQ(query(r.order, flag, 0, &spec, &init, &work), SP_STS_OK);
        EXPECT_EQ(spec, r.spec);
        EXPECT_EQ(init, r.init);
        EXPECT_EQ(work, r.work);
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, FftSizeQuery, ::testing::ValuesIn(kSizeRows),
                         [](const auto& info) { return sizeRowName(info.param); });

// Check order of both size queries: order first (even with null pointers),
// then pointers, then the flag; orders 27 is the largest whose sizes fit.
TEST(FftSizeQueryChecks, OrderThenPointersThenFlag) {
    for (SizeQuery query : {spRealFftGetSize_Gen, spComplexFftGetSize_Gen}) {
        int a = 0, b = 0, c = 0;
        EXPECT_EQ(query(-1, 2, 0, nullptr, nullptr, nullptr), SP_STS_FFT_ORDER);
        EXPECT_EQ(query(31, 2, 0, nullptr, nullptr, nullptr), SP_STS_FFT_ORDER);
        for (int order : {28, 29, 30}) EXPECT_EQ(query(order, 2, 0, &a, &b, &c), SP_STS_FFT_ORDER);
        EXPECT_EQ(query(10, 3, 0, nullptr, &b, &c), SP_STS_NULL_PTR);
        EXPECT_EQ(query(10, 3, 0, &a, nullptr, &c), SP_STS_NULL_PTR);
        EXPECT_EQ(query(10, 3, 0, &a, &b, nullptr), SP_STS_NULL_PTR);
        for (int flag : {0, 3, 16, -1}) EXPECT_EQ(query(10, flag, 0, &a, &b, &c), SP_STS_FFT_FLAG);
        ASSERT_EQ(query(27, 8, 0, &a, &b, &c), SP_STS_OK);
        EXPECT_GT(a, 1000000000);
    }
    int a = 0, b = 0, c = 0;
    ASSERT_EQ(spRealFftGetSize_Gen(27, 8, 0, &a, &b, &c), SP_STS_OK);
    EXPECT_EQ(a, 1141387584);
}

// ---- Builders in caller memory -------------------------------------------------

using Builder = SpStatus (*)(SpFftSpec**, int, int, int, uint8_t*, uint8_t*);

// A record built in a caller buffer with a canary tail.
struct BuiltInBuffer {
    std::vector<uint8_t> mem;
    std::vector<uint8_t> init;
    SpFftSpec* spec = reinterpret_cast<SpFftSpec*>(uintptr_t{0x1234});
    SpStatus status;
    BuiltInBuffer(bool complex, int order, int flag, bool withInit = true)
        : mem(600000, 0xEE), init(80000, 0x5A) {
        Builder build = complex ? spComplexFftInit_Gen : spRealFftInit_Gen;
        status = build(&spec, order, flag, 7, mem.data() + 3, withInit ? init.data() + 5 : nullptr);
    }
    SpFftSpec* header() { return sp::gen::alignUp32(reinterpret_cast<SpFftSpec*>(mem.data() + 3)); }
};

TEST(FftBuilderFields, Order10InverseByN) {
    BuiltInBuffer b(false, 10, SP_FFT_DIV_INV_BY_N);
    ASSERT_EQ(b.status, SP_STS_OK);
    ASSERT_EQ(b.spec, b.header());
    EXPECT_EQ(b.spec->id, SP_CTX_REAL_FFT);
    EXPECT_EQ(b.spec->order, 10);
    EXPECT_EQ(b.spec->hint, 7);
    EXPECT_EQ(b.spec->scaleFwd, 0);
    EXPECT_EQ(b.spec->scaleInv, 1);
    EXPECT_EQ(b.spec->scale, 1.0f / 1024.0f);
    EXPECT_EQ(b.spec->workSize, 0);
    EXPECT_EQ(b.spec->ownsMemory, 0);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(b.spec->bitRevTable), reinterpret_cast<uint8_t*>(b.spec) + 136);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b.spec->radix4Twiddles) % 32, 0u);
    int size = -1;
    ASSERT_EQ(spRealFftGetBufferSize_Gen(b.spec, &size), SP_STS_OK);
    EXPECT_EQ(size, 0);
    // The tables stay inside the reported size, alignment slack included.
    EXPECT_LE(reinterpret_cast<uint8_t*>(b.spec->recombineInv + 2 * 256), b.mem.data() + 3 + 8960);
}

TEST(FftBuilderFields, SqrtNAtOrder1AndFlagScales) {
    struct Row {
        int flag, scaleFwd, scaleInv;
        float scale;
    };
    const Row rows[] = {{1, 1, 0, 0.5f}, {2, 0, 1, 0.5f}, {4, 1, 1, 0.70710677f}, {8, 0, 0, 0.0f}};
    for (const Row& r : rows) {
        for (bool complex : {false, true}) {
            BuiltInBuffer b(complex, 1, r.flag);
            ASSERT_EQ(b.status, SP_STS_OK);
            EXPECT_EQ(b.spec->scaleFwd, r.scaleFwd);
            EXPECT_EQ(b.spec->scaleInv, r.scaleInv);
            EXPECT_EQ(b.spec->scale, r.scale) << "flag " << r.flag;
        }
    }
}

TEST(FftBuilderFields, BadFlagClearsHeaderAndLeavesSpecUnwritten) {
    for (bool complex : {false, true}) {
        BuiltInBuffer b(complex, 10, 3);
        EXPECT_EQ(b.status, SP_STS_FFT_FLAG);
        EXPECT_EQ(b.spec, reinterpret_cast<SpFftSpec*>(uintptr_t{0x1234}));
        const uint8_t* h = reinterpret_cast<const uint8_t*>(b.header());
        const SpFftSpec* rec = b.header();
        EXPECT_EQ(rec->id, 0);
        EXPECT_EQ(rec->order, 10);
        EXPECT_EQ(rec->hint, 7);
        EXPECT_EQ(rec->scale, 0.0f);
        EXPECT_EQ(rec->bitRevTable, nullptr);
        EXPECT_EQ(h[136], 0xEE) << "nothing past the header is written";
    }
}

TEST(FftBuilderFields, InitBufferRequiredAboveOrder10) {
    BuiltInBuffer real(false, 11, 2, false);
    EXPECT_EQ(real.status, SP_STS_NULL_PTR);
    EXPECT_EQ(real.spec, reinterpret_cast<SpFftSpec*>(uintptr_t{0x1234}));
    EXPECT_EQ(real.header()->id, SP_CTX_REAL_FFT);
    BuiltInBuffer complex(true, 11, 2, false);
    EXPECT_EQ(complex.status, SP_STS_NULL_PTR);
    EXPECT_EQ(BuiltInBuffer(false, 10, 2, false).status, SP_STS_OK);
    EXPECT_EQ(BuiltInBuffer(true, 10, 2, false).status, SP_STS_OK);
}

TEST(FftBuilderChecks, NullSpecBeforeOrderBeforeMemory) {
    for (Builder build : {spRealFftInit_Gen, spComplexFftInit_Gen}) {
        SpFftSpec* spec = nullptr;
        uint8_t mem[256];
        EXPECT_EQ(build(nullptr, 31, 2, 0, nullptr, nullptr), SP_STS_NULL_PTR);
        EXPECT_EQ(build(&spec, 31, 2, 0, nullptr, nullptr), SP_STS_FFT_ORDER);
        EXPECT_EQ(build(&spec, 28, 2, 0, mem, nullptr), SP_STS_FFT_ORDER);
        EXPECT_EQ(build(&spec, 3, 2, 0, nullptr, nullptr), SP_STS_NULL_PTR);
        EXPECT_EQ(spec, nullptr);
    }
}

// Real and complex records refuse each other; a destroyed record (id 0)
// is refused by every operation; destroying twice is only possible on a
// record in caller memory.
TEST(FftContextChecks, KindsAndDestroyedRecords) {
    BuiltInBuffer real(false, 6, 2);
    BuiltInBuffer complex(true, 6, 2);
    ASSERT_EQ(real.status, SP_STS_OK);
    ASSERT_EQ(complex.status, SP_STS_OK);
    SpBuffer<float> data(128);
    data.fillBytes(0x11);
    int size = 0;
    EXPECT_EQ(spRealFftForward(data.data(), complex.spec, nullptr), SP_STS_CONTEXT_MISMATCH);
    EXPECT_EQ(spRealFftInverse(data.data(), complex.spec, nullptr), SP_STS_CONTEXT_MISMATCH);
    EXPECT_EQ(spRealFftGetBufferSize_Gen(complex.spec, &size), SP_STS_CONTEXT_MISMATCH);
    EXPECT_EQ(spRealFftDestroy(complex.spec), SP_STS_CONTEXT_MISMATCH);
    EXPECT_EQ(spComplexFftForward(data.data(), data.data(), real.spec, nullptr), SP_STS_CONTEXT_MISMATCH);
    EXPECT_EQ(spComplexFftDestroy(real.spec), SP_STS_CONTEXT_MISMATCH);
    EXPECT_EQ(spRealFftDestroy(real.spec), SP_STS_OK);
    EXPECT_EQ(spRealFftDestroy(real.spec), SP_STS_CONTEXT_MISMATCH);
    EXPECT_EQ(spRealFftForward(data.data(), real.spec, nullptr), SP_STS_CONTEXT_MISMATCH);
    EXPECT_EQ(spComplexFftDestroy(complex.spec), SP_STS_OK);
    EXPECT_EQ(spComplexFftDestroy(complex.spec), SP_STS_CONTEXT_MISMATCH);
    EXPECT_EQ(spComplexFftForward(data.data(), data.data(), complex.spec, nullptr), SP_STS_CONTEXT_MISMATCH);
    for (size_t i = 0; i < data.size(); ++i) EXPECT_EQ(sptest::floatBits(data.get(i)), 0x11111111u);
    EXPECT_TRUE(data.checkCanaries());
}

TEST(FftContextChecks, NullSpecBeforeNullData) {
    BuiltInBuffer real(false, 6, 2);
    EXPECT_EQ(spRealFftForward(nullptr, nullptr, nullptr), SP_STS_NULL_PTR);
    EXPECT_EQ(spRealFftForward(nullptr, real.spec, nullptr), SP_STS_NULL_PTR);
    EXPECT_EQ(spRealFftInverseOutOfPlace_Gen(nullptr, nullptr, nullptr, nullptr), SP_STS_NULL_PTR);
    EXPECT_EQ(spComplexFftForward(nullptr, nullptr, nullptr, nullptr), SP_STS_NULL_PTR);
    EXPECT_EQ(spRealFftDestroy(nullptr), SP_STS_NULL_PTR);
    EXPECT_EQ(spComplexFftDestroy(nullptr), SP_STS_NULL_PTR);
    int size = 0;
    EXPECT_EQ(spRealFftGetBufferSize_Gen(real.spec, nullptr), SP_STS_NULL_PTR);
    EXPECT_EQ(spRealFftGetBufferSize_Gen(nullptr, &size), SP_STS_NULL_PTR);
    EXPECT_EQ(spZeroU8_Gen(nullptr, 0), SP_STS_NULL_PTR);
    uint8_t byte = 0x77;
    EXPECT_EQ(spZeroU8_Gen(&byte, 0), SP_STS_SIZE);
    EXPECT_EQ(byte, 0x77);
}

// ---- Creates and the pool --------------------------------------------------------

class PoolBalance : public ::testing::Test {
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

// Raw pool size of a block from spMallocAligned (the pool pointer is kept
// just below it).
size_t rawSize(void* block) { return sim::PoolBlockSize(static_cast<void**>(block)[-1]); }

TEST_F(PoolBalance, Order10CreateIsOneBlockOf8960) {
    SpFftSpec* spec = nullptr;
    sim::PoolResetCounters();
    ASSERT_EQ(spRealFftCreate(&spec, 10, SP_FFT_DIV_INV_BY_N, 0), SP_STS_OK);
    EXPECT_EQ(sim::PoolAllocationAttempts(), 1u);
    EXPECT_EQ(rawSize(spec), 8960u + 40u);
    EXPECT_EQ(sim::PoolBlockTag(static_cast<void**>(static_cast<void*>(spec))[-1]), SP_POOL_TAG);
    EXPECT_EQ(spec->ownsMemory, 1);
    std::vector<float> data(1024, 1.0f);
    sim::PoolResetCounters();
    EXPECT_EQ(spRealFftForward(data.data(), spec, nullptr), SP_STS_OK);
    EXPECT_EQ(spRealFftInverse(data.data(), spec, nullptr), SP_STS_OK);
    EXPECT_EQ(sim::PoolAllocationAttempts(), 0u) << "order-10 transforms allocate nothing";
    EXPECT_EQ(spRealFftDestroy(spec), SP_STS_OK);
}

TEST_F(PoolBalance, CreateRefusalsAllocateNothing) {
    SpFftSpec* spec = reinterpret_cast<SpFftSpec*>(uintptr_t{0x99});
    sim::PoolResetCounters();
    EXPECT_EQ(spRealFftCreate(&spec, 10, 3, 0), SP_STS_FFT_FLAG);
    EXPECT_EQ(spComplexFftCreate(&spec, 10, 0, 0), SP_STS_FFT_FLAG);
    EXPECT_EQ(spRealFftCreate(&spec, 28, 2, 0), SP_STS_FFT_ORDER);
    EXPECT_EQ(spComplexFftCreate(&spec, 30, 2, 0), SP_STS_FFT_ORDER);
    EXPECT_EQ(spRealFftCreate(nullptr, 10, 2, 0), SP_STS_NULL_PTR);
    EXPECT_EQ(sim::PoolAllocationAttempts(), 0u);
    EXPECT_EQ(spec, reinterpret_cast<SpFftSpec*>(uintptr_t{0x99}));
}

// Every allocation of a create, failed in turn: -9, nothing outstanding,
// *spec unwritten.
TEST_F(PoolBalance, CreateFailuresReleaseEverything) {
    struct Row {
        bool complex;
        int order;
        uint64_t allocations;
    };
    for (const Row& r : {Row{false, 10, 1}, Row{false, 14, 2}, Row{true, 13, 2}}) {
        for (uint64_t nth = 1; nth <= r.allocations; ++nth) {
            SpFftSpec* spec = reinterpret_cast<SpFftSpec*>(uintptr_t{0x99});
            sim::PoolFailNth(nth);
            const SpStatus st = r.complex ? spComplexFftCreate(&spec, r.order, 2, 0)
                                          : spRealFftCreate(&spec, r.order, 2, 0);
            sim::PoolClearFailures();
            EXPECT_EQ(st, SP_STS_MEM_ALLOC) << "order " << r.order << " allocation " << nth;
            EXPECT_EQ(spec, reinterpret_cast<SpFftSpec*>(uintptr_t{0x99}));
            EXPECT_EQ(sim::PoolLiveBlocks(SP_POOL_TAG), live_);
        }
    }
}

// Recursive-path transforms without a work buffer allocate one block for
// the call and free it; a failed allocation leaves dst untouched.
TEST_F(PoolBalance, TransformWorkBufferAllocation) {
    struct Row {
        bool complex;
        int order;
    };
    for (const Row& r : {Row{false, 14}, Row{true, 13}}) {
        SpFftSpec* spec = nullptr;
        ASSERT_EQ(r.complex ? spComplexFftCreate(&spec, r.order, 2, 0)
                            : spRealFftCreate(&spec, r.order, 2, 0),
                  SP_STS_OK);
        const size_t count = (r.complex ? 2u : 1u) << r.order;
        sptest::SpBuffer<float> data(count);
        data.fillBytes(0);
        sim::PoolResetCounters();
        const int64_t before = sim::PoolLiveBlocks(SP_POOL_TAG);
        auto run = [&] {
            return r.complex ? spComplexFftForward(data.data(), data.data(), spec, nullptr)
                             : spRealFftForward(data.data(), spec, nullptr);
        };
        EXPECT_EQ(run(), SP_STS_OK);
        EXPECT_EQ(sim::PoolAllocationAttempts(), 1u);
        EXPECT_EQ(sim::PoolLiveBlocks(SP_POOL_TAG), before);
        data.fillBytes(0x3C);
        sim::PoolFailNth(1);
        EXPECT_EQ(run(), SP_STS_MEM_ALLOC);
        sim::PoolClearFailures();
        for (size_t i = 0; i < count; i += 97) EXPECT_EQ(data.get(i), data.get(0));
        EXPECT_EQ(sptest::floatBits(data.get(0)), 0x3C3C3C3Cu);
        EXPECT_TRUE(data.checkCanaries());
        r.complex ? spComplexFftDestroy(spec) : spRealFftDestroy(spec);
    }
}

}  // namespace
