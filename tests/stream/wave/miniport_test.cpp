// The wave-cyclic miniport's tables and answers: data ranges from the
// engine's formats, the filter descriptor of each direction, intersection,
// validation of data formats (with the sizes whose wave format does not
// hold 40 bytes), one stream at a time, attribute lists, modes, the two
// private properties through the kernel-streaming front end, and the
// destructor that waits for a live stream.
#include <algorithm>
#include <atomic>
#include <functional>

#include "platform/ks/property_frontend.h"
#include "stream/wave/wave_guids.h"
#include "tests/fakes/stream/fake_unit.h"
#include "tests/stream/wave/wave_fixture.h"
#include "topology/topo_guids.h"

namespace wavetest {
namespace {

const GUID kOtherSubFormat = {0x00000092, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

class MiniportTest : public MiniportFixture {
protected:
    // A stream engine with the given formats; a render engine of endpoint
    // type SPK offers all of them. Its streaming terminal is unit 9.
    NTSTATUS Make(const std::vector<WAVEFORMATEXTENSIBLE>& formats, bool capture = false) {
        engine_ = new (NonPagedPoolNx, STREAM_ENGINE_TAG) CStreamEngine(NULL, 1);
        engine_->AddRef();
        EXPECT_EQ(engine_->Init(capture ? 1 : 0), STATUS_SUCCESS);
        for (const auto& f : formats) EXPECT_EQ(engine_->AddFormat(&f), STATUS_SUCCESS);
        AddTerminal(9, capture ? UNIT_KIND_OUTPUT_PIN : UNIT_KIND_INPUT_PIN, ENDPOINT_STREAM);
        AddTerminal(4, capture ? UNIT_KIND_INPUT_PIN : UNIT_KIND_OUTPUT_PIN, capture ? ENDPOINT_MIC : ENDPOINT_SPK);
        EXPECT_EQ(engine_->SetName(capture ? u"MicIn00" : u"SpkOut00"), STATUS_SUCCESS);
        return MakeMiniport(engine_);
    }
    void AddTerminal(ULONG id, ULONG kind, ULONG type) {
        streamfakes::UnitSpec spec;
        spec.id = id;
        spec.kind = kind;
        spec.terminal = true;
        spec.type = type;
        streamfakes::FakeStreamUnit* unit = streamfakes::FakeStreamUnit::Create(spec);
        EXPECT_EQ(engine_->AddUnit(unit), STATUS_SUCCESS);
        unit->Release();
    }
    void ReleaseEngine() override {
        if (engine_) engine_->Release();
        engine_ = nullptr;
    }
    const KSDATARANGE_AUDIO& Range(ULONG k) {
        return *reinterpret_cast<const KSDATARANGE_AUDIO*>(Descriptor()->Pins[0].KsPinDescriptor.DataRanges[2 * k]);
    }
    CStreamEngine* engine_ = nullptr;
};

// ---- data ranges ----------------------------------------------------------------

struct RangeBounds {
    GUID subFormat;
    ULONG channels, minBits, maxBits, minRate, maxRate;
};

struct RangeCase {
    const char* name;
    std::vector<WAVEFORMATEXTENSIBLE> formats;
    NTSTATUS init;
    std::vector<RangeBounds> ranges;
};

class RangeTest : public MiniportTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(RangeTest, OneRangePerSubFormatWithPcmFirst) {
    const RangeCase& c = GetParam();
    ASSERT_EQ(Make(c.formats), c.init);
    if (!NT_SUCCESS(c.init)) {
        PPCFILTER_DESCRIPTOR d = nullptr;
        EXPECT_EQ(wave_->GetDescription(&d), STATUS_INVALID_DEVICE_STATE);
        return;
    }
    const KSPIN_DESCRIPTOR& pin = Descriptor()->Pins[0].KsPinDescriptor;
    ASSERT_EQ(pin.DataRangesCount, 2 * c.ranges.size());
    for (ULONG k = 0; k < c.ranges.size(); k++) {
        const KSDATARANGE_AUDIO& r = Range(k);
        const RangeBounds& want = c.ranges[k];
        EXPECT_EQ(r.DataRange.FormatSize, sizeof(KSDATARANGE_AUDIO));
        EXPECT_EQ(r.DataRange.Flags, (ULONG)KSDATARANGE_ATTRIBUTES);
        EXPECT_EQ(r.DataRange.MajorFormat, KSDATAFORMAT_TYPE_AUDIO);
        EXPECT_EQ(r.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
        EXPECT_EQ(r.DataRange.SubFormat, want.subFormat) << "range " << k;
        EXPECT_EQ(r.MaximumChannels, want.channels) << "range " << k;
        EXPECT_EQ(r.MinimumBitsPerSample, want.minBits) << "range " << k;
        EXPECT_EQ(r.MaximumBitsPerSample, want.maxBits) << "range " << k;
        EXPECT_EQ(r.MinimumSampleFrequency, want.minRate) << "range " << k;
        EXPECT_EQ(r.MaximumSampleFrequency, want.maxRate) << "range " << k;
        // Every range is followed by the attribute list of the mode.
        const auto* list = reinterpret_cast<const KSATTRIBUTE_LIST*>(pin.DataRanges[2 * k + 1]);
        EXPECT_EQ(list, &WaveDataRangeAttributeList);
        ASSERT_EQ(list->Count, 1u);
        EXPECT_EQ(list->Attributes[0]->Attribute, KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE);
        EXPECT_EQ(list->Attributes[0]->Flags, 0u);
    }
}

const GUID& kPcm = KSDATAFORMAT_SUBTYPE_PCM;
const GUID& kFloat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;

INSTANTIATE_TEST_SUITE_P(
    Formats, RangeTest,
    ::testing::Values(
        RangeCase{"FourFormats",
                  {PcmFormat(2, 48000, 16), PcmFormat(2, 96000, 24), PcmFormat(8, 48000, 16), FloatFormat(2, 48000)},
                  STATUS_SUCCESS,
                  {{kPcm, 8, 16, 24, 48000, 96000}, {kFloat, 2, 32, 32, 48000, 48000}}},
        RangeCase{"FloatFirst", {FloatFormat(2, 44100), PcmFormat(1, 48000, 16)}, STATUS_SUCCESS,
                  {{kPcm, 1, 16, 16, 48000, 48000}, {kFloat, 2, 32, 32, 44100, 44100}}},
        RangeCase{"FirstTradesPlacesWithPcm",
                  {FloatFormat(2, 48000), WithSubFormat(PcmFormat(2, 48000, 16), kOtherSubFormat),
                   PcmFormat(2, 44100, 24, 32)},
                  STATUS_SUCCESS,
                  {{kPcm, 2, 24, 24, 44100, 44100},
                   {kOtherSubFormat, 2, 16, 16, 48000, 48000},
                   {kFloat, 2, 32, 32, 48000, 48000}}},
        RangeCase{"DsdHasNoRange",
                  {WithSubFormat(PcmFormat(2, 352800, 32), KSDATAFORMAT_SUBTYPE_VENDOR_DSD), PcmFormat(2, 48000, 16)},
                  STATUS_SUCCESS, {{kPcm, 2, 16, 16, 48000, 48000}}},
        RangeCase{"DsdAndFloatOnly",
                  {WithSubFormat(PcmFormat(2, 352800, 32), KSDATAFORMAT_SUBTYPE_VENDOR_DSD), FloatFormat(2, 48000)},
                  STATUS_INSUFFICIENT_RESOURCES, {}},
        RangeCase{"NoFormats", {}, STATUS_INSUFFICIENT_RESOURCES, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- descriptor -----------------------------------------------------------------

class DescriptorTest : public MiniportTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DescriptorTest, DescribesTheFilterOfItsDirection) {
    const bool capture = GetParam();
    ASSERT_EQ(Make({PcmFormat(2, 48000, 16)}, capture), STATUS_SUCCESS);
    const PCFILTER_DESCRIPTOR* d = Descriptor();
    EXPECT_EQ(d->Version, 0u);
    EXPECT_EQ(d->AutomationTable, &WaveFilterAutomationTable);
    ASSERT_EQ(d->PinCount, 2u);
    EXPECT_EQ(d->PinSize, sizeof(PCPIN_DESCRIPTOR));
    const PCPIN_DESCRIPTOR& streaming = d->Pins[0];
    const PCPIN_DESCRIPTOR& bridge = d->Pins[1];
    EXPECT_EQ(streaming.MaxGlobalInstanceCount + streaming.MaxFilterInstanceCount + streaming.MinFilterInstanceCount, 3u);
    EXPECT_EQ(bridge.MaxGlobalInstanceCount + bridge.MaxFilterInstanceCount + bridge.MinFilterInstanceCount, 0u);
    ASSERT_EQ(streaming.KsPinDescriptor.InterfacesCount, 1u);
    EXPECT_EQ(streaming.KsPinDescriptor.Interfaces[0].Set, KSINTERFACESETID_Standard);
    EXPECT_EQ(streaming.KsPinDescriptor.Interfaces[0].Id, (ULONG)KSINTERFACE_STANDARD_STREAMING);
    EXPECT_EQ(bridge.KsPinDescriptor.InterfacesCount, 0u);
    EXPECT_EQ(streaming.KsPinDescriptor.DataFlow, capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN);
    EXPECT_EQ(bridge.KsPinDescriptor.DataFlow, capture ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT);
    EXPECT_EQ(streaming.KsPinDescriptor.Communication, KSPIN_COMMUNICATION_SINK);
    EXPECT_EQ(bridge.KsPinDescriptor.Communication, KSPIN_COMMUNICATION_NONE);
    EXPECT_EQ(*streaming.KsPinDescriptor.Category, KSCATEGORY_AUDIO);
    EXPECT_EQ(*bridge.KsPinDescriptor.Category, KSCATEGORY_AUDIO);
    ASSERT_EQ(bridge.KsPinDescriptor.DataRangesCount, 1u);
    const KSDATARANGE* analog = bridge.KsPinDescriptor.DataRanges[0];
    EXPECT_EQ(analog->FormatSize, 64u);
    EXPECT_EQ(analog->SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG);
    EXPECT_EQ(analog->Specifier, KSDATAFORMAT_SPECIFIER_NONE);

    ASSERT_EQ(d->NodeCount, 1u);
    EXPECT_EQ(*d->Nodes[0].Type, capture ? KSNODETYPE_ADC : KSNODETYPE_DAC);
    EXPECT_EQ(d->Nodes[0].Name, nullptr);
    ASSERT_EQ(d->ConnectionCount, 2u);
    ULONG in = capture ? 1 : 0, out = capture ? 0 : 1;
    const PCCONNECTION_DESCRIPTOR& c0 = d->Connections[0];
    const PCCONNECTION_DESCRIPTOR& c1 = d->Connections[1];
    EXPECT_EQ(std::vector<ULONG>({c0.FromNode, c0.FromNodePin, c0.ToNode, c0.ToNodePin}),
              std::vector<ULONG>({KSFILTER_NODE, in, 0, KSNODEPIN_STANDARD_IN}));
    EXPECT_EQ(std::vector<ULONG>({c1.FromNode, c1.FromNodePin, c1.ToNode, c1.ToNodePin}),
              std::vector<ULONG>({0, KSNODEPIN_STANDARD_OUT, KSFILTER_NODE, out}));
    ASSERT_EQ(d->CategoryCount, 3u);
    EXPECT_EQ(d->Categories[0], KSCATEGORY_AUDIO);
    EXPECT_EQ(d->Categories[1], capture ? KSCATEGORY_CAPTURE : KSCATEGORY_RENDER);
    EXPECT_EQ(d->Categories[2], GUID_DEVINTERFACE_ENUM_PRIVATE);

    IMiniportInfo* info = nullptr;
    ASSERT_EQ(unknown_->QueryInterface(IID_IMiniportInfo, (PVOID*)&info), STATUS_SUCCESS);
    PWSTR name = nullptr;
    EXPECT_EQ(info->GetName(&name), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name), capture ? u"MicIn00Wave" : u"SpkOut00Wave");
    ULONG id = 0;
    EXPECT_EQ(info->QueryMappedId(&id), STATUS_SUCCESS);
    EXPECT_EQ(id, 9u);  // the USB streaming terminal
    info->Release();
}

INSTANTIATE_TEST_SUITE_P(Direction, DescriptorTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Capture" : "Render"; });

// ---- the terminal the wave filter stands for ---------------------------------------

// An engine whose Audio Streaming interface links the terminal pin unit
// `link`.
class LinkedEngine : public CStreamEngine {
public:
    explicit LinkedEngine(ULONG link) : CStreamEngine(NULL, 1), m_Link(link) {}
    ULONG GetTerminalLink() override { return m_Link; }

private:
    ULONG m_Link;
};

struct MappedCase {
    const char* name;
    bool capture;
    bool streaming;  // the path holds a USB streaming terminal (unit 9)
    ULONG link;
    ULONG expected;  // 0: left as it was
};
void PrintTo(const MappedCase& c, std::ostream* os) { *os << c.name; }

class MappedIdTest : public MiniportTest, public ::testing::WithParamInterface<MappedCase> {};

// The path holds microphone input pin 4 and speaker output pin 5.
TEST_P(MappedIdTest, StreamingTerminalElseTheLinkedTerminalOfTheWantedKind) {
    const MappedCase& c = GetParam();
    const WAVEFORMATEXTENSIBLE format = PcmFormat(2, 48000, 16);
    engine_ = new (NonPagedPoolNx, STREAM_ENGINE_TAG) LinkedEngine(c.link);
    engine_->AddRef();
    ASSERT_EQ(engine_->Init(c.capture ? 1 : 0), STATUS_SUCCESS);
    ASSERT_EQ(engine_->AddFormat(&format), STATUS_SUCCESS);
    if (c.streaming) AddTerminal(9, c.capture ? UNIT_KIND_OUTPUT_PIN : UNIT_KIND_INPUT_PIN, ENDPOINT_STREAM);
    AddTerminal(4, UNIT_KIND_INPUT_PIN, ENDPOINT_MIC);
    AddTerminal(5, UNIT_KIND_OUTPUT_PIN, ENDPOINT_SPK);
    ASSERT_EQ(MakeMiniport(engine_), STATUS_SUCCESS);
    IMiniportInfo* info = nullptr;
    ASSERT_EQ(unknown_->QueryInterface(IID_IMiniportInfo, (PVOID*)&info), STATUS_SUCCESS);
    ULONG id = 0;
    EXPECT_EQ(info->QueryMappedId(&id), STATUS_SUCCESS);
    EXPECT_EQ(id, c.expected);
    info->Release();
}

INSTANTIATE_TEST_SUITE_P(
    Table, MappedIdTest,
    ::testing::Values(MappedCase{"RenderIntoTheLinkedInputTerminal", false, false, 4, 4},
                      MappedCase{"CaptureFromTheLinkedOutputTerminal", true, false, 5, 5},
                      MappedCase{"StreamingTerminalWins", false, true, 4, 9},
                      MappedCase{"LinkOfTheOtherKindIsNotTaken", false, false, 5, 0},
                      MappedCase{"NoLink", true, false, UNIT_ID_NONE, 0}),
    [](const ::testing::TestParamInfo<MappedCase>& info) { return std::string(info.param.name); });

// ---- intersection ------------------------------------------------------------------

const std::vector<WAVEFORMATEXTENSIBLE> kIntersectionFormats = {
    PcmFormat(2, 48000, 16), PcmFormat(2, 48000, 24), PcmFormat(2, 96000, 24), FloatFormat(2, 48000)};

KSDATARANGE_AUDIO ClientRange(const GUID& specifier, ULONG channels, ULONG minBits, ULONG maxBits, ULONG minRate,
                              ULONG maxRate) {
    KSDATARANGE_AUDIO r = {};
    r.DataRange.FormatSize = sizeof(r);
    r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    r.DataRange.Specifier = specifier;
    r.MaximumChannels = channels;
    r.MinimumBitsPerSample = minBits;
    r.MaximumBitsPerSample = maxBits;
    r.MinimumSampleFrequency = minRate;
    r.MaximumSampleFrequency = maxRate;
    return r;
}

struct IntersectCase {
    const char* name;
    std::function<void(KSDATARANGE_AUDIO*)> edit;
    ULONG outLen;
    bool bridgeRange;  // the bridge pin's range as the matching range
    NTSTATUS status;
    ULONG resultLength;    // written length (0: untouched)
    int matchedFormat;     // index into kIntersectionFormats, or -1
};

class IntersectTest : public MiniportTest, public ::testing::WithParamInterface<IntersectCase> {};

TEST_P(IntersectTest, AnswersTheEngineRecordOrTheRightRefusal) {
    const IntersectCase& c = GetParam();
    ASSERT_EQ(Make(kIntersectionFormats), STATUS_SUCCESS);
    KSDATARANGE_AUDIO client = ClientRange(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 2, 16, 24, 44100, 48000);
    c.edit(&client);
    PKSDATARANGE matching = c.bridgeRange ? Descriptor()->Pins[1].KsPinDescriptor.DataRanges[0]
                                          : Descriptor()->Pins[0].KsPinDescriptor.DataRanges[0];
    std::vector<UCHAR> result(c.outLen ? c.outLen : 1, 0xA5);
    ULONG length = 0;
    EXPECT_EQ(wave_->DataRangeIntersection(0, &client.DataRange, matching, c.outLen, result.data(), &length),
              c.status);
    EXPECT_EQ(length, c.resultLength);
    if (c.matchedFormat < 0) return;
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE got;
    memcpy(&got, result.data(), sizeof(got));
    const WAVEFORMATEXTENSIBLE& want = kIntersectionFormats[c.matchedFormat];
    EXPECT_EQ(memcmp(&got.WaveFormatExt, &want, sizeof(want)), 0);
    EXPECT_EQ(got.DataFormat.FormatSize, 104u);
    EXPECT_EQ(got.DataFormat.MajorFormat, KSDATAFORMAT_TYPE_AUDIO);
    EXPECT_EQ(got.DataFormat.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
}

void Keep(KSDATARANGE_AUDIO*) {}

INSTANTIATE_TEST_SUITE_P(
    Cases, IntersectTest,
    ::testing::Values(
        IntersectCase{"RangesMeet", Keep, 104, false, STATUS_SUCCESS, 104, 1},
        IntersectCase{"Wildcard",
                      [](KSDATARANGE_AUDIO* r) { r->DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WILDCARD; }, 104,
                      false, STATUS_SUCCESS, 104, 2},
        IntersectCase{"LengthZeroAsksTheSize", Keep, 0, false, STATUS_BUFFER_OVERFLOW, 104, -1},
        IntersectCase{"OneByteShort", Keep, 103, false, STATUS_BUFFER_TOO_SMALL, 0, -1},
        IntersectCase{"DirectSoundBeforeAnyLength",
                      [](KSDATARANGE_AUDIO* r) { r->DataRange.Specifier = KSDATAFORMAT_SPECIFIER_DSOUND; }, 0, false,
                      STATUS_NOT_SUPPORTED, 0, -1},
        IntersectCase{"NotAudio", [](KSDATARANGE_AUDIO* r) { r->DataRange.MajorFormat = GUID_NULL; }, 104, false,
                      STATUS_NO_MATCH, 0, -1},
        IntersectCase{"WildcardSubFormatMatchesNothing",
                      [](KSDATARANGE_AUDIO* r) { r->DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_WILDCARD; }, 104,
                      false, STATUS_NO_MATCH, 0, -1},
        IntersectCase{"RatesApart", [](KSDATARANGE_AUDIO* r) { r->MinimumSampleFrequency = r->MaximumSampleFrequency = 8000; },
                      104, false, STATUS_NO_MATCH, 0, -1},
        IntersectCase{"BitsApart", [](KSDATARANGE_AUDIO* r) { r->MinimumBitsPerSample = r->MaximumBitsPerSample = 32; },
                      104, false, STATUS_NO_MATCH, 0, -1},
        IntersectCase{"NoExactFormat", [](KSDATARANGE_AUDIO* r) { r->MaximumChannels = 1; }, 104, false,
                      STATUS_NO_MATCH, 0, -1},
        IntersectCase{"ClientRangeTooShort", [](KSDATARANGE_AUDIO* r) { r->DataRange.FormatSize = 87; }, 104, false,
                      STATUS_INVALID_PARAMETER, 0, -1},
        IntersectCase{"BridgeRangeHasNoBounds", Keep, 104, true, STATUS_NO_MATCH, 0, -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MiniportTest, IntersectionOffersOnlyTheFormatWithTheCombinedMaxima) {
    ASSERT_EQ(Make({PcmFormat(2, 48000, 16), PcmFormat(2, 96000, 24), PcmFormat(8, 48000, 16), FloatFormat(2, 48000)}),
              STATUS_SUCCESS);
    KSDATARANGE_AUDIO client = ClientRange(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 8, 16, 24, 8000, 192000);
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE result;
    ULONG length = 0;
    EXPECT_EQ(wave_->DataRangeIntersection(0, &client.DataRange, Descriptor()->Pins[0].KsPinDescriptor.DataRanges[0],
                                           sizeof(result), &result, &length),
              STATUS_NO_MATCH);
}

// ---- data formats --------------------------------------------------------------------

struct FormatCase {
    const char* name;
    ULONG flags;
    ULONG formatSize;
    ULONG offset;
    bool extensible;
    NTSTATUS status;
};

class ValidateTest : public MiniportTest, public ::testing::WithParamInterface<FormatCase> {};

// Every buffer holds a whole, matching extensible record after the offset,
// also where FormatSize ends earlier: a validation that reads past
// FormatSize would accept those formats.
TEST_P(ValidateTest, AcceptsExactlyTheLayoutsThatHoldTheirWaveFormat) {
    const FormatCase& c = GetParam();
    ASSERT_EQ(Make({PcmFormat(2, 48000, 16)}), STATUS_SUCCESS);
    WAVEFORMATEXTENSIBLE wave = c.extensible ? PcmFormat(2, 48000, 16) : streamfakes::PlainPcm(2, 48000, 16);
    DataFormat format = MakeDataFormat(wave, c.formatSize, c.offset, c.flags, sizeof(wave), c.offset + sizeof(wave));
    WAVEFORMATEX* found = nullptr;
    EXPECT_EQ(miniport_->ValidateDataFormat(format.get(), &found), c.status);
    if (!NT_SUCCESS(c.status)) return;
    EXPECT_EQ(reinterpret_cast<PUCHAR>(found), format.bytes.data() + c.offset);
    EXPECT_EQ(found->nAvgBytesPerSec, 192000u);  // a plain format takes the record's numbers
    EXPECT_EQ(found->nBlockAlign, 4u);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ValidateTest,
    ::testing::Values(FormatCase{"Plain82", 0, 82, 64, false, STATUS_SUCCESS},
                      FormatCase{"Plain90", 0, 90, 72, false, STATUS_SUCCESS},
                      FormatCase{"Extensible104", 0, 104, 64, true, STATUS_SUCCESS},
                      FormatCase{"AttributesPlain88", KSDATAFORMAT_ATTRIBUTES, 88, 64, false, STATUS_SUCCESS},
                      FormatCase{"AttributesPlain96", KSDATAFORMAT_ATTRIBUTES, 96, 72, false, STATUS_SUCCESS},
                      FormatCase{"AttributesExtensible104", KSDATAFORMAT_ATTRIBUTES, 104, 64, true, STATUS_SUCCESS},
                      FormatCase{"Size83", 0, 83, 64, false, STATUS_INVALID_PARAMETER},
                      FormatCase{"Size88WithoutAttributes", 0, 88, 64, false, STATUS_INVALID_PARAMETER},
                      FormatCase{"Size82WithAttributes", KSDATAFORMAT_ATTRIBUTES, 82, 64, false,
                                 STATUS_INVALID_PARAMETER},
                      FormatCase{"Extensible82", 0, 82, 64, true, STATUS_INVALID_PARAMETER},
                      FormatCase{"Extensible90", 0, 90, 72, true, STATUS_INVALID_PARAMETER},
                      FormatCase{"Extensible88", KSDATAFORMAT_ATTRIBUTES, 88, 64, true, STATUS_INVALID_PARAMETER},
                      FormatCase{"Extensible96", KSDATAFORMAT_ATTRIBUTES, 96, 72, true, STATUS_INVALID_PARAMETER}),
    [](const auto& info) { return std::string(info.param.name); });

struct CopyCase {
    const char* name;
    ULONG formatSize;
    ULONG offset;
    USHORT cbSize;
    size_t copied;  // bytes of the wave format taken; the rest of the copy is zero
};

class CopyFormatTest : public ::testing::TestWithParam<CopyCase> {};

// The caller's buffer goes on past FormatSize with 0xEE: none of it may
// reach the copy, whatever cbSize claims.
TEST_P(CopyFormatTest, TakesNoByteBeyondCbSizeFortyOrFormatSize) {
    const CopyCase& c = GetParam();
    WAVEFORMATEXTENSIBLE wave = PcmFormat(2, 48000, 16);
    wave.Format.cbSize = c.cbSize;
    DataFormat format = MakeDataFormat(wave, c.formatSize, c.offset, 0, c.formatSize - c.offset, c.offset + 64);
    std::fill(format.bytes.begin() + c.formatSize, format.bytes.end(), 0xEE);
    WAVEFORMATEXTENSIBLE out;
    memset(&out, 0x55, sizeof(out));
    WaveCopyFormat(format.get(), reinterpret_cast<WAVEFORMATEX*>(format.bytes.data() + c.offset), &out);
    const UCHAR* got = reinterpret_cast<const UCHAR*>(&out);
    EXPECT_EQ(memcmp(got, format.bytes.data() + c.offset, c.copied), 0);
    for (size_t i = c.copied; i < sizeof(out); i++) ASSERT_EQ(got[i], 0) << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Lengths, CopyFormatTest,
                         ::testing::Values(CopyCase{"Plain82ClaimingAnExtension", 82, 64, 22, 18},
                                           CopyCase{"Plain90ClaimingMore", 90, 72, 100, 18},
                                           CopyCase{"Extensible104", 104, 64, 22, 40},
                                           CopyCase{"Extensible104ClaimingMore", 104, 64, 300, 40},
                                           CopyCase{"ShortExtension", 104, 64, 4, 22}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MiniportTest, RefusesAnotherMajorFormatAndAShortExtensionSize) {
    ASSERT_EQ(Make({PcmFormat(2, 48000, 16)}), STATUS_SUCCESS);
    WAVEFORMATEX* found = nullptr;
    DataFormat other = ExtensibleFormat(PcmFormat(2, 48000, 16));
    other.get()->MajorFormat = GUID_NULL;
    EXPECT_EQ(miniport_->ValidateDataFormat(other.get(), &found), STATUS_INVALID_PARAMETER);
    WAVEFORMATEXTENSIBLE shortExtension = PcmFormat(2, 48000, 16);
    shortExtension.Format.cbSize = 21;
    DataFormat cut = ExtensibleFormat(shortExtension);
    EXPECT_EQ(miniport_->ValidateDataFormat(cut.get(), &found), STATUS_INVALID_PARAMETER);
    DataFormat unknown = ExtensibleFormat(PcmFormat(2, 44100, 16));
    EXPECT_EQ(miniport_->ValidateDataFormat(unknown.get(), &found), STATUS_INVALID_PARAMETER);
}

// ---- streams, attributes and modes -------------------------------------------------------

TEST_F(MiniportTest, OneStreamAtATime) {
    ASSERT_EQ(Make({PcmFormat(2, 48000, 16)}), STATUS_SUCCESS);
    DataFormat format = ExtensibleFormat(PcmFormat(2, 48000, 16));
    OpenStream first, second;
    ASSERT_EQ(NewStream(format, &first.stream, &first.dma, &first.group), STATUS_SUCCESS);
    EXPECT_EQ(miniport_->OpenStreams(), 1);
    EXPECT_EQ(NewStream(format, &second.stream, &second.dma, &second.group), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(second.stream, nullptr);
    first.Release();
    EXPECT_EQ(miniport_->OpenStreams(), 0);
    ASSERT_EQ(NewStream(format, &second.stream, &second.dma, &second.group), STATUS_SUCCESS);
    second.Release();
}

// A KSMULTIPLE_ITEM of mode attributes (each 24 + 16 bytes), edited by the
// case.
std::vector<UCHAR> AttributeList(const std::vector<std::pair<GUID, GUID>>& attributes, ULONG attributeSize = 40,
                                 ULONG cut = 0) {
    std::vector<UCHAR> list(8);
    for (const auto& [id, mode] : attributes) {
        KSATTRIBUTE a = {attributeSize, 0, id};
        const UCHAR* p = reinterpret_cast<const UCHAR*>(&a);
        list.insert(list.end(), p, p + sizeof(a));
        p = reinterpret_cast<const UCHAR*>(&mode);
        list.insert(list.end(), p, p + sizeof(mode));
    }
    list.resize(list.size() - cut);
    KSMULTIPLE_ITEM header = {(ULONG)list.size(), (ULONG)attributes.size()};
    memcpy(list.data(), &header, sizeof(header));
    return list;
}

const GUID kOtherMode = {0xC18E2F7E, 0x933D, 0x4965, {0xB7, 0xD1, 0x1E, 0xEF, 0x22, 0x8D, 0x2A, 0xF3}};

struct AttributeCase {
    const char* name;
    std::vector<UCHAR> list;
    NTSTATUS status;
};

class AttributeTest : public MiniportTest, public ::testing::WithParamInterface<AttributeCase> {};

TEST_P(AttributeTest, OnlyTheRawModeOpensAStream) {
    ASSERT_EQ(Make({PcmFormat(2, 48000, 16)}), STATUS_SUCCESS);
    DataFormat format = ExtensibleFormat(PcmFormat(2, 48000, 16), GetParam().list);
    OpenStream s;
    EXPECT_EQ(NewStream(format, &s.stream, &s.dma, &s.group), GetParam().status);
    EXPECT_EQ(s.stream != nullptr, NT_SUCCESS(GetParam().status));
    s.Release();
}

const GUID& kMode = KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE;
const GUID& kRaw = AUDIO_SIGNALPROCESSINGMODE_RAW;

INSTANTIATE_TEST_SUITE_P(
    Lists, AttributeTest,
    ::testing::Values(AttributeCase{"Raw", AttributeList({{kMode, kRaw}}), STATUS_SUCCESS},
                      AttributeCase{"LastModeWins", AttributeList({{kMode, kOtherMode}, {kMode, kRaw}}), STATUS_SUCCESS},
                      AttributeCase{"OtherMode", AttributeList({{kMode, kOtherMode}}), STATUS_INVALID_DEVICE_REQUEST},
                      AttributeCase{"OtherAttribute", AttributeList({{kOtherMode, kRaw}}), STATUS_NOT_SUPPORTED},
                      AttributeCase{"Truncated", AttributeList({{kMode, kRaw}}, 40, 16), STATUS_INVALID_PARAMETER},
                      AttributeCase{"WrongAttributeSize", AttributeList({{kMode, kRaw}}, 32), STATUS_INVALID_PARAMETER},
                      AttributeCase{"HeaderOnly", AttributeList({}, 40), STATUS_SUCCESS}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MiniportTest, ParsingRefusesAListShorterThanItsHeader) {
    KSMULTIPLE_ITEM header = {4, 0};
    GUID mode = kOtherMode;
    EXPECT_EQ(CMiniportWaveCyclic::ParseSignalProcessingMode(&header, 4, &mode), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(mode, kRaw);
}

struct ModesCase {
    const char* name;
    ULONG pin;
    bool withBuffer;
    bool withCount;
    ULONG count;
    NTSTATUS status;
    ULONG countAfter;
};

class ModesTest : public MiniportTest, public ::testing::WithParamInterface<ModesCase> {};

TEST_P(ModesTest, OffersTheRawModeOnTheStreamingPin) {
    const ModesCase& c = GetParam();
    ASSERT_EQ(Make({PcmFormat(2, 48000, 16)}), STATUS_SUCCESS);
    IMiniportAudioSignalProcessing* modes = nullptr;
    ASSERT_EQ(unknown_->QueryInterface(IID_IMiniportAudioSignalProcessing, (PVOID*)&modes), STATUS_SUCCESS);
    GUID buffer = GUID_NULL;
    ULONG count = c.count;
    EXPECT_EQ(modes->GetModes(c.pin, c.withBuffer ? &buffer : nullptr, c.withCount ? &count : nullptr), c.status);
    EXPECT_EQ(count, c.countAfter);
    EXPECT_EQ(buffer == kRaw, c.withBuffer && NT_SUCCESS(c.status));
    modes->Release();
}

INSTANTIATE_TEST_SUITE_P(Cases, ModesTest,
                         ::testing::Values(ModesCase{"Room", 0, true, true, 1, STATUS_SUCCESS, 1},
                                           ModesCase{"CountOnly", 0, false, true, 0, STATUS_SUCCESS, 1},
                                           ModesCase{"NoRoom", 0, true, true, 0, STATUS_BUFFER_TOO_SMALL, 1},
                                           ModesCase{"BridgePin", 1, true, true, 1, STATUS_NOT_SUPPORTED, 1},
                                           ModesCase{"NoCount", 0, true, false, 5, STATUS_INVALID_PARAMETER, 5}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MiniportTest, KeepsOnlyRealDevicePowerStates) {
    ASSERT_EQ(Make({PcmFormat(2, 48000, 16)}), STATUS_SUCCESS);
    IPowerNotify* power = nullptr;
    ASSERT_EQ(unknown_->QueryInterface(IID_IPowerNotify, (PVOID*)&power), STATUS_SUCCESS);
    EXPECT_EQ(miniport_->PowerState(), PowerDeviceD0);
    for (int state : {3, 0, 5, 4}) {
        POWER_STATE s;
        s.DeviceState = (DEVICE_POWER_STATE)state;
        power->PowerChangeNotify(s);
    }
    EXPECT_EQ(miniport_->PowerState(), PowerDeviceD3);
    power->Release();
}

// ---- the private properties through the front end ---------------------------------------

class PropertyTest : public MiniportTest {
protected:
    KsPropertyResult Send(ULONG id, ULONG verb, ULONG outLen, const void* value = nullptr) {
        KSPROPERTY property = {};
        property.Set = KSPROPSETID_PrivateAudio;
        property.Id = id;
        property.Flags = verb;
        KsTarget target = {Descriptor(), unknown_, nullptr};
        return KsProperty(target, &property, sizeof(property), outLen, value);
    }
};

TEST_F(PropertyTest, EndpointInformationReturnsExactlyTheCapabilityRecord) {
    ASSERT_EQ(Make({PcmFormat(2, 48000, 16)}), STATUS_SUCCESS);
    adapter_->Caps.FeatureMask = 0x11223344;
    adapter_->Caps.Flags = ENDPOINT_CAPS_ASIO;
    EXPECT_EQ(Send(1, KSPROPERTY_TYPE_GET, 31).Status, STATUS_INVALID_DEVICE_REQUEST);
    for (ULONG length : {32u, 64u}) {
        KsPropertyResult r = Send(1, KSPROPERTY_TYPE_GET, length);
        ASSERT_EQ(r.Status, STATUS_SUCCESS) << length;
        EXPECT_TRUE(r.Fault.empty()) << r.Fault;
        EXPECT_EQ(r.Information, 32u) << "bytes returned from a " << length << "-byte buffer";
        ENDPOINT_CAPS caps;
        memcpy(&caps, r.Output.data(), sizeof(caps));
        EXPECT_EQ(caps.FeatureMask, 0x11223344u);
        EXPECT_EQ(caps.Flags, (ULONG)ENDPOINT_CAPS_ASIO);
        for (ULONG i = 32; i < length; i++) ASSERT_EQ(r.Output[i], KS_DEFAULT_MARKER) << "byte " << i;
    }
    EXPECT_EQ(Send(1, KSPROPERTY_TYPE_SET, 32).Status, STATUS_INVALID_DEVICE_REQUEST);  // GET only
}

struct CheckCase {
    const char* name;
    WAVEFORMATEXTENSIBLE format;
    ULONG length;
    NTSTATUS status;
};

class FormatCheckTest : public PropertyTest, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(FormatCheckTest, ComparesChannelsRateValidBitsAndSubFormat) {
    const CheckCase& c = GetParam();
    ASSERT_EQ(Make({PcmFormat(2, 48000, 16), PcmFormat(2, 96000, 24, 32)}), STATUS_SUCCESS);
    std::vector<UCHAR> value(c.length, 0);
    memcpy(value.data(), &c.format, std::min<size_t>(c.length, sizeof(c.format)));
    EXPECT_EQ(Send(5, KSPROPERTY_TYPE_SET, c.length, value.data()).Status, c.status);
}

WAVEFORMATEXTENSIBLE WithMask(WAVEFORMATEXTENSIBLE f, ULONG mask) {
    f.dwChannelMask = mask;
    f.Format.wFormatTag = WAVE_FORMAT_PCM;  // read as 40 bytes whatever the tag
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FormatCheckTest,
    ::testing::Values(CheckCase{"Listed", PcmFormat(2, 48000, 16), 40, STATUS_SUCCESS},
                      CheckCase{"OtherMaskAndTag", WithMask(PcmFormat(2, 96000, 24, 32), 0x3F), 40, STATUS_SUCCESS},
                      CheckCase{"OtherRate", PcmFormat(2, 44100, 16), 40, STATUS_INVALID_PARAMETER},
                      CheckCase{"OtherValidBits", PcmFormat(2, 96000, 20, 32), 40, STATUS_INVALID_PARAMETER},
                      CheckCase{"Float", FloatFormat(2, 48000), 40, STATUS_INVALID_PARAMETER},
                      CheckCase{"Short", PcmFormat(2, 48000, 16), 39, STATUS_INVALID_PARAMETER}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- teardown ----------------------------------------------------------------------------

TEST_F(MiniportTest, TheLastReleaseWaitsForTheLiveStream) {
    ASSERT_EQ(Make({PcmFormat(2, 48000, 16)}), STATUS_SUCCESS);
    DataFormat format = ExtensibleFormat(PcmFormat(2, 48000, 16));
    OpenStream s;
    ASSERT_EQ(NewStream(format, &s.stream, &s.dma, &s.group), STATUS_SUCCESS);
    wave_->Release();
    wave_ = nullptr;
    PUNKNOWN last = unknown_;
    unknown_ = nullptr;
    std::atomic<bool> gone{false};
    sim::TestThread releaser("releaser", [&] {
        last->Release();
        gone = true;
    });
    sim::Sleep(500 * sim::kTicksPerMillisecond);
    EXPECT_FALSE(gone.load()) << "the miniport went while its stream lived";
    // The stream is still usable and then goes, which lets the miniport go.
    EXPECT_EQ(s.dma->BufferSize(), 9600u);
    s.Release();
    releaser.Join();
    EXPECT_TRUE(gone.load());
    KeWaitForSingleObject(&adapter_->Context()->MiniportMutex, Executive, KernelMode, FALSE, NULL);
    KeReleaseMutex(&adapter_->Context()->MiniportMutex, FALSE);  // given back by the destructor
}

}  // namespace
}  // namespace wavetest
