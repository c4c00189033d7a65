// The stream format layer: its checks with their debugger messages, the
// chain it builds for every pair of rates, and Init under allocation
// failure.
#include "dsp/interleave_src.h"

#include <memory>
#include <string>

#include "sim/debug.h"
#include "sim/pool.h"
#include "tests/dsp/dsp_test_base.h"

namespace {

using dsptest::FloatFormat;

const ULONG kObjectTag = MakePoolTag("CCST");

struct LayerDeleter {
    void operator()(CDspInterleaveSrc* l) const {
        l->Cleanup();
        delete l;
    }
};
using LayerPtr = std::unique_ptr<CDspInterleaveSrc, LayerDeleter>;

LayerPtr MakeLayer() {
    LayerPtr l(new (NonPagedPoolNx, kObjectTag) CDspInterleaveSrc());
    EXPECT_TRUE(l->Init());
    return l;
}

WAVEFORMATEXTENSIBLE Pcm(unsigned channels, unsigned rate, unsigned bits = 16) {
    WAVEFORMATEXTENSIBLE f = FloatFormat(channels, rate);
    f.Format.wFormatTag = 1;
    f.Format.wBitsPerSample = (USHORT)bits;
    f.Format.nBlockAlign = (USHORT)(channels * bits / 8);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    return f;
}

WAVEFORMATEXTENSIBLE Extensible(USHORT subTag, unsigned channels, unsigned rate, unsigned bits) {
    WAVEFORMATEXTENSIBLE f = Pcm(channels, rate, bits);
    f.Format.wFormatTag = 0xFFFE;
    f.Format.cbSize = 22;
    std::memset(&f.SubFormat, 0, sizeof(f.SubFormat));
    std::memcpy(&f.SubFormat, &subTag, sizeof(subTag));
    return f;
}

class FormatLayerTest : public dsptest::DspTest {};

TEST_F(FormatLayerTest, BadFormatsPrintTheirReasonAndKeepThePreviousChain) {
    const std::string kLayer = "CDspInterleaveSrc::SetFormat";
    struct Case {
        const char* name;
        WAVEFORMATEXTENSIBLE in, out;
        std::string message;  // empty: fails silently
    } cases[] = {
        {"8-bit input", Pcm(2, 48000, 8), Pcm(2, 48000), kLayer + " InFormat.Format.wBitsPerSample not in List\n"},
        {"20-bit input", Pcm(2, 48000, 20), Pcm(2, 48000), kLayer + " InFormat.Format.wBitsPerSample not in List\n"},
        {"32 kHz input", Pcm(2, 32000), Pcm(2, 48000), kLayer + " InFormat.Format.nSamplesPerSec not in List\n"},
        {"9 input channels", Pcm(9, 48000), Pcm(2, 48000),
         kLayer + " InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
        {"compressed input", Extensible(0x92, 2, 48000, 16), Pcm(2, 48000), kLayer + " Tag not PCM\n"},
        {"ADPCM output", Pcm(2, 48000), Extensible(2, 2, 48000, 16), kLayer + " Output Tag not PCM\n"},
        {"9 output channels", Pcm(2, 48000), Pcm(9, 48000),
         kLayer + " Output OutFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
        {"32 kHz output", Pcm(2, 48000), Pcm(2, 32000), kLayer + " OutFormat.Format.nSamplesPerSec not in List\n"},
        {"8-bit output", Pcm(2, 48000), Pcm(2, 48000, 8), ""},
        {"20-bit output", Pcm(2, 48000), Pcm(2, 48000, 20), ""},
    };
    LayerPtr layer = MakeLayer();
    const WAVEFORMATEXTENSIBLE goodIn = Pcm(6, 176400, 24), goodOut = Pcm(2, 48000, 16);
    ASSERT_TRUE(layer->SetFormat(&goodIn, &goodOut));
    for (const Case& c : cases) {
        sim::ClearDebugOutput();
        EXPECT_FALSE(layer->SetFormat(&c.in, &c.out)) << c.name;
        EXPECT_EQ(sim::DebugOutput(), c.message) << c.name;
        EXPECT_EQ(0, std::memcmp(&layer->m_InFormat, &goodIn, sizeof(goodIn))) << c.name;
        EXPECT_EQ(0, std::memcmp(&layer->m_OutFormat, &goodOut, sizeof(goodOut))) << c.name;
        EXPECT_EQ(layer->m_pStages[1], layer->m_pSrcX4) << c.name;
        EXPECT_EQ(layer->m_pStages[2], layer->m_pSrc441) << c.name;
    }
}

TEST_F(FormatLayerTest, FloatInputsPassAndTheSplitKeepsBothFormsOfEachFormat) {
    LayerPtr layer = MakeLayer();
    WAVEFORMATEXTENSIBLE in = Extensible(3, 8, 96000, 32), out = Pcm(2, 48000, 24);
    sim::ClearDebugOutput();
    ASSERT_TRUE(layer->SetFormat(&in, &out));
    EXPECT_EQ(sim::DebugOutput(), "");
    EXPECT_EQ(0, std::memcmp(&layer->m_pSplit->m_InFormat, &in, sizeof(in)));
    EXPECT_EQ(0, std::memcmp(&layer->m_pSplit->m_OutFormat, &out, sizeof(out)));
    const WAVEFORMATEXTENSIBLE& fin = layer->m_pSplit->m_pConversion->m_InFormat;
    const WAVEFORMATEXTENSIBLE& fout = layer->m_pSplit->m_pConversion->m_OutFormat;
    // The extensible float input stays as it is; the PCM output becomes
    // 32-bit float.
    EXPECT_EQ(0, std::memcmp(&fin, &in, sizeof(in)));
    EXPECT_EQ(fout.Format.wFormatTag, 3);
    EXPECT_EQ(fout.Format.wBitsPerSample, 32);
    EXPECT_EQ(fout.Format.nBlockAlign, 8);
    EXPECT_EQ(fout.Format.nAvgBytesPerSec, 48000u * 8u);
    EXPECT_EQ(fout.Format.nChannels, 2);
}

TEST_F(FormatLayerTest, EveryPairOfRatesGetsItsChainWithDirectionsSetAndReset) {
    const unsigned kRates[] = {44100, 48000, 88200, 96000, 176400, 192000};
    // Per pair: the converters of stages 1 and 2 ('2', '4', 's', '-') and
    // their directions ('u' or 'd').
    const char* kChains[6][6] = {
        {"--", "su", "2u", "su2u", "4u", "su4u"}, {"sd", "--", "sd2u", "2u", "sd4u", "4u"},
        {"2d", "2dsu", "--", "su", "2u", "su2u"}, {"2dsd", "2d", "sd", "--", "sd2u", "2u"},
        {"4d", "4dsu", "2d", "2dsu", "--", "su"}, {"4dsd", "4d", "2dsd", "2d", "sd", "--"},
    };
    LayerPtr layer = MakeLayer();
    auto name = [&](CSampleRateConverter* c) -> std::string {
        if (c == layer->m_pSrcX2) return "2";
        if (c == layer->m_pSrcX4) return "4";
        if (c == layer->m_pSrc441) return "s";
        return "?";
    };
    for (int i = 0; i < 6; ++i)
        for (int o = 0; o < 6; ++o) {
            // Leave something in every output buffer: the chain's SetFormat
            // must empty them all.
            for (CSampleRateConverter* c : {(CSampleRateConverter*)layer->m_pSrcX2,
                                            (CSampleRateConverter*)layer->m_pSrcX4,
                                            (CSampleRateConverter*)layer->m_pSrc441})
                c->m_nOutPos[0] = 5;
            WAVEFORMATEXTENSIBLE in = Pcm(2, kRates[i]), out = Pcm(2, kRates[o], 24);
            ASSERT_TRUE(layer->SetFormat(&in, &out));
            EXPECT_EQ(layer->m_pStages[0], layer->m_pSplit);
            std::string chain;
            for (int s = 1; s < 3; ++s) {
                CSampleRateConverter* c = layer->m_pStages[s];
                if (c == nullptr) continue;
                chain += name(c) + (c->m_bUp ? "u" : "d");
                EXPECT_EQ(c->m_nOutPos[0], 0);
                // The FIR state was rebuilt in the buffer of its direction.
                if (c != layer->m_pSrc441) {
                    char* buffer = static_cast<char*>(c->m_bUp ? c->m_pUpState[0] : c->m_pDownState[0]);
                    int size = c->m_bUp ? c->GetUpStateSize() : c->GetDownStateSize();
                    char* state = reinterpret_cast<char*>(c->m_pFirState[0]);
                    EXPECT_TRUE(state >= buffer && state < buffer + size) << kRates[i] << " -> " << kRates[o];
                }
            }
            if (chain.empty()) chain = "--";
            EXPECT_EQ(chain, kChains[i][o]) << kRates[i] << " -> " << kRates[o];
        }
}

TEST_F(FormatLayerTest, InitIsOneShotAndFailsCleanlyAtEveryAllocation) {
    {
        LayerPtr layer = MakeLayer();
        EXPECT_FALSE(layer->Init());
    }
    uint64_t allocations = 0;
    {
        sim::PoolResetCounters();
        LayerPtr layer = MakeLayer();
        allocations = sim::PoolAllocationAttempts() - 1;  // less the object
    }
    ASSERT_GT(allocations, 10u);
    for (uint64_t nth = 1; nth <= allocations; ++nth) {
        LayerPtr layer(new (NonPagedPoolNx, kObjectTag) CDspInterleaveSrc());
        sim::PoolFailNth(nth);
        EXPECT_FALSE(layer->Init()) << nth;
        sim::PoolClearFailures();
        EXPECT_FALSE(layer->m_bInit);
    }
}

}  // namespace
