// Interleave and deinterleave: bit-exact word moves for 1-8 channels,
// odd lengths, the misalignment warning and the error rows.
#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <vector>

#include "primitives/convert/entry_table_a.h"
#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/special_values.h"
#include "tests/primitives/support/ulp.h"

namespace sptest {
namespace {

// numCh, len, which buffer sits 4 bytes past a 16-byte boundary (-1 none,
// 0 the interleaved block, 1.. channel c-1).
using Shape = std::tuple<int, int, int>;

class Interleave : public ::testing::TestWithParam<Shape> {
protected:
    void SetUp() override {
        std::tie(numCh_, len_, shifted_) = GetParam();
        std::vector<float> bits = randomBitFloats(1000u + numCh_ * 7u + len_, (size_t)numCh_ * len_);
        block_ = std::make_unique<SpBuffer<uint32_t>>((size_t)numCh_ * len_, shifted_ == 0 ? 4 : 0);
        for (int c = 0; c < numCh_; ++c)
            channels_.push_back(std::make_unique<SpBuffer<uint32_t>>(len_, shifted_ == c + 1 ? 4 : 0));
        for (size_t i = 0; i < bits.size(); ++i) source_.push_back(floatBits(bits[i]));
    }
    SpStatus expectedStatus() const { return shifted_ >= 0 ? SP_STS_MISALIGNED : SP_STS_OK; }

    int numCh_, len_, shifted_;
    std::unique_ptr<SpBuffer<uint32_t>> block_;
    std::vector<std::unique_ptr<SpBuffer<uint32_t>>> channels_;
    std::vector<uint32_t> source_;  // random bit patterns, NaN payloads included
};

TEST_P(Interleave, JoinsChannelsBitForBit) {
    std::vector<const float*> src;
    for (int c = 0; c < numCh_; ++c) {
        for (int j = 0; j < len_; ++j) channels_[c]->set(j, source_[(size_t)j * numCh_ + c]);
        src.push_back(reinterpret_cast<const float*>(channels_[c]->data()));
    }
    EXPECT_EQ(spInterleaveF32(src.data(), numCh_, len_, reinterpret_cast<float*>(block_->data())), expectedStatus());
    EXPECT_EQ(block_->values(), source_);
    EXPECT_TRUE(block_->checkCanaries());
}

TEST_P(Interleave, SplitsBlockBitForBit) {
    block_->assign(source_);
    std::vector<float*> dst;
    for (auto& ch : channels_) dst.push_back(reinterpret_cast<float*>(ch->data()));
    EXPECT_EQ(spDeinterleaveF32(reinterpret_cast<const float*>(block_->data()), numCh_, len_, dst.data()),
              expectedStatus());
    for (int c = 0; c < numCh_; ++c) {
        for (int j = 0; j < len_; ++j) ASSERT_EQ(channels_[c]->get(j), source_[(size_t)j * numCh_ + c]) << c << "/" << j;
        EXPECT_TRUE(channels_[c]->checkCanaries());
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, Interleave,
                         ::testing::Combine(::testing::Range(1, 9), ::testing::Values(1, 2, 9, 17, 512),
                                            ::testing::Values(-1, 0, 1)),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                             return "Ch" + std::to_string(std::get<0>(info.param)) + "Len" +
                                    std::to_string(std::get<1>(info.param)) +
                                    (std::get<2>(info.param) < 0   ? "Aligned"
                                     : std::get<2>(info.param) == 0 ? "BlockPlus4"
                                                                    : "Channel0Plus4");
                         });

TEST(InterleaveSignals, SignallingNanArrivesUnchanged) {
    alignas(16) uint32_t a[2] = {0x7F800001u, 0xFF9ABCDEu}, b[2] = {0x80000000u, 0x7FA5A5A5u}, out[4];
    const float* src[2] = {reinterpret_cast<float*>(a), reinterpret_cast<float*>(b)};
    ASSERT_EQ(spInterleaveF32(src, 2, 2, reinterpret_cast<float*>(out)), SP_STS_OK);
    EXPECT_EQ(out[0], 0x7F800001u);
    EXPECT_EQ(out[1], 0x80000000u);
    EXPECT_EQ(out[2], 0xFF9ABCDEu);
    EXPECT_EQ(out[3], 0x7FA5A5A5u);
}

}  // namespace
}  // namespace sptest
