#include "tests/dsp/effect_nodes/effect_node_fixture.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "portcls/portcls_guids.h"
#include "sim/pool.h"
#include "tests/fakes/dsp/limiter_recorder.h"
#include "common/zvk/audioapp.h"

namespace effecttest {

WrapperState ReadWrapper(CZvkHeadphone* wrapper) {
    // The object's layout: the vtable pointer, the engine, eleven ints.
    struct Layout {
        void* vtable;
        void* engine;
        int f[11];
    } image;
    static_assert(sizeof(Layout) <= sizeof(CZvkHeadphone), "the wrapper's fields");
    memcpy(&image, static_cast<const void*>(wrapper), sizeof(image));
    const CHeadphoneApp* engine = wrapper->Engine();
    return {engine != nullptr, image.f[0], image.f[1], image.f[2], image.f[3], image.f[4], image.f[5], image.f[6],
            image.f[7],        image.f[8], image.f[9], image.f[10], engine ? engine->Fir().TailEnabled() : 0};
}

Bytes Le32(ULONG value) { return {(uint8_t)value, (uint8_t)(value >> 8), (uint8_t)(value >> 16), (uint8_t)(value >> 24)}; }

WAVEFORMATEXTENSIBLE Pcm(ULONG channels, ULONG rate, WORD bits) {
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = channels > 2 ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_PCM;
    f.Format.nChannels = (WORD)channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.nBlockAlign = (WORD)(channels * bits / 8);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    f.Format.wBitsPerSample = bits;
    if (channels > 2) {
        f.Format.cbSize = 22;
        f.Samples.wValidBitsPerSample = bits;
        f.dwChannelMask = (1u << channels) - 1;
        f.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
        f.SubFormat.Data1 = WAVE_FORMAT_PCM;
    }
    return f;
}

WAVEFORMATEXTENSIBLE WithTag(WAVEFORMATEXTENSIBLE format, USHORT tag) {
    if (format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        format.SubFormat.Data1 = tag;
    } else {
        format.Format.wFormatTag = tag;
    }
    return format;
}

Block::Block() {
    for (auto& d : data) d.assign(EFFECT_SET_FRAMES, 0.0f);
    for (size_t c = 0; c < table.size(); ++c) table[c] = data[c].data();
}

Block::Block(const Block& other) : data(other.data), frames(other.frames) {
    for (size_t c = 0; c < table.size(); ++c) table[c] = data[c].data();
}

Block& Block::operator=(const Block& other) {
    data = other.data;
    frames = other.frames;
    for (size_t c = 0; c < table.size(); ++c) table[c] = data[c].data();
    return *this;
}

Block Tones(ULONG frames, ULONG offset) {
    Block b;
    b.frames = frames;
    for (ULONG c = 0; c < EFFECT_SET_CHANNELS; ++c)
        for (ULONG i = 0; i < frames; ++i)
            b.data[c][i] = (float)(0.4 * std::sin(0.01 * (c + 1) * (i + offset) + c));
    return b;
}

Block Silence(ULONG frames) {
    Block b;
    b.frames = frames;
    return b;
}

std::array<std::vector<float>, 2> Virtualize(CSurroundVirtualizer* virtualizer, const Block& in) {
    Block copy = in;
    virtualizer->Process(copy.Channels(), copy.Channels(), (int)copy.frames);
    return {std::vector<float>(copy.data[0].begin(), copy.data[0].begin() + copy.frames),
            std::vector<float>(copy.data[1].begin(), copy.data[1].begin() + copy.frames)};
}

Block Compose(const Block& dry, const Block& wet, ULONG channels, bool wetSet, std::optional<bool> fadeTo,
              ULONG rate, bool everyChannel) {
    const Block& chosen = wetSet ? wet : dry;
    Block out = chosen;
    const LONG L = 2 * (LONG)(rate / 1000);
    auto fadeOut = [L](LONG i) { return 1.0f - (float)i / (float)(L - 1); };
    auto fadeIn = [L](LONG i) { return (float)(i - L) / (float)(L - 1); };
    for (ULONG c = 0; c < channels && (everyChannel || c < 2) && fadeTo.has_value(); ++c) {
        // Towards wet: dry out, then the chosen set in; towards dry: the
        // chosen set out, then dry in and on.
        const Block& first = *fadeTo ? dry : chosen;
        const Block& second = *fadeTo ? chosen : dry;
        for (LONG i = 0; i < (LONG)out.frames; ++i) {
            if (i < L) out.data[c][i] = fadeOut(i) * first.data[c][i];
            else if (i < 2 * L) out.data[c][i] = fadeIn(i) * second.data[c][i];
            else out.data[c][i] = second.data[c][i];
        }
    }
    return out;
}

namespace {
CLimiter* ReferenceLimiter(float makeup, const WAVEFORMATEXTENSIBLE& format) {
    CLimiter* limiter = new (NonPagedPoolNx, MakePoolTag("RefL")) CLimiter();
    EXPECT_EQ(limiter->AllocateBuffers(), 1);
    limiter->SetMode(0);
    limiter->SetMakeupGain(makeup);
    limiter->SetThreshold(1.0f);
    limiter->SetFormat(&format);
    return limiter;
}
}  // namespace

std::unique_ptr<Reference> Reference::Surround(const WAVEFORMATEXTENSIBLE& format) {
    std::unique_ptr<Reference> r(new Reference());
    r->m_Channels = format.Format.nChannels;
    r->m_Floor = true;
    r->m_Dry = ReferenceLimiter(LIMITER_MAKEUP_UNITY, format);
    r->m_Wet = ReferenceLimiter(LIMITER_MAKEUP_SURROUND, format);
    r->m_Virtualizer = new (NonPagedPoolNx, MakePoolTag("RefV")) CSurroundVirtualizer();
    r->m_Virtualizer->Init();
    r->m_Virtualizer->SetFormat((int)format.Format.nSamplesPerSec, (int)format.Format.nChannels - 1);
    return r;
}

std::unique_ptr<Reference> Reference::Headphone(const WAVEFORMATEXTENSIBLE& format,
                                                const WAVEFORMATEXTENSIBLE& limiterFormat,
                                                const WAVEFORMATEX& wrapperFormat) {
    std::unique_ptr<Reference> r(new Reference());
    r->m_Channels = format.Format.nChannels;
    r->m_Dry = ReferenceLimiter(LIMITER_MAKEUP_UNITY, limiterFormat);
    r->m_Wet = ReferenceLimiter(LIMITER_MAKEUP_HEADPHONE, limiterFormat);
    r->m_Wrapper = new (NonPagedPoolNx, MakePoolTag("RefH")) CZvkHeadphone();
    r->m_Wrapper->SetEnable(1);
    r->m_Wrapper->SetSpeakerMode(0);
    r->m_Wrapper->SetHeadphoneAngle(3);
    r->m_Wrapper->SetSpeakerAngle(3);
    r->m_Wrapper->SetCTCAngle(0);
    r->m_Wrapper->SetTailEnable(1);
    r->m_Wrapper->SetFormat(&wrapperFormat);
    return r;
}

Reference::~Reference() {
    for (CLimiter* l : {m_Dry, m_Wet}) {
        l->FreeBuffers();
        delete l;
    }
    delete m_Virtualizer;
    delete m_Wrapper;
}

void Reference::Run(const Block& in, Block* dry, Block* wet) {
    Block source = in;
    if (m_Floor)
        for (ULONG c = 0; c < m_Channels; ++c)
            for (ULONG i = 0; i < in.frames; ++i) source.data[c][i] += DSP_FLOOR_VALUE;
    *dry = source;
    *wet = source;
    if (m_Fold) MixChannels(dry->Channels(), m_Channels, 2, in.frames, TRUE);
    m_Dry->Process(dry->Channels(), (int)in.frames);
    if (m_Virtualizer) m_Virtualizer->Process(wet->Channels(), wet->Channels(), (int)in.frames);
    if (m_Wrapper) m_Wrapper->Process(wet->Channels(), (int)in.frames);
    // The wet set is the rendered pair; its other channels are silent.
    for (ULONG c = 2; c < m_Channels; ++c) std::fill(wet->data[c].begin(), wet->data[c].begin() + in.frames, 0.0f);
    m_Wet->Process(wet->Channels(), (int)in.frames);
}

void Reference::Flush() {
    if (m_Virtualizer) m_Virtualizer->Clear();
    m_Wet->Reset();
    m_Dry->Reset();
}

void EffectNodeTest::SetUp() {
    UacTest::SetUp();
    entity = uactest::FakeEntity::Create(2);
    entity->values[{UAC_CS_VENDOR_SWITCH_B, 0}] = 0;
    entity->values[{UAC_CS_VENDOR_SWITCH_C, 0}] = 0;
    limiterrecorder::ClearCalls();
}

void EffectNodeTest::TearDown() {
    for (IUacUnit* node : nodes) node->Release();
    nodes.clear();
    if (entity) entity->Release();
    sim::PoolClearFailures();
    UacTest::TearDown();
}

void EffectNodeTest::Drop(IUacUnit* node) {
    for (auto it = nodes.begin(); it != nodes.end(); ++it) {
        if (*it == node) {
            node->Release();
            nodes.erase(it);
            return;
        }
    }
}

NTSTATUS EffectNodeTest::ProcessAtDispatch(IDspNode* node, const WAVEFORMATEXTENSIBLE& format, PVOID data,
                                           ULONG frames) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS status = node->Process(&format, data, frames);
    KeLowerIrql(old);
    return status;
}

}  // namespace effecttest
