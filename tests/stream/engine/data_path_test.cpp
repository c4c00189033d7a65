// Block data path: one table over width x channels x frames x nodes, the
// conversion edges, chunking and failure, channel-table swaps, raw formats,
// refused layouts, the SSE control state, the client runners and a golden
// file of random blocks through a gain node.
#include <xmmintrin.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "sim/debug.h"
#include "tests/stream/engine/engine_fixture.h"

using namespace streamfakes;

namespace {

int64_t ReadSample(const std::vector<uint8_t>& block, USHORT bits, size_t index) {
    const uint8_t* p = block.data() + index * (bits / 8);
    switch (bits) {
    case 8: return (int8_t)p[0];
    case 16: return (int16_t)(p[0] | p[1] << 8);
    case 24: return (int32_t)((uint32_t)(p[0] | p[1] << 8 | p[2] << 16) << 8) >> 8;
    default: return (int32_t)(p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24);
    }
}

void WriteSample(std::vector<uint8_t>& block, USHORT bits, size_t index, int64_t value) {
    uint8_t* p = block.data() + index * (bits / 8);
    for (int b = 0; b < bits / 8; b++) p[b] = (uint8_t)(value >> (8 * b));
}

// Deterministic samples over the whole range of the width.
std::vector<uint8_t> MakeBlock(USHORT bits, USHORT channels, ULONG frames, uint32_t seed) {
    std::vector<uint8_t> block((size_t)frames * channels * bits / 8);
    uint64_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < (size_t)frames * channels; i++) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        WriteSample(block, bits, i, (int64_t)(state >> 32));
    }
    return block;
}

// The data path's own arithmetic, in the test's terms: integer -> float
// (scaled), node gain in single precision, back with truncation (16, 32) or
// ties-to-even rounding (24) and saturation.
int64_t Expected(int64_t in, USHORT bits, float gain) {
    const double top = std::ldexp(1.0, bits - 1);
    float f = (float)((double)(float)in / top);
    float p = f * gain;
    double v = bits == 24 ? std::nearbyint((double)(p * (float)top)) : std::trunc((double)p * top);
    return (int64_t)std::fmax(-top, std::fmin(top - 1, v));
}

class DataPathTest : public EngineTest {
protected:
    void Prepare(const WAVEFORMATEXTENSIBLE& format, bool buffers = true) {
        MakeEngine(0);
        if (buffers) {
            ASSERT_EQ(engine_->AllocateBuffers(), STATUS_SUCCESS);
        }
        engine_->SetCurrentFormat(format);
    }
    FakeDspNode* AddNode(const NodeSpec& spec = NodeSpec()) {
        FakeDspNode* node = FakeDspNode::Create(spec);
        EXPECT_EQ(engine_->AddDspNode(node), STATUS_SUCCESS);
        nodes_.push_back(node);
        return node;
    }
    void TearDown() override {
        ReleaseEngine();
        for (FakeDspNode* node : nodes_) node->Release();
        EngineTest::TearDown();
    }
    std::vector<FakeDspNode*> nodes_;
};

std::vector<ULONG> ChunkFrames(ULONG frames) {
    std::vector<ULONG> chunks;
    for (ULONG done = 0; done < frames; done += 512) chunks.push_back(std::min<ULONG>(512, frames - done));
    return chunks;
}

std::vector<ULONG> CalledFrames(FakeDspNode* node) {
    std::vector<ULONG> frames;
    for (const NodeCall& call : node->Calls()) frames.push_back(call.frames);
    return frames;
}

struct PathCase {
    USHORT bits;
    USHORT channels;
    ULONG frames;
    bool node;
};

class PathTable : public DataPathTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(PathTable, ExactWithoutNodesAndThroughNoOpNodes) {
    const PathCase& c = GetParam();
    Prepare(PcmFormat(c.channels, 48000, c.bits));
    FakeDspNode* node = c.node ? AddNode() : nullptr;
    std::vector<uint8_t> input = MakeBlock(c.bits, c.channels, c.frames, c.bits * 131 + c.channels);
    std::vector<uint8_t> block = input;
    ASSERT_EQ(engine_->ProcessData(block.data(), (ULONG)block.size()), STATUS_SUCCESS);
    for (size_t i = 0; i < (size_t)c.frames * c.channels; i++) {
        int64_t in = ReadSample(input, c.bits, i);
        // 32-bit samples keep the 24 significant bits of a float.
        int64_t expected = (node && c.bits == 32) ? Expected(in, 32, 1.0f) : in;
        ASSERT_EQ(ReadSample(block, c.bits, i), expected) << "sample " << i;
    }
    if (node) {
        EXPECT_EQ(CalledFrames(node), ChunkFrames(c.frames));
    }
}

std::vector<PathCase> PathCases() {
    std::vector<PathCase> cases;
    for (USHORT bits : {8, 16, 24, 32})
        for (USHORT channels : {1, 2, 8})
            for (ULONG frames : {0u, 1u, 511u, 512u, 513u, 1300u})
                for (bool node : {false, true}) cases.push_back({bits, channels, frames, node});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(DataPath, PathTable, ::testing::ValuesIn(PathCases()), [](const auto& info) {
    const PathCase& c = info.param;
    return "Bits" + std::to_string(c.bits) + "Ch" + std::to_string(c.channels) + "Frames" +
           std::to_string(c.frames) + (c.node ? "Node" : "Bare");
});

struct EdgeCase {
    const char* name;
    USHORT bits;
    int64_t input;
    float gain;
    int64_t literal;  // what the conversion rules give, written out
};

class ConversionEdges : public DataPathTest, public ::testing::WithParamInterface<EdgeCase> {};

TEST_P(ConversionEdges, TruncationRoundingAndSaturation) {
    const EdgeCase& c = GetParam();
    Prepare(PcmFormat(1, 48000, c.bits));
    NodeSpec spec;
    spec.gain = c.gain;
    AddNode(spec);
    std::vector<uint8_t> block(c.bits / 8);
    WriteSample(block, c.bits, 0, c.input);
    ASSERT_EQ(engine_->ProcessData(block.data(), (ULONG)block.size()), STATUS_SUCCESS);
    EXPECT_EQ(ReadSample(block, c.bits, 0), Expected(c.input, c.bits, c.gain));
    EXPECT_EQ(ReadSample(block, c.bits, 0), c.literal);
}

const float kToQuarter = (float)(16384.75 / 16384.0);  // exact in single precision

INSTANTIATE_TEST_SUITE_P(
    DataPath, ConversionEdges,
    ::testing::Values(EdgeCase{"PlusOne16", 16, 16384, 2.0f, 32767}, EdgeCase{"MinusOne16", 16, -16384, 2.0f, -32768},
                      EdgeCase{"PlusOne24", 24, 0x400000, 2.0f, 8388607},
                      EdgeCase{"MinusOne24", 24, -0x400000, 2.0f, -8388608},
                      EdgeCase{"PlusOne32", 32, 0x40000000, 2.0f, 0x7FFFFFFF},
                      EdgeCase{"MinusOne32", 32, -0x40000000, 2.0f, INT32_MIN},
                      EdgeCase{"Truncates16", 16, 16384, kToQuarter, 16384},
                      EdgeCase{"TruncatesTowardZero16", 16, -16384, kToQuarter, -16384},
                      EdgeCase{"TiesToEven24", 24, 201, 0.5f, 100}, EdgeCase{"TiesToEvenUp24", 24, 203, 0.5f, 102},
                      EdgeCase{"Saturates16", 16, 30000, 2.0f, 32767},
                      EdgeCase{"Keeps24SignificantBits32", 32, 0x01234567, 1.0f, 0x01234568},
                      EdgeCase{"MaxStays32", 32, 0x7FFFFFFF, 1.0f, 0x7FFFFFFF}),
    [](const auto& info) { return std::string(info.param.name); });

// The locked runner and the unlocked one share the chunk walk.
enum class Runner { Locked, Unlocked };

NTSTATUS RunPath(CStreamEngine* engine, Runner runner, std::vector<uint8_t>& block) {
    return runner == Runner::Locked ? engine->ProcessData(block.data(), (ULONG)block.size())
                                    : engine->ProcessDspNodesUnlocked(block.data(), (ULONG)block.size());
}

class RunnerTest : public DataPathTest, public ::testing::WithParamInterface<Runner> {};

TEST_P(RunnerTest, FailureInTheSecondChunkKeepsItAndTheRestUntouched) {
    Prepare(PcmFormat(2, 48000, 16));
    NodeSpec spec;
    spec.gain = 0.5f;
    spec.failAtCall = 1;
    FakeDspNode* node = AddNode(spec);
    std::vector<uint8_t> input = MakeBlock(16, 2, 1300, 7), block = input;
    EXPECT_EQ(RunPath(engine_, GetParam(), block), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(node->Calls().size(), 2u);
    for (size_t i = 0; i < 1300 * 2; i++) {
        int64_t in = ReadSample(input, 16, i);
        ASSERT_EQ(ReadSample(block, 16, i), i < 512 * 2 ? Expected(in, 16, 0.5f) : in) << "sample " << i;
    }
}

TEST_P(RunnerTest, ChannelPairSwapOnEveryChunk) {
    Prepare(PcmFormat(8, 48000, 16));
    NodeSpec spec;
    spec.swapPairs = true;
    AddNode(spec);
    std::vector<uint8_t> input = MakeBlock(16, 8, 1300, 9), block = input;
    ASSERT_EQ(RunPath(engine_, GetParam(), block), STATUS_SUCCESS);
    const int from[8] = {0, 1, 2, 3, 6, 7, 4, 5};
    for (size_t frame = 0; frame < 1300; frame++)
        for (int c = 0; c < 8; c++)
            ASSERT_EQ(ReadSample(block, 16, frame * 8 + c), ReadSample(input, 16, frame * 8 + from[c]))
                << "frame " << frame << " channel " << c;
}

TEST_P(RunnerTest, RefusedLayoutsLeaveTheBlockAndTheNodesAlone) {
    struct Layout {
        WAVEFORMATEXTENSIBLE format;
        bool buffers;
    };
    WAVEFORMATEXTENSIBLE badAlign = PcmFormat(2, 48000, 16);
    badAlign.Format.nBlockAlign = 6;
    WAVEFORMATEXTENSIBLE zeroAlign = PcmFormat(2, 48000, 16);
    zeroAlign.Format.nBlockAlign = 0;
    for (const Layout& layout : {Layout{PcmFormat(10, 48000, 16), true}, Layout{badAlign, true},
                                 Layout{PcmFormat(2, 48000, 16), false}, Layout{zeroAlign, true}}) {
        Prepare(layout.format, layout.buffers);
        FakeDspNode* node = AddNode();
        std::vector<uint8_t> input = MakeBlock(8, 60, 20, 3), block = input;
        EXPECT_EQ(RunPath(engine_, GetParam(), block), STATUS_NOT_SUPPORTED);
        EXPECT_EQ(block, input);
        EXPECT_TRUE(node->Calls().empty());
        ReleaseEngine();
    }
}

INSTANTIATE_TEST_SUITE_P(DataPath, RunnerTest, ::testing::Values(Runner::Locked, Runner::Unlocked),
                         [](const auto& info) { return info.param == Runner::Locked ? "Locked" : "Unlocked"; });

struct RawCase {
    const char* name;
    WAVEFORMATEXTENSIBLE format;
};

WAVEFORMATEXTENSIBLE FloatFormat() {
    WAVEFORMATEXTENSIBLE f = PlainPcm(2, 48000, 32);
    f.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    f.Format.nBlockAlign = 8;
    return f;
}

WAVEFORMATEXTENSIBLE BitstreamFormat() {
    WAVEFORMATEXTENSIBLE f = PcmFormat(2, 48000, 16);
    f.SubFormat.Data1 = 0x0092;  // compressed bitstream over a digital link
    return f;
}

class RawFormats : public DataPathTest, public ::testing::WithParamInterface<RawCase> {};

TEST_P(RawFormats, OnlyTheDspNodesSeeTheRawBytes) {
    Prepare(GetParam().format);
    NodeSpec bump;
    bump.bumpRawBytes = true;
    FakeDspNode* node = AddNode(bump);
    FakeDspNode* clientNode = FakeDspNode::Create();
    ASSERT_EQ(engine_->AddClientNode(clientNode), STATUS_SUCCESS);
    const ULONG align = GetParam().format.Format.nBlockAlign;
    std::vector<uint8_t> input = MakeBlock(8, (USHORT)align, 1300, 5), block = input;
    ASSERT_EQ(engine_->ProcessData(block.data(), (ULONG)block.size()), STATUS_SUCCESS);
    for (size_t i = 0; i < block.size(); i++) ASSERT_EQ(block[i], (uint8_t)(input[i] + 1)) << i;
    std::vector<NodeCall> calls = node->Calls();
    ASSERT_EQ(CalledFrames(node), ChunkFrames(1300));
    EXPECT_EQ(calls[1].data, block.data() + 512 * align);
    EXPECT_TRUE(clientNode->Calls().empty());
    EXPECT_EQ(engine_->ProcessClientNodesRaw(block.data(), (ULONG)block.size()), STATUS_SUCCESS);
    EXPECT_TRUE(clientNode->Calls().empty());
    ReleaseEngine();
    clientNode->Release();
}

INSTANTIATE_TEST_SUITE_P(DataPath, RawFormats,
                         ::testing::Values(RawCase{"IeeeFloat", FloatFormat()}, RawCase{"Bitstream", BitstreamFormat()}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DataPathTest, PartialFramePrintsTheMessageAndTouchesNothing) {
    Prepare(PcmFormat(3, 48000, 16));
    FakeDspNode* node = AddNode();
    std::vector<uint8_t> input = MakeBlock(8, 1, 1000, 1), block = input;
    sim::ClearDebugOutput();
    EXPECT_EQ(engine_->ProcessData(block.data(), 1000), STATUS_UNSUCCESSFUL);
    EXPECT_NE(sim::DebugOutput().find("0 != lBufSize(1000) Div m_CurrentWaveFormat.Format.nBlockAlign(6) \n"),
              std::string::npos);
    EXPECT_EQ(block, input);
    EXPECT_TRUE(node->Calls().empty());
    EXPECT_EQ(engine_->ProcessData(block.data(), 0), STATUS_SUCCESS);
    EXPECT_TRUE(node->Calls().empty());
}

TEST_F(DataPathTest, EightBitNodesSeeSilenceAndTheBytesStay) {
    Prepare(PcmFormat(2, 48000, 8));
    FakeDspNode* node = AddNode();
    std::vector<uint8_t> input(2 * 100, 0x7F), block = input;
    ASSERT_EQ(engine_->ProcessData(block.data(), (ULONG)block.size()), STATUS_SUCCESS);
    EXPECT_EQ(block, input);
    ASSERT_EQ(node->Calls().size(), 1u);
    EXPECT_EQ(node->Calls()[0].firstSample, 0.0f);
}

TEST_F(DataPathTest, CallerControlStateIsRestoredAndNodesRunFlushToZeroNearest) {
    Prepare(PcmFormat(2, 48000, 16));
    FakeDspNode* node = AddNode();
    const unsigned saved = _mm_getcsr();
    const unsigned distinctive = 0x1F80 | 0x6000 | 0x0040;  // round toward zero, denormals are zero
    _mm_setcsr(distinctive);
    std::vector<uint8_t> block = MakeBlock(16, 2, 100, 2);
    NTSTATUS status = engine_->ProcessData(block.data(), (ULONG)block.size());
    const unsigned after = _mm_getcsr();
    _mm_setcsr(saved);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(after, distinctive);
    ASSERT_EQ(node->Calls().size(), 1u);
    EXPECT_EQ(node->Calls()[0].mxcsr & 0xFFC0u, (distinctive & ~0x6000u) | 0x8000u);
}

TEST_F(DataPathTest, ClientListsRunPerChunkAndRawRunnersOnceOverTheIntegerBytes) {
    Prepare(PcmFormat(2, 48000, 16));
    NodeSpec rawCapable;
    rawCapable.channelTable = false;
    FakeDspNode* clientNode = FakeDspNode::Create(rawCapable);
    FakeDspNode* postNode = FakeDspNode::Create(rawCapable);
    ASSERT_EQ(engine_->AddClientNode(clientNode), STATUS_SUCCESS);
    ASSERT_EQ(engine_->AddClientPostNode(postNode), STATUS_SUCCESS);
    std::vector<uint8_t> input = MakeBlock(16, 2, 1300, 4), block = input;
    ASSERT_EQ(engine_->ProcessData(block.data(), (ULONG)block.size()), STATUS_SUCCESS);
    EXPECT_EQ(block, input);
    EXPECT_EQ(CalledFrames(clientNode), ChunkFrames(1300));
    EXPECT_EQ(postNode->FlushCount(), 3);
    EXPECT_TRUE(postNode->Calls().empty());
    ASSERT_EQ(engine_->ProcessClientNodesRaw(block.data(), (ULONG)block.size()), STATUS_SUCCESS);
    ASSERT_EQ(clientNode->Calls().size(), 4u);
    EXPECT_EQ(clientNode->Calls()[3].frames, 1300u);
    EXPECT_EQ(clientNode->Calls()[3].data, block.data());
    ASSERT_EQ(engine_->ProcessClientPostNodesRaw(block.data(), (ULONG)block.size()), STATUS_SUCCESS);
    EXPECT_EQ(postNode->FlushCount(), 4);
    EXPECT_EQ(engine_->ProcessClientNodesRaw(block.data(), 5), STATUS_UNSUCCESSFUL);
    ReleaseEngine();
    clientNode->Release();
    postNode->Release();
}

class GoldenGain : public DataPathTest, public ::testing::WithParamInterface<USHORT> {};

TEST_P(GoldenGain, RandomBlocksMatchTheNumpyReference) {
    const USHORT bits = GetParam();
    std::ifstream file(std::string(STREAM_GOLDEN_DIR) + "/gain07_" + std::to_string(bits) + ".bin", std::ios::binary);
    ASSERT_TRUE(file) << "golden file missing";
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 2u * 1300 * 2 * bits / 8);
    std::vector<uint8_t> block(bytes.begin(), bytes.begin() + bytes.size() / 2);
    std::vector<uint8_t> expected(bytes.begin() + bytes.size() / 2, bytes.end());
    Prepare(PcmFormat(2, 48000, bits));
    NodeSpec spec;
    spec.gain = 0.7f;
    AddNode(spec);
    ASSERT_EQ(engine_->ProcessData(block.data(), (ULONG)block.size()), STATUS_SUCCESS);
    EXPECT_EQ(block, expected);
}

INSTANTIATE_TEST_SUITE_P(DataPath, GoldenGain, ::testing::Values(16, 24, 32));

}  // namespace
