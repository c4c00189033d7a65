// The effect nodes from the device to the samples: a simulated 8-channel
// UAC 1.0 speaker whose feature unit carries the vendor switches 0x8B and
// 0x8C, its entities built by the effect chip family's classes over the
// test model, and a stream engine that holds the two effect nodes through
// AddUnit, in the render path's order (the headphone node first, the
// surround node, which folds the block down, last), and runs 16-bit blocks
// through its data path. The switch reaches
// the device and the registry, the samples follow the reference pipeline
// across the cross-fade, and the stored switch and headphone values come
// back after the device is plugged in again.
#include <cmath>

#include "stream/engine/stream_engine.h"
#include "tests/dsp/effect_nodes/effect_node_fixture.h"
#include "tests/topology/uac/effect_unit_fixture.h"

namespace effecttest {
namespace {

constexpr UCHAR kFeatureUnit = 2;
constexpr ULONG kRate = 48000;
constexpr ULONG kFrames = 480;

// IT 1 (USB streaming, 8 channels) -> FU 2 [master mute, volume on 1-8,
// vendor switches 0x8B and 0x8C] -> OT 3 speaker.
simusb::DescriptorSet EightChannelSpeaker() {
    simusb::ConfigBuilder c;
    std::vector<USHORT> controls(9, 0x0002);
    controls[0] = 0x0001;
    c.Configuration()
        .Interface(0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL, 0)
        .Uac1Header({})
        .Uac1InputTerminal(1, 0x0101, 8, 0x063F)
        .Uac1FeatureUnit(kFeatureUnit, 1, 2, controls)
        .Uac1OutputTerminal(3, 0x0301, 2);
    simusb::DescriptorSet set = uactest::BuildTestDevice();
    set.configuration = c.Build();
    return set;
}

class EffectEngine : public CStreamEngine {
public:
    EffectEngine() : CStreamEngine(NULL, 1) {}
    void SetCurrentFormat(const WAVEFORMATEXTENSIBLE& format) { m_CurrentWaveFormat = format; }
    float** Channels() { return m_ppfChannels; }
};

std::u16string UnitName(ULONG id, const char* suffix = "") {
    char name[16];
    std::snprintf(name, sizeof(name), "Unit%02u_%s", (unsigned)id, suffix);
    return std::u16string(name, name + std::strlen(name));
}

class EffectsEndToEndTest : public uactest::EffectUnitTest {
protected:
    simusb::DescriptorSet Descriptors() override { return EightChannelSpeaker(); }
    void ConfigureDevice() override {
        UacTest::ConfigureDevice();
        uac().SetMemory(kFeatureUnit, uactest::EffectVendorBlock(uactest::kSurroundBit | uactest::kHeadphoneBit));
    }
    void TearDown() override {
        StopEngine();
        EffectUnitTest::TearDown();
    }

    // Builds the device's entities and an engine running `format` with the
    // two effect nodes, formatted as a stream start does.
    void Start(const WAVEFORMATEXTENSIBLE& format) {
        ASSERT_EQ(BuildAll(), STATUS_SUCCESS);
        surroundUnit = UnitOfKind(UNIT_KIND_EFFECT);
        ASSERT_NE(surroundUnit, nullptr);
        headphoneUnit = UnitOfKind(UNIT_KIND_EFFECT, surroundUnit->GetId() + 1);
        ASSERT_NE(headphoneUnit, nullptr);
        surround = dynamic_cast<CSurroundEffect*>(surroundUnit);
        headphone = dynamic_cast<CHeadphoneEffect*>(headphoneUnit);
        ASSERT_TRUE(surround != nullptr && headphone != nullptr);
        engine = new (NonPagedPoolNx, STREAM_ENGINE_TAG) EffectEngine();
        engine->AddRef();
        ASSERT_EQ(engine->Init(0), STATUS_SUCCESS);
        ASSERT_EQ(engine->AllocateBuffers(), STATUS_SUCCESS);
        ASSERT_EQ(engine->AddUnit(headphoneUnit), STATUS_SUCCESS);
        ASSERT_EQ(engine->AddUnit(surroundUnit), STATUS_SUCCESS);
        Format(format);
    }
    void Format(const WAVEFORMATEXTENSIBLE& format) {
        current = format;
        engine->SetCurrentFormat(format);
        ASSERT_EQ(static_cast<IDspNode*>(surround)->SetFormat(&format), STATUS_SUCCESS);
        ASSERT_EQ(static_cast<IDspNode*>(headphone)->SetFormat(&format), STATUS_SUCCESS);
        surroundRef = Reference::Surround(format);
        headphoneRef = Reference::Headphone(format, HeadphoneState::LimiterFormat(headphone),
                                            HeadphoneState::HeadphoneFormat(headphone));
        headphoneRef->KeepChannels();
        offset = 0;
    }
    void StopEngine() {
        surroundRef.reset();
        headphoneRef.reset();
        if (engine != nullptr) engine->Release();
        engine = nullptr;
    }

    // One 16-bit block through the engine; what the nodes left in its
    // channels, and what the reference makes of the same samples given
    // each node's set and fade.
    struct Expect {
        bool wet;
        std::optional<bool> fadeTo;
    };
    void Play(Expect surroundExpect, Expect headphoneExpect, const std::string& what) {
        const ULONG channels = current.Format.nChannels;
        Block in = Tones(kFrames, offset);
        offset += kFrames;
        std::vector<int16_t> pcm(kFrames * channels);
        for (ULONG i = 0; i < kFrames; ++i) {
            for (ULONG c = 0; c < channels; ++c) {
                const int16_t s = (int16_t)std::lround(in.data[c][i] * 32767.0f);
                pcm[i * channels + c] = s;
                in.data[c][i] = (float)s / 32768.0f;
            }
        }
        ASSERT_EQ(engine->ProcessData(reinterpret_cast<PUCHAR>(pcm.data()), (ULONG)(pcm.size() * 2)), STATUS_SUCCESS);
        Block dry, wet;
        headphoneRef->Run(in, &dry, &wet);
        const Block afterHeadphone = Compose(dry, wet, channels, headphoneExpect.wet, headphoneExpect.fadeTo,
                                             current.Format.nSamplesPerSec, true);
        surroundRef->Run(afterHeadphone, &dry, &wet);
        const Block expect =
            Compose(dry, wet, channels, surroundExpect.wet, surroundExpect.fadeTo, current.Format.nSamplesPerSec);
        float** out = engine->Channels();
        for (ULONG c = 0; c < channels; ++c)
            for (ULONG i = 0; i < kFrames; ++i)
                ASSERT_EQ(out[c][i], expect.data[c][i]) << what << ": channel " << c << " frame " << i;
    }

    IEffectUnit* Effect(IUacUnit* unit) { return As<IEffectUnit>(unit, IID_IEffectUnit); }

    IUacUnit* surroundUnit = nullptr;
    IUacUnit* headphoneUnit = nullptr;
    CSurroundEffect* surround = nullptr;
    CHeadphoneEffect* headphone = nullptr;
    EffectEngine* engine = nullptr;
    WAVEFORMATEXTENSIBLE current{};
    std::unique_ptr<Reference> surroundRef, headphoneRef;
    ULONG offset = 0;
};

constexpr bool kWet = true, kDry = false;

TEST_F(EffectsEndToEndTest, SurroundSwitchReachesDeviceRegistryAndSamples) {
    Start(Pcm(8, kRate));
    // The start applied both stored switches (off): the first block fades
    // to the dry set.
    Play({kWet, false}, {kWet, false}, "first block");
    Play({kDry, std::nullopt}, {kDry, std::nullopt}, "steady off");
    ClearLog();
    ASSERT_EQ(Effect(surroundUnit)->SetValue(1), STATUS_SUCCESS);
    EXPECT_EQ(Sets(kFeatureUnit, 0x8B00), (std::vector<Bytes>{Bytes{1}}));
    EXPECT_EQ(Stored(UnitName(surroundUnit->GetId())), Bytes{1});
    Play({kWet, true}, {kDry, std::nullopt}, "switching on");
    Play({kWet, std::nullopt}, {kDry, std::nullopt}, "steady on");
}

TEST_F(EffectsEndToEndTest, StoredSwitchLatchesOnTheFirstBlockAfterARestart) {
    Start(Pcm(8, kRate));
    ASSERT_EQ(Effect(surroundUnit)->SetValue(1), STATUS_SUCCESS);
    StopEngine();
    Replug();
    ClearLog();
    Start(Pcm(8, kRate));
    EXPECT_EQ(Sets(kFeatureUnit, 0x8B00), (std::vector<Bytes>{Bytes{1}})) << "the start applies the stored switch";
    Play({kWet, true}, {kWet, false}, "first block fades from dry");
    Play({kWet, std::nullopt}, {kDry, std::nullopt}, "steady");
}

TEST_F(EffectsEndToEndTest, HeadphoneRoomAndModeReachTheEnginePersistAndComeBack) {
    Start(Pcm(8, kRate));
    const ULONG values[2] = {2, 1};
    ASSERT_EQ(Effect(headphoneUnit)->SetValues(0, 2, values), STATUS_SUCCESS);
    WrapperState w = ReadWrapper(HeadphoneState::Wrapper(headphone));
    EXPECT_EQ(w.headphoneRoom, 2);
    EXPECT_EQ(w.headphoneVariant, 1);
    EXPECT_EQ(Stored(UnitName(headphoneUnit->GetId(), "0")), Le32(2));
    EXPECT_EQ(Stored(UnitName(headphoneUnit->GetId(), "1")), Le32(1));
    StopEngine();
    Replug();
    Start(Pcm(8, kRate));
    ULONG back[2] = {};
    EXPECT_EQ(Effect(headphoneUnit)->GetValues(0, 2, back), STATUS_SUCCESS);
    EXPECT_EQ(back[0], 2u);
    EXPECT_EQ(back[1], 1u);
    w = ReadWrapper(HeadphoneState::Wrapper(headphone));
    EXPECT_EQ(w.headphoneRoom, 2);
    EXPECT_EQ(w.headphoneVariant, 1);
    EXPECT_EQ(w.speakerVariant, 1);
}

TEST_F(EffectsEndToEndTest, HeadphoneOnAtHighRateAndInMono) {
    Start(Pcm(8, 192000));
    ASSERT_EQ(Effect(headphoneUnit)->SetValue(1), STATUS_SUCCESS);
    Play({kWet, false}, {kWet, true}, "192 kHz, switching on");
    Play({kDry, std::nullopt}, {kWet, std::nullopt}, "192 kHz, on");
    Format(Pcm(1, 48000));
    Play({kDry, std::nullopt}, {kWet, std::nullopt}, "mono, on");
}

}  // namespace
}  // namespace effecttest
