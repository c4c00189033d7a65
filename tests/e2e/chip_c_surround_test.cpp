// Chip family C's surround switch at the device, through the real driver:
// an 8-channel client plays through the wave pin of the stereo speaker
// whose feature unit carries the vendor effect controls; half-way a
// DEV_SPECIFIC request on "GlobalTopo" switches surround on. The device
// takes the vendor SET_CUR, the switch is stored as "UnitNN_" = 1, and
// the speaker's samples move from the dry fold-down to the virtualizer's
// result over the 2 ms out / 2 ms in cross-fade. The expected samples come
// from the building blocks composed here in the engine's order: the
// headphone node's dry path (its switch stays off; the surround node after
// it makes the path's one fold-down), the surround node's two paths, the
// engine's 16-bit conversions and the stereo render stream's own limiter.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <sstream>

#include "dsp/effect_nodes.h"
#include "dsp/limiter.h"
#include "dsp/mix_channels.h"
#include "dsp/surround_virtualizer.h"
#include "primitives/convert/entry_table_a.h"
#include "sim/registry.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/primitives/support/mxcsr.h"
#include "tools/host/host_controls.h"
#include "tools/host/host_stream.h"

namespace e2etest {
namespace {

constexpr UCHAR kFeatureUnit = 2;
constexpr ULONG kChannels = 8;
constexpr ULONG kRate = 48000;
// Frames of one transfer (5 packets of 1 ms): the engine's blocks, and
// where a switch change can start its fade.
constexpr ULONG kTransferFrames = 240;
// The transfers sent ahead of the pin's position 0 carry silence.
constexpr ULONG kLeadFrames = 3 * kTransferFrames;
constexpr ULONG kFadeFrames = 2 * (kRate / 1000);
// The stereo render stream's limiter delay.
constexpr ULONG kStreamDelay = 256;

// Vendor control block (length 21, control size 2), entry 0 with the bits
// of 0x8B and 0x8C.
std::vector<uint8_t> VendorBlock() {
    std::vector<uint8_t> block(21, 0x5A);
    block[16] = 21;
    block[17] = 0;
    block[18] = 2;
    block[19] = 0x00;
    block[20] = 0x0C;
    return block;
}

// Eight distinct tones at about -20 dBFS: loud enough to pass every
// conversion, quiet enough that no limiter reduces its gain.
std::vector<int16_t> Tones(ULONG frames) {
    std::vector<int16_t> pcm(frames * kChannels);
    for (ULONG n = 0; n < frames; ++n)
        for (ULONG c = 0; c < kChannels; ++c)
            pcm[n * kChannels + c] = (int16_t)std::lround(3000.0 * std::sin(0.013 * (c + 1) * n + c));
    return pcm;
}

// The registry's one-byte "UnitNN_" values (the effect switches) with
// their bytes, under every key.
std::vector<std::pair<std::u16string, std::vector<uint8_t>>> StoredSwitches(const std::u16string& key) {
    std::vector<std::pair<std::u16string, std::vector<uint8_t>>> found;
    for (const std::u16string& name : sim::RegistryValueNames(key)) {
        if (name.size() == 7 && name.compare(0, 4, u"Unit") == 0 && name[6] == u'_') {
            auto value = sim::RegistryGetValue(key, name);
            if (value) found.emplace_back(name, value->data);
        }
    }
    for (const std::u16string& sub : sim::RegistrySubkeys(key)) {
        auto below = StoredSwitches(key + u"\\" + sub);
        found.insert(found.end(), below.begin(), below.end());
    }
    return found;
}

// The driver's path from the client's samples to the speaker's, built from
// its blocks in the engine's transfer-sized blocks, with the surround
// switch latched on at block `switchBlock`. The family's engine holds the
// headphone node ahead of the surround node.
class ExpectedPath {
public:
    explicit ExpectedPath(ULONG switchBlock) : m_SwitchBlock(switchBlock) {
        WAVEFORMATEXTENSIBLE f{};
        f.Format.wFormatTag = 3;
        f.Format.nChannels = kChannels;
        f.Format.nSamplesPerSec = kRate;
        f.Format.wBitsPerSample = 32;
        f.Format.nBlockAlign = kChannels * 4;
        f.Format.nAvgBytesPerSec = kRate * kChannels * 4;
        m_SurroundDry = Limiter(LIMITER_MAKEUP_UNITY, f);
        m_SurroundWet = Limiter(LIMITER_MAKEUP_SURROUND, f);
        m_HeadphoneDry = Limiter(LIMITER_MAKEUP_UNITY, f);
        m_Stream = Limiter(1.0f, f);
        m_Virtualizer = new (NonPagedPoolNx, MakePoolTag("RefV")) CSurroundVirtualizer();
        m_Virtualizer->Init();
        m_Virtualizer->SetFormat((int)kRate, (int)kChannels - 1);
    }
    ~ExpectedPath() {
        for (CLimiter* l : {m_SurroundDry, m_SurroundWet, m_HeadphoneDry, m_Stream}) {
            l->FreeBuffers();
            delete l;
        }
        delete m_Virtualizer;
    }

    // The speaker's stereo frames for the engine's input (interleaved
    // 16-bit, whole blocks).
    std::vector<int16_t> Run(const std::vector<int16_t>& input) {
        sptest::MxcsrScope mxcsr(sptest::kMxcsrDataPath);  // as the data path runs
        std::vector<int16_t> out;
        const ULONG frames = (ULONG)(input.size() / kChannels);
        for (ULONG b = 0; b * kTransferFrames < frames; ++b) {
            std::vector<int16_t> pcm(input.begin() + b * kTransferFrames * kChannels,
                                     input.begin() + (b + 1) * kTransferFrames * kChannels);
            Block(b, pcm.data());
            for (ULONG n = 0; n < kTransferFrames; ++n) {
                out.push_back(pcm[n * kChannels]);
                out.push_back(pcm[n * kChannels + 1]);
            }
        }
        return out;
    }

private:
    using Set = std::vector<std::vector<float>>;

    static CLimiter* Limiter(float makeup, const WAVEFORMATEXTENSIBLE& format) {
        CLimiter* l = new (NonPagedPoolNx, MakePoolTag("RefL")) CLimiter();
        EXPECT_EQ(l->AllocateBuffers(), 1);
        l->SetMode(0);
        l->SetMakeupGain(makeup);
        l->SetThreshold(1.0f);
        l->SetFormat(&format);
        return l;
    }

    static std::vector<float*> Pointers(Set& set) {
        std::vector<float*> p;
        for (auto& ch : set) p.push_back(ch.data());
        return p;
    }

    static Set ToFloat(const int16_t* pcm) {
        std::vector<float> all(kTransferFrames * kChannels);
        spI16ToF32Scaled(pcm, all.data(), (int)all.size(), 15);
        Set set(kChannels, std::vector<float>(kTransferFrames));
        for (ULONG n = 0; n < kTransferFrames; ++n)
            for (ULONG c = 0; c < kChannels; ++c) set[c][n] = all[n * kChannels + c];
        return set;
    }

    static void ToPcm(const Set& set, int16_t* pcm) {
        std::vector<float> all(kTransferFrames * kChannels);
        for (ULONG n = 0; n < kTransferFrames; ++n)
            for (ULONG c = 0; c < kChannels; ++c) all[n * kChannels + c] = set[c][n];
        spF32ToI16Scaled(all.data(), pcm, (int)all.size(), SP_RND_ZERO, -15);
    }

    // A node's dry path: the fold-down to the front pair when the node is
    // the path's last effect node, limited.
    static Set Dry(Set in, CLimiter* limiter, bool fold) {
        auto p = Pointers(in);
        if (fold) MixChannels(p.data(), kChannels, 2, kTransferFrames, TRUE);
        limiter->Process(p.data(), (int)kTransferFrames);
        return in;
    }

    void Block(ULONG b, int16_t* pcm) {
        Set in = Dry(ToFloat(pcm), m_HeadphoneDry, false);
        for (auto& ch : in)
            for (float& s : ch) s += DSP_FLOOR_VALUE;
        const Set dry = Dry(in, m_SurroundDry, true);
        Set wet = in;
        auto w = Pointers(wet);
        m_Virtualizer->Process(w.data(), w.data(), (int)kTransferFrames);
        // The rendered pair only: the other channels are silent.
        for (ULONG c = 2; c < kChannels; ++c) std::fill(wet[c].begin(), wet[c].end(), 0.0f);
        m_SurroundWet->Process(w.data(), (int)kTransferFrames);
        Set out = b >= m_SwitchBlock ? wet : dry;
        if (b == m_SwitchBlock) {
            // Dry out over L frames, the virtualizer's result in over L.
            const float span = (float)(kFadeFrames - 1);
            for (ULONG c = 0; c < 2; ++c)
                for (ULONG i = 0; i < 2 * kFadeFrames; ++i)
                    out[c][i] = i < kFadeFrames ? (1.0f - (float)i / span) * dry[c][i]
                                                : (float)(i - kFadeFrames) / span * wet[c][i];
        }
        ToPcm(out, pcm);
        Set stream = ToFloat(pcm);
        auto s = Pointers(stream);
        m_Stream->Process(s.data(), (int)kTransferFrames);
        ToPcm(stream, pcm);
    }

    ULONG m_SwitchBlock;
    CLimiter* m_SurroundDry;
    CLimiter* m_SurroundWet;
    CLimiter* m_HeadphoneDry;
    CLimiter* m_Stream;
    CSurroundVirtualizer* m_Virtualizer;
};

class ChipCSurroundTest : public E2eTest {
protected:
    // Plugs the chip-C speaker with its vendor control block and starts
    // it, its registry kept in stateDir when one is given; the 8-channel
    // format its render filter offers.
    WAVEFORMATEXTENSIBLE StartSpeaker(const std::string& stateDir = "") {
        // The old session ends first (see E2eTest::StartSession).
        session_.reset();
        session_ = std::make_unique<host::HostSession>();
        std::string error;
        if (!stateDir.empty()) {
            EXPECT_TRUE(session_->UseStateDirectory(stateDir, &error)) << error;
        }
        host::DeviceChoice choice;
        choice.descriptorFile = E2E_SOURCE_DIR "/tests/fixtures/uac1/chip_c_speaker.txt";
        EXPECT_TRUE(session_->PlugDevice(choice, &error)) << error;
        {
            auto lock = Session().Device().lock();
            Session().Device().model().SetMemory(kFeatureUnit, VendorBlock());
        }
        EXPECT_EQ(Session().Start(), STATUS_SUCCESS);
        nodes = host::FindEffectNodes(Session());
        EXPECT_TRUE(nodes.hasSurround);
        const auto offered = host::OfferedFormats(Session(), Session().FindWaveFilter(false));
        EXPECT_EQ(offered.size(), 1u);
        WAVEFORMATEXTENSIBLE format = offered.empty() ? WAVEFORMATEXTENSIBLE{} : offered[0];
        EXPECT_EQ(format.Format.nChannels, kChannels);
        EXPECT_EQ(format.Format.nSamplesPerSec, kRate);
        EXPECT_EQ(format.Format.wBitsPerSample, 16);
        return format;
    }

    // Vendor SET_CURs of 0x8B on the unit carrying `value`.
    size_t VendorSets(uint8_t value) {
        size_t sets = 0;
        for (const simusb::ControlLogEntry& e : Session().Device().RequestLog())
            sets += e.setup.bmRequestType == 0x41 && e.setup.wValue == 0x8B00 &&
                    (e.setup.wIndex >> 8) == kFeatureUnit && e.data == std::vector<uint8_t>{value};
        return sets;
    }

    host::EffectNodes nodes;
};

// The engine's input for a played signal: the lead-in's silence first.
std::vector<int16_t> EngineInput(const std::vector<int16_t>& pcm) {
    std::vector<int16_t> input(kLeadFrames * kChannels, 0);
    input.insert(input.end(), pcm.begin(), pcm.end());
    return input;
}

// The speaker's stereo frames, as many as the engine input has.
std::vector<int16_t> SpeakerFrames(const std::vector<uint8_t>& received, const std::vector<int16_t>& input) {
    const size_t frames = std::min(received.size() / 4, input.size() / kChannels);
    std::vector<int16_t> speaker(frames * 2);
    memcpy(speaker.data(), received.data(), speaker.size() * 2);
    return speaker;
}

// The switch stored across a restart: the start sends it to the device and
// the first block latches it, so the whole played signal comes out through
// the virtualizer (the first block's fade from dry lies in the lead-in's
// silence).
TEST_F(ChipCSurroundTest, StoredSurroundSwitchRendersFromTheFirstBlockAfterARestart) {
    const std::string state = TestDirectory("state");
    StartSpeaker(state);
    ASSERT_EQ(host::SetEffectSwitch(Session(), nodes.surroundNode, true), STATUS_SUCCESS);
    const WAVEFORMATEXTENSIBLE format = StartSpeaker(state);
    EXPECT_EQ(VendorSets(1), 1u) << "the start applies the stored switch";
    bool on = false;
    EXPECT_EQ(host::GetEffectSwitch(Session(), nodes.surroundNode, &on), STATUS_SUCCESS);
    EXPECT_TRUE(on);

    const std::vector<int16_t> pcm = Tones(20 * kTransferFrames);
    std::vector<uint8_t> bytes(pcm.size() * 2);
    memcpy(bytes.data(), pcm.data(), bytes.size());
    host::StreamRun run = host::Play(Session(), format, bytes, nullptr);
    ASSERT_EQ(run.status, STATUS_SUCCESS) << run.error;
    const std::vector<int16_t> input = EngineInput(pcm);
    const std::vector<int16_t> speaker = SpeakerFrames(run.bytes, input);
    ASSERT_GT(speaker.size() / 2, (size_t)20 * kTransferFrames);
    const std::vector<int16_t> expected = ExpectedPath(0).Run(input);
    size_t m = 0;
    while (m < speaker.size() && speaker[m] == expected[m]) ++m;
    EXPECT_EQ(m, speaker.size()) << "speaker frame " << m / 2 << " channel " << m % 2;
}

TEST_F(ChipCSurroundTest, SurroundSwitchedOnWhilePlayingReachesDeviceRegistryAndSamples) {
    const WAVEFORMATEXTENSIBLE format = StartSpeaker();
    const ULONG played = 50 * kTransferFrames;  // 250 ms
    const std::vector<int16_t> pcm = Tones(played);
    std::vector<uint8_t> bytes(pcm.size() * 2);
    memcpy(bytes.data(), pcm.data(), bytes.size());
    host::BytesSource source(bytes);
    std::vector<uint8_t> received;
    const auto before = StoredSwitches(u"\\Registry\\Machine");
    Session().Device().ClearRequestLog();
    NTSTATUS switched = STATUS_PENDING;
    host::StreamRun run = host::Play(
        Session(), format, source,
        [&](const uint8_t* data, size_t n) { received.insert(received.end(), data, data + n); },
        [&](double done, double) {
            if (switched == STATUS_PENDING && done >= 0.12)
                switched = host::SetEffectSwitch(Session(), nodes.surroundNode, true);
        });
    ASSERT_EQ(run.status, STATUS_SUCCESS) << run.error;
    ASSERT_EQ(switched, STATUS_SUCCESS);

    // The vendor SET_CUR of 0x8B on the unit, once, with 1.
    EXPECT_EQ(VendorSets(1), 1u);
    // The switch stored: one "UnitNN_" value now holds 1, none did before.
    for (const auto& [name, data] : before) EXPECT_NE(data, std::vector<uint8_t>{1});
    size_t storedOn = 0;
    for (const auto& [name, data] : StoredSwitches(u"\\Registry\\Machine")) storedOn += data == std::vector<uint8_t>{1};
    EXPECT_EQ(storedOn, 1u);

    const std::vector<int16_t> input = EngineInput(pcm);
    const std::vector<int16_t> speaker = SpeakerFrames(received, input);
    const size_t compared = speaker.size() / 2;
    ASSERT_GT(compared, (size_t)played);

    // Before the switch the speaker has the all-dry path; the fade starts
    // at the first block after the request, whose first frame still
    // equals the dry path.
    const std::vector<int16_t> allDry = ExpectedPath(~0u).Run(input);
    size_t differs = 0;
    while (differs < compared * 2 && speaker[differs] == allDry[differs]) ++differs;
    ASSERT_LT(differs, compared * 2) << "the speaker never left the dry path";
    // The stream's limiter delays what the nodes made by 256 frames.
    const ULONG firstDiff = (ULONG)(differs / 2);
    ASSERT_GT(firstDiff, kStreamDelay);
    const ULONG block = (firstDiff - kStreamDelay) / kTransferFrames;
    ASSERT_GT(block, 0u);
    bool matched = false;
    std::ostringstream mismatches;
    for (ULONG candidate : {block, block - 1}) {
        const std::vector<int16_t> expected = ExpectedPath(candidate).Run(input);
        size_t m = 0;
        while (m < speaker.size() && speaker[m] == expected[m]) ++m;
        if (m < speaker.size())
            mismatches << "\nfade from engine frame " << candidate * kTransferFrames << ": speaker frame " << m / 2
                       << " channel " << m % 2 << " is " << speaker[m] << ", expected " << expected[m];
        if (std::equal(speaker.begin(), speaker.end(), expected.begin())) {
            matched = true;
            // The fade lies inside the played signal, and after it the
            // speaker carries the virtualizer's result, not the fold-down.
            EXPECT_GE(candidate * kTransferFrames, kLeadFrames);
            const size_t after = 2 * (candidate * kTransferFrames + kStreamDelay + 2 * kFadeFrames);
            EXPECT_FALSE(std::equal(speaker.begin() + after, speaker.end(), allDry.begin() + after));
        }
    }
    EXPECT_TRUE(matched) << "no fade start at block " << block << " or the one before matches the speaker"
                         << mismatches.str();
}

}  // namespace
}  // namespace e2etest
