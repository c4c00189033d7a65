// The remapped family end to end on the reference layout
// (tests/fixtures/uac1/remap_reference.txt): an output-type change to
// S/PDIF through a raw property request on "GlobalTopo" writes the
// codec's registers and re-registers the render filter with AC-3 and
// 96 kHz formats; an AC-3 stream opens alternate setting 2 and writes the
// rate and non-audio bits; on the polling product a plugged jack mutes
// the speaker after 30 samples; a device with the stereo mix as its only
// recording input starts.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "ks/ks_guids.h"
#include "ks/ks_types.h"
#include "sim/debug.h"
#include "sim/ioctl_harness.h"
#include "sim/registry.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/fakes/stream/formats.h"
#include "tools/host/host_controls.h"
#include "tools/host/host_stream.h"
#include "topology/topo_guids.h"

namespace e2etest {
namespace {

const char* const kReference = E2E_SOURCE_DIR "/tests/fixtures/uac1/remap_reference.txt";
// The switches' key of the one device the session plugs.
const char16_t* const kSettingsKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
    u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0001\\Settings";

struct RegisterWrite {
    ULONG index;
    USHORT value;
    bool operator==(const RegisterWrite& o) const { return index == o.index && value == o.value; }
};
std::ostream& operator<<(std::ostream& out, const RegisterWrite& w) {
    return out << "{reg " << w.index << " = 0x" << std::hex << w.value << std::dec << "}";
}

class RemapE2eTest : public E2eTest {
protected:
    // The reference under these ids; chipId answers the identification;
    // switches are stored in the device's "Settings" key before the start.
    NTSTATUS StartRemap(USHORT vendor, USHORT product, bool chipId, const std::vector<simusb::Bytes>& jack = {},
                        const std::vector<std::pair<std::u16string, ULONG>>& switches = {}) {
        // The old session goes first: its end resets the stand-in's global
        // state (front-end hooks, registry file), which the new one sets up.
        session_.reset();
        session_ = std::make_unique<host::HostSession>();
        host::DeviceChoice choice;
        choice.descriptorFile = kReference;
        std::string error;
        EXPECT_TRUE(session_->PlugDevice(choice, &error)) << error;
        auto& d = Session().Device();
        {
            // The ids of the device descriptor (bytes 8 to 11).
            auto lock = d.lock();
            auto& device = const_cast<simusb::DescriptorSet&>(d.descriptors()).device;
            device[8] = (uint8_t)vendor;
            device[9] = (uint8_t)(vendor >> 8);
            device[10] = (uint8_t)product;
            device[11] = (uint8_t)(product >> 8);
        }
        d.SetVendorAnswer(0xC3, 0x81, 0, 9, {(uint8_t)(chipId ? 0x9F : 0)});
        d.SetVendorAnswer(0xC3, 0x81, 0, 8, {(uint8_t)(chipId ? 0x03 : 0)});
        if (!jack.empty()) d.ScriptHidInputReports(0x0100, jack);
        for (const auto& [name, value] : switches) {
            const std::vector<uint8_t> bytes = {(uint8_t)value, (uint8_t)(value >> 8), (uint8_t)(value >> 16),
                                                (uint8_t)(value >> 24)};
            EXPECT_EQ(sim::RegistrySetValue(kSettingsKey, name, REG_BINARY, bytes), STATUS_SUCCESS);
        }
        return session_->Start();
    }

    std::vector<RegisterWrite> RegisterWritesFrom(size_t first) {
        std::vector<RegisterWrite> out;
        const auto reports = Session().Device().HidSetReports();
        for (size_t i = first; i < reports.size(); i++)
            if (reports[i].size() == 4) out.push_back({reports[i][3], (USHORT)(reports[i][1] | reports[i][2] << 8)});
        return out;
    }

    // The topology node that selects the output type.
    ULONG OutputTypeNode() {
        const PCFILTER_DESCRIPTOR* topology = Session().TopologyDescriptor();
        for (ULONG i = 0; topology != NULL && i < topology->NodeCount; i++)
            if (topology->Nodes[i].Name != NULL && *topology->Nodes[i].Name == NODENAME_OUTPUT_TYPE) return i;
        return KSFILTER_NODE;
    }

    // A raw DEV_SPECIFIC SET on the node with `bytes` of value.
    NTSTATUS SetNodeRaw(ULONG node, const void* value, ULONG bytes) {
        KSNODEPROPERTY_AUDIO_DEV_SPECIFIC request = {};
        request.NodeProperty.Property.Set = KSPROPSETID_Audio;
        request.NodeProperty.Property.Id = KSPROPERTY_AUDIO_DEV_SPECIFIC;
        request.NodeProperty.Property.Flags = KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY;
        request.NodeProperty.NodeId = node;
        request.Length = bytes;
        sim::UserProcess client;
        sim::UserHandle filter(client);
        NTSTATUS status = filter.OpenDevice(Session().Fdo(), u"\\GlobalTopo");
        if (!NT_SUCCESS(status)) return status;
        std::vector<uint8_t> buffer((const uint8_t*)value, (const uint8_t*)value + bytes);
        sim::IoctlResult r = filter.DeviceIoControl(IOCTL_KS_PROPERTY, &request, sizeof(request),
                                                    buffer.empty() ? nullptr : buffer.data(), bytes);
        filter.Close();
        return r.status;
    }

    // KSPROPERTY_AUDIO_VOLUMELEVEL of one channel of a node, GET or SET.
    NTSTATUS Level(ULONG node, ULONG channel, ULONG verb, LONG* level) {
        KSNODEPROPERTY_AUDIO_CHANNEL request = {};
        request.NodeProperty.Property.Set = KSPROPSETID_Audio;
        request.NodeProperty.Property.Id = KSPROPERTY_AUDIO_VOLUMELEVEL;
        request.NodeProperty.Property.Flags = verb | KSPROPERTY_TYPE_TOPOLOGY;
        request.NodeProperty.NodeId = node;
        request.Channel = channel;
        sim::UserProcess client;
        sim::UserHandle filter(client);
        NTSTATUS status = filter.OpenDevice(Session().Fdo(), u"\\GlobalTopo");
        if (!NT_SUCCESS(status)) return status;
        sim::IoctlResult r = filter.DeviceIoControl(IOCTL_KS_PROPERTY, &request, sizeof(request), level, sizeof(*level));
        filter.Close();
        return r.status;
    }

    bool HasRenderFilter(const std::u16string& prefix) {
        for (const auto& name : Filters())
            if (name.rfind(prefix, 0) == 0 && name.find(u"Out") != std::u16string::npos) return true;
        return false;
    }
};

USHORT Tag(const WAVEFORMATEXTENSIBLE& f) {
    return f.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? (USHORT)f.SubFormat.Data1 : f.Format.wFormatTag;
}

// AC-3 over S/PDIF asked for by its plain tag at 48 kHz; only the data
// format's header carries the subformat of a plain tag.
WAVEFORMATEXTENSIBLE PlainAc3At48k() {
    WAVEFORMATEXTENSIBLE plain = {};
    plain.Format.wFormatTag = 0x0092;
    plain.Format.nChannels = 2;
    plain.Format.nSamplesPerSec = 48000;
    plain.Format.nAvgBytesPerSec = 192000;
    plain.Format.nBlockAlign = 4;
    plain.Format.wBitsPerSample = 16;
    plain.SubFormat = {0x00000092, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    return plain;
}

TEST_F(RemapE2eTest, SpdifThroughAPropertyRequestRebuildsTheRenderFilter) {
    ASSERT_EQ(StartRemap(0x1209, 0x7A21, false), STATUS_SUCCESS);
    ASSERT_TRUE(HasRenderFilter(u"SPK"));
    const ULONG node = OutputTypeNode();
    ASSERT_NE(node, KSFILTER_NODE);
    const size_t before = Session().Device().HidSetReports().size();
    const ULONG spdif = ENDPOINT_SPDIF;
    ASSERT_EQ(SetNodeRaw(node, &spdif, sizeof(spdif)), STATUS_SUCCESS);
    // Registers 2, 1 and 0 of the S/PDIF type over their start values.
    EXPECT_EQ(RegisterWritesFrom(before), (std::vector<RegisterWrite>{{2, 0xE7F8}, {1, 0x3000}, {0, 0xA004}}));
    EXPECT_TRUE(HasRenderFilter(u"SPDIF"));
    EXPECT_FALSE(HasRenderFilter(u"SPK"));

    const auto offered = host::OfferedFormats(Session(), Session().FindWaveFilter(false));
    std::vector<std::pair<USHORT, ULONG>> extra;
    for (const auto& f : offered)
        if (Tag(f) == 0x0092 || f.Format.nSamplesPerSec == 96000) extra.push_back({Tag(f), f.Format.nSamplesPerSec});
    // The descriptor's WMA Pro at 96 kHz stays; its AC-3 at 96 kHz was
    // removed before AC-3 at 44.1, 48 and 96 kHz and 96 kHz PCM were added.
    EXPECT_EQ(extra, (std::vector<std::pair<USHORT, ULONG>>{
                         {0x164, 96000}, {0x92, 44100}, {0x92, 48000}, {0x92, 96000}, {1, 96000}}));

    // An AC-3 stream asked for by the plain tag at 48 kHz: alternate
    // setting 2, then the rate code and the non-audio bit in register 0.
    const WAVEFORMATEXTENSIBLE plain = PlainAc3At48k();
    const WAVEFORMATEXTENSIBLE* ac3 = &plain;
    Session().Device().ClearRequestLog();
    const size_t beforeOpen = Session().Device().HidSetReports().size();
    std::vector<uint8_t> burst(4 * 4800, 0x5A);
    host::StreamRun run = host::Play(Session(), *ac3, burst, nullptr);
    ASSERT_FALSE(run.formatRefused) << run.error << " " << host::FormatText(*ac3);
    EXPECT_EQ(run.status, STATUS_SUCCESS) << run.error;
    bool alternate2 = false;
    for (const auto& e : Session().Device().RequestLog())
        if (e.setup.bmRequestType == 0x01 && e.setup.bRequest == 0x0B && e.setup.wIndex == 1 && e.setup.wValue == 2)
            alternate2 = true;
    EXPECT_TRUE(alternate2);
    EXPECT_EQ(RegisterWritesFrom(beforeOpen), (std::vector<RegisterWrite>{{0, 0xA004}, {0, 0xA006}}));
}

// After an AC-3 stream on S/PDIF, a power-down and return: at D0 the codec
// gets every register back as the host last wrote it (S/PDIF selected,
// 48 kHz, non-audio), and the S/PDIF filter plays again: a PCM stream at
// 44.1 kHz rewrites the rate and clears the non-audio bit at its open and
// reaches the device exactly as the same stream did before the power-down,
// both times scaled by the gains of the volume node's levels.
TEST_F(RemapE2eTest, PowerCycleAfterAnSpdifStreamRestoresTheCodecAndPlaysAgain) {
    ASSERT_EQ(StartRemap(0x1209, 0x7A21, false), STATUS_SUCCESS);
    const ULONG node = OutputTypeNode();
    ASSERT_NE(node, KSFILTER_NODE);
    const ULONG spdif = ENDPOINT_SPDIF;
    ASSERT_EQ(SetNodeRaw(node, &spdif, sizeof(spdif)), STATUS_SUCCESS);
    // On S/PDIF the volume node scales the stream itself: left at -6 dB,
    // right at -12 dB (as the node reads them back).
    const host::RenderControls controls = host::FindRenderControls(Session());
    ASSERT_TRUE(controls.hasVolume);
    LONG levels[2] = {-6 * 65536, -12 * 65536};
    for (ULONG channel = 0; channel < 2; ++channel) {
        ASSERT_EQ(Level(controls.volumeNode, channel, KSPROPERTY_TYPE_SET, &levels[channel]), STATUS_SUCCESS);
        ASSERT_EQ(Level(controls.volumeNode, channel, KSPROPERTY_TYPE_GET, &levels[channel]), STATUS_SUCCESS);
        EXPECT_NEAR(levels[channel], (channel == 0 ? -6 : -12) * 65536, 65536 / 2) << channel;
    }
    const WAVEFORMATEXTENSIBLE pcm = streamfakes::PcmFormat(2, 44100, 16);
    // Samples up from 1 to 32767 and down again: no step a limiter acts on.
    std::vector<uint8_t> ramp(4 * 44100);
    for (size_t i = 0; i < ramp.size() / 2; ++i) {
        const size_t t = i % 65534;
        const uint16_t v = (uint16_t)(t < 32767 ? t + 1 : 65534 - t);
        ramp[2 * i] = (uint8_t)v;
        ramp[2 * i + 1] = (uint8_t)(v >> 8);
    }
    // What the device must receive: each channel's samples times the gain
    // of its level, within two steps (the conversions to float and back
    // round on their own) and 0.005 dB (the gain's own precision).
    const auto expectScaled = [&](const host::StreamRun& run) {
        const double gains[2] = {std::pow(10.0, levels[0] / 65536.0 / 20.0), std::pow(10.0, levels[1] / 65536.0 / 20.0)};
        const size_t lead = (size_t)run.leadFrames * 4;
        ASSERT_GE(run.bytes.size(), lead + ramp.size());
        size_t wrong = 0, first = SIZE_MAX;
        // The last frame arrives as silence (both runs alike): not compared.
        for (size_t i = 0; i + 2 < ramp.size() / 2; ++i) {
            const int16_t played = (int16_t)(ramp[2 * i] | ramp[2 * i + 1] << 8);
            const int16_t got = (int16_t)(run.bytes[lead + 2 * i] | run.bytes[lead + 2 * i + 1] << 8);
            const double expected = played * gains[i % 2];
            if (std::abs(got - expected) > 2.0 + std::abs(expected) * 0.0005 && wrong++ == 0) first = i;
        }
        EXPECT_EQ(wrong, 0u) << "first at sample " << first;
    };
    const host::StreamRun reference = host::Play(Session(), pcm, ramp, nullptr);
    ASSERT_EQ(reference.status, STATUS_SUCCESS) << reference.error;
    ASSERT_TRUE(std::any_of(reference.bytes.begin(), reference.bytes.end(), [](uint8_t b) { return b != 0; }));
    expectScaled(reference);
    const std::vector<uint8_t> burst(4 * 4800, 0x5A);
    host::StreamRun ac3 = host::Play(Session(), PlainAc3At48k(), burst, nullptr);
    ASSERT_EQ(ac3.status, STATUS_SUCCESS) << ac3.error;

    auto& pnp = Session().Port().harness();
    ASSERT_EQ(pnp.SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    const size_t atD0 = Session().Device().HidSetReports().size();
    ASSERT_EQ(pnp.SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    // The chip's start-up with every shadow, then the output terminal's
    // S/PDIF registers again: nothing but the values of before.
    const std::vector<RegisterWrite> replay = {{5, 0x0000}, {5, 0x3000}, {0, 0xA006}, {1, 0x3000},
                                               {2, 0xE7F8}, {3, 0x143F}, {4, 0x0000}};
    const std::vector<RegisterWrite> writes = RegisterWritesFrom(atD0);
    ASSERT_GE(writes.size(), replay.size());
    EXPECT_EQ(std::vector<RegisterWrite>(writes.begin(), writes.begin() + replay.size()), replay);
    for (size_t i = replay.size(); i < writes.size(); ++i)
        EXPECT_TRUE(writes[i] == (RegisterWrite{2, 0xE7F8}) || writes[i] == (RegisterWrite{1, 0x3000}) ||
                    writes[i] == (RegisterWrite{0, 0xA006}))
            << writes[i];
    EXPECT_TRUE(HasRenderFilter(u"SPDIF"));

    const size_t beforeOpen = Session().Device().HidSetReports().size();
    const host::StreamRun run = host::Play(Session(), pcm, ramp, nullptr);
    ASSERT_EQ(run.status, STATUS_SUCCESS) << run.error;
    EXPECT_EQ(RegisterWritesFrom(beforeOpen), (std::vector<RegisterWrite>{{0, 0x8006}, {0, 0x8004}}));
    EXPECT_EQ(run.leadFrames, reference.leadFrames);
    EXPECT_EQ(run.signalFrames, reference.signalFrames);
    EXPECT_TRUE(run.bytes == reference.bytes) << "the device received other bytes than before the power-down";
    expectScaled(run);
}

// Each type's lists, whatever came before: speakers neither AC-3 nor
// 96 kHz PCM (the descriptor's own AC-3 included), headphones 96 kHz PCM,
// S/PDIF the AC-3 rates and 96 kHz PCM once each.
TEST_F(RemapE2eTest, OutputTypesRebuildTheFormatLists) {
    ASSERT_EQ(StartRemap(0x1209, 0x7A21, false), STATUS_SUCCESS);
    const ULONG node = OutputTypeNode();
    ASSERT_NE(node, KSFILTER_NODE);
    auto extra = [this] {
        std::vector<std::pair<USHORT, ULONG>> out;
        for (const auto& f : host::OfferedFormats(Session(), Session().FindWaveFilter(false)))
            if (Tag(f) != 1 || f.Format.nSamplesPerSec == 96000) out.push_back({Tag(f), f.Format.nSamplesPerSec});
        return out;
    };
    using List = std::vector<std::pair<USHORT, ULONG>>;
    const List spdif = {{0x164, 96000}, {0x92, 44100}, {0x92, 48000}, {0x92, 96000}, {1, 96000}};
    EXPECT_EQ(extra(), (List{{0x164, 96000}}));
    for (const auto& [type, expected] : std::vector<std::pair<ULONG, List>>{
             {ENDPOINT_SPDIF, spdif}, {ENDPOINT_HP, {{0x164, 96000}, {1, 96000}}}, {ENDPOINT_SPDIF, spdif},
             {ENDPOINT_SPK, {{0x164, 96000}}}}) {
        ASSERT_EQ(SetNodeRaw(node, &type, sizeof(type)), STATUS_SUCCESS) << "type " << type;
        EXPECT_EQ(extra(), expected) << "type " << type;
    }
}

// 8-channel PCM on a device with 8-channel output: the channel swap
// exchanges the rear and side pairs on the way to the speaker; with the
// 8-channel output off there is no swap (and no 8-channel format).
TEST_F(RemapE2eTest, EightChannelsArriveWithRearAndSidePairsExchanged) {
    ASSERT_EQ(StartRemap(0x1209, 0x7A21, false), STATUS_SUCCESS);
    WAVEFORMATEXTENSIBLE format = {};
    bool found = false;
    for (const auto& f : host::OfferedFormats(Session(), Session().FindWaveFilter(false)))
        if (!found && Tag(f) == 1 && f.Format.nChannels == 8 && f.Format.nSamplesPerSec == 48000) format = f, found = true;
    ASSERT_TRUE(found);
    // Channel c of every frame holds c + 1 (times 256).
    std::vector<uint8_t> played;
    for (int n = 0; n < 4800; n++)
        for (int c = 0; c < 8; c++) {
            played.push_back(0);
            played.push_back((uint8_t)(c + 1));
        }
    host::BytesSource source(played);
    std::vector<uint8_t> received;
    host::StreamRun run = host::Play(
        Session(), format, source, [&](const uint8_t* d, size_t b) { received.insert(received.end(), d, d + b); },
        nullptr);
    EXPECT_EQ(run.status, STATUS_SUCCESS) << run.error;
    size_t i = 0;
    while (i + 16 <= received.size() && received[i + 1] == 0) i += 16;
    ASSERT_LT(i + 16, received.size());
    const std::vector<int> expected = {1, 2, 3, 4, 7, 8, 5, 6};
    for (int c = 0; c < 8; c++) EXPECT_EQ(received[i + 2 * c + 1], expected[c]) << "channel " << c;
}

TEST_F(RemapE2eTest, BadOutputTypeRequestsChangeNothing) {
    ASSERT_EQ(StartRemap(0x1209, 0x7A21, false), STATUS_SUCCESS);
    const ULONG node = OutputTypeNode();
    ASSERT_NE(node, KSFILTER_NODE);
    const size_t before = Session().Device().HidSetReports().size();
    const ULONG unknown = 25, spdif = ENDPOINT_SPDIF;
    EXPECT_FALSE(NT_SUCCESS(SetNodeRaw(node, &unknown, sizeof(unknown))));
    EXPECT_EQ(SetNodeRaw(node, &spdif, 2), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(NT_SUCCESS(SetNodeRaw(node, nullptr, 0)));
    // A refused type is rolled back by re-selecting the speaker: its own
    // register values again, nothing else.
    for (const RegisterWrite& w : RegisterWritesFrom(before))
        EXPECT_TRUE(w == (RegisterWrite{2, 0xE000}) || w == (RegisterWrite{1, 0x3002}) || w == (RegisterWrite{0, 0x2004}))
            << w;
    EXPECT_TRUE(HasRenderFilter(u"SPK"));
    EXPECT_FALSE(HasRenderFilter(u"SPDIF"));
}

// The stereo mix as the only recording input (microphone and line
// recording units and the S/PDIF input off, the stereo mix on): the
// rewritten descriptor parses and the device starts with its render filter.
TEST_F(RemapE2eTest, ALoneStereoMixInputStarts) {
    ASSERT_EQ(StartRemap(0x1209, 0x7A21, false, {},
                         {{u"DisableStereoMixRecUnit", 0},
                          {u"DisableMicInRecUnit", 1},
                          {u"DisableLineInRecUnit", 1},
                          {u"DisableSpdifInTerminal", 1}}),
              STATUS_SUCCESS)
        << sim::DebugOutput();
    EXPECT_TRUE(HasRenderFilter(u"SPK"));
}

// The polling product with its jack plugged all along: state 1 (a quarter
// of the signal) from the first poll, silence from the 30th sample on.
TEST_F(RemapE2eTest, PluggedJackMutesTheSpeakerAfterThirtySamples) {
    const simusb::Bytes plugged = {0x00, 0x00, 0x00};
    ASSERT_EQ(StartRemap(0x1E7D, 0x3750, true, {plugged}), STATUS_SUCCESS);
    const LONGLONG started = sim::Now();
    WAVEFORMATEXTENSIBLE format = {};
    bool found = false;
    for (const auto& f : host::OfferedFormats(Session(), Session().FindWaveFilter(false)))
        if (!found && Tag(f) == 1 && f.Format.nChannels == 2 && f.Format.nSamplesPerSec == 48000) format = f, found = true;
    ASSERT_TRUE(found);
    host::ToneSource tone(format, 1000.0, -6.0, 2.5);
    std::vector<std::pair<LONGLONG, int>> peaks;  // per packet: time, largest |sample|
    host::StreamRun run = host::Play(
        Session(), format, tone,
        [&](const uint8_t* data, size_t bytes) {
            int peak = 0;
            for (size_t i = 0; i + 1 < bytes; i += 2) {
                int16_t s;
                memcpy(&s, data + i, 2);
                peak = std::max(peak, std::abs((int)s));
            }
            peaks.push_back({sim::Now() - started, peak});
        },
        nullptr);
    EXPECT_EQ(run.status, STATUS_SUCCESS) << run.error;
    int early = 0, late = 0;
    const LONGLONG muted = 29 * 50 * kMs;  // the 30th sample
    for (const auto& [t, peak] : peaks) {
        if (t > 100 * kMs && t < muted - 100 * kMs) early = std::max(early, peak);
        if (t > muted + 100 * kMs) late = std::max(late, peak);
    }
    // -6 dBFS is 16422; a quarter of it, then nothing.
    EXPECT_GT(early, 3000);
    EXPECT_LE(early, 16422 / 4 + 2);
    EXPECT_EQ(late, 0);
}

}  // namespace
}  // namespace e2etest
