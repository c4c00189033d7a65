// CSoftwareVolumeNode::Process per chunk, at DISPATCH_LEVEL as the stream
// engine runs it, beside a plain in-place scale loop (one multiply per
// sample, each channel by its own gain) over the same buffers. Arguments:
// frames per chunk (480, 512) and channels (2, 6, 8). The ratio asked for
// is BM_SoftwareVolume / BM_PlainScaleLoop at the same arguments.
#include <benchmark/benchmark.h>
#include <xmmintrin.h>

#include <vector>

#include "sim/executor.h"
#include "topology/level_nodes.h"

namespace {

constexpr ULONG kBenchTag = MakePoolTag("BSwv");

// A feature unit with a software volume control on every channel.
class LevelEntity : public ILevelControl, public CUnknown {
public:
    explicit LevelEntity(ULONG channels) : CUnknown(NULL), m_Channels(channels) {}
    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override {
        if (IsEqualGUID(iid, IID_ILevelControl)) return ReturnInterface(static_cast<ILevelControl*>(this), out);
        return RefuseInterface(out);
    }
    NTSTATUS GetLevel(ULONG, ULONG, LONG* level) override {
        *level = -6 * 65536;
        return STATUS_SUCCESS;
    }
    NTSTATUS SetLevel(ULONG, ULONG, LONG) override { return STATUS_SUCCESS; }
    NTSTATUS GetLevelRange(ULONG, LONG* maximum, LONG* minimum, LONG* step) override {
        *maximum = 0;
        *minimum = -128 * 65536;
        *step = 256;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetLevelChannelCount(ULONG, ULONG* count) override {
        *count = m_Channels;
        return STATUS_SUCCESS;
    }

private:
    ULONG m_Channels;
};

struct Chunk {
    Chunk(ULONG frames, ULONG channels)
        : buffers(channels, std::vector<float>(frames, 0.5f)), table(MAX_SOFTWARE_DSP_PROCESS_CHANNELS, nullptr),
          gains(channels) {
        for (ULONG c = 0; c < channels; ++c) {
            table[c] = buffers[c].data();
            gains[c] = 0.5f + 0.01f * (float)c;
        }
        format.Format.wFormatTag = WAVE_FORMAT_PCM;
        format.Format.nChannels = (USHORT)channels;
        format.Format.nBlockAlign = (USHORT)(4 * channels);
    }
    std::vector<std::vector<float>> buffers;
    std::vector<float*> table;
    std::vector<float> gains;
    WAVEFORMATEXTENSIBLE format = {};
};

// Repeated scaling drives the samples toward zero: flush-to-zero and
// denormals-are-zero (as on the data path) keep every iteration at the
// speed of normal numbers, for both sides alike.
template <class Body>
void AtDispatch(benchmark::State& state, Body body) {
    const unsigned int mxcsr = _mm_getcsr();
    _mm_setcsr(mxcsr | 0x8040);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (auto _ : state) {
        body();
        benchmark::ClobberMemory();
    }
    KeLowerIrql(old);
    _mm_setcsr(mxcsr);
}

void BM_SoftwareVolume(benchmark::State& state) {
    const ULONG frames = (ULONG)state.range(0), channels = (ULONG)state.range(1);
    auto* entity = new (NonPagedPoolNx, kBenchTag) LevelEntity(channels);
    entity->AddRef();
    auto* node = new (NonPagedPoolNx, kBenchTag) CSoftwareVolumeNode(NULL, 1);
    static_cast<IUacUnit*>(node)->AddRef();
    if (!NT_SUCCESS(node->InitFromEntity(static_cast<ILevelControl*>(entity), UAC_CS_SOFTWARE_VOLUME, NULL))) {
        state.SkipWithError("node init failed");
    }
    Chunk chunk(frames, channels);
    IDspNode* dsp = node;
    AtDispatch(state, [&] { dsp->Process(&chunk.format, chunk.table.data(), frames); });
    static_cast<IUacUnit*>(node)->Release();
    entity->Release();
}

void BM_PlainScaleLoop(benchmark::State& state) {
    const ULONG frames = (ULONG)state.range(0), channels = (ULONG)state.range(1);
    Chunk chunk(frames, channels);
    AtDispatch(state, [&] {
        for (ULONG c = 0; c < channels; ++c) {
            float* p = chunk.table[c];
            const float gain = chunk.gains[c];
            for (ULONG i = 0; i < frames; ++i) p[i] *= gain;
        }
    });
}

#define CHUNKS ArgsProduct({{480, 512}, {2, 6, 8}})
BENCHMARK(BM_SoftwareVolume)->CHUNKS;
BENCHMARK(BM_PlainScaleLoop)->CHUNKS;

}  // namespace

// The node runs on the kernel stand-in: one executor for the whole run.
int main(int argc, char** argv) {
    sim::KernelScope scope(sim::ExecutorOptions::FromEnvironment());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    scope.Finish();
    return 0;
}
