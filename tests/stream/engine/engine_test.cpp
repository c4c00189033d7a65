// Stream engine: offered formats, endpoint type, FindFormat, names, work
// buffers, units, Init failures and the destructor's wait for clients.
#include <atomic>
#include <cstring>

#include "adapter/audio_hal.h"
#include "sim/executor.h"
#include "sim/pool.h"
#include "tests/stream/engine/engine_fixture.h"

using namespace streamfakes;

namespace {

// 2ch/48k/16, 6ch/48k/16, 2ch/44.1k/24, 8ch/96k/24: two of them stereo.
void AddFourFormats(CStreamEngine* engine) {
    for (auto f : {PcmFormat(2, 48000, 16), PcmFormat(6, 48000, 16), PcmFormat(2, 44100, 24, 32),
                   PcmFormat(8, 96000, 24)})
        ASSERT_EQ(engine->AddFormat(&f), STATUS_SUCCESS);
}

WAVEFORMATEXTENSIBLE Iec61937Format(USHORT channels, ULONG rate) {
    WAVEFORMATEXTENSIBLE f = PcmFormat(channels, rate, 16);
    f.SubFormat.Data1 = 0x92;  // IEC 61937 Dolby Digital
    return f;
}

struct OfferCase {
    const char* name;
    ULONG isCapture;
    ULONG endpointType;
    ULONG offered;
    // The engine's formats; empty: AddFourFormats. Rows that give their own
    // expect all of them offered, in order.
    std::vector<WAVEFORMATEXTENSIBLE> formats = {};
};
void PrintTo(const OfferCase& c, std::ostream* os) { *os << c.name; }

class OfferedFormats : public EngineTest, public ::testing::WithParamInterface<OfferCase> {};

TEST_P(OfferedFormats, StereoOnlyForHeadphoneLikeRenderEndpoints) {
    const OfferCase& c = GetParam();
    MakeEngine(c.isCapture);
    if (c.formats.empty()) AddFourFormats(engine_);
    for (auto f : c.formats) ASSERT_EQ(engine_->AddFormat(&f), STATUS_SUCCESS);
    AddUnit(Pin(1, c.isCapture ? UNIT_KIND_INPUT_PIN : UNIT_KIND_OUTPUT_PIN, c.endpointType));
    EXPECT_EQ(engine_->GetEndpointType(), c.endpointType);
    ASSERT_EQ(engine_->GetFormatCount(), c.offered);
    WAVEFORMATEXTENSIBLE out = {};
    for (ULONG i = 0; i < c.offered; i++) {
        ASSERT_EQ(engine_->GetFormat(i, &out), STATUS_SUCCESS);
        if (!c.formats.empty()) {
            EXPECT_EQ(memcmp(&out, &c.formats[i], sizeof(out)), 0) << "format " << i;
        } else if (c.offered == 2) {
            EXPECT_EQ(out.Format.nChannels, 2);
        }
    }
    EXPECT_EQ(engine_->GetFormat(c.offered, &out), STATUS_INVALID_PARAMETER);
    // FindFormat searches every format whatever is offered.
    if (c.formats.empty()) {
        WAVEFORMATEXTENSIBLE six = PcmFormat(6, 48000, 16);
        EXPECT_EQ(engine_->FindFormat(&six.Format), STATUS_SUCCESS);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Engine, OfferedFormats,
    ::testing::Values(OfferCase{"Headphones", 0, ENDPOINT_HP, 2}, OfferCase{"Spdif", 0, ENDPOINT_SPDIF, 2},
                      OfferCase{"Headset", 0, ENDPOINT_HEADSET, 2}, OfferCase{"FrontHeadphones", 0, ENDPOINT_FHP, 2},
                      OfferCase{"Speakers", 0, ENDPOINT_SPK, 4}, OfferCase{"Line", 0, ENDPOINT_LINE, 4},
                      OfferCase{"CaptureHeadset", 1, ENDPOINT_HEADSET, 4},
                      OfferCase{"CaptureMic", 1, ENDPOINT_MIC, 4},
                      // Without a 2-channel PCM format the endpoint offers
                      // its own formats, whatever their channel counts.
                      OfferCase{"HeadphonesFourAndEightChannels",
                                0,
                                ENDPOINT_HP,
                                3,
                                {PcmFormat(4, 48000, 16), PcmFormat(8, 48000, 16), PcmFormat(8, 96000, 24, 32)}},
                      OfferCase{"HeadsetEightChannels", 0, ENDPOINT_HEADSET, 1, {PcmFormat(8, 48000, 24, 32)}},
                      OfferCase{"FrontHeadphonesSixChannels", 0, ENDPOINT_FHP, 1, {PcmFormat(6, 44100, 16)}},
                      OfferCase{"SpdifWhoseStereoIsIec61937Only",
                                0,
                                ENDPOINT_SPDIF,
                                2,
                                {Iec61937Format(2, 48000), PcmFormat(6, 48000, 16)}}),
    [](const auto& info) { return std::string(info.param.name); });

// The offered list follows the terminal's type when it changes at run
// time: an 8-channel-only endpoint switched to headphones keeps its
// formats; one with a stereo format narrows to it.
TEST_F(EngineTest, OfferedFormatsFollowAnOutputTypeSwitch) {
    struct Row {
        std::vector<WAVEFORMATEXTENSIBLE> formats;
        ULONG speakers, headphones;
    };
    for (const Row& row : {Row{{PcmFormat(8, 48000, 16), PcmFormat(8, 96000, 16)}, 2, 2},
                           Row{{PcmFormat(8, 48000, 16), PcmFormat(2, 48000, 16)}, 2, 1}}) {
        MakeEngine(0);
        for (auto f : row.formats) ASSERT_EQ(engine_->AddFormat(&f), STATUS_SUCCESS);
        UnitSpec spec;
        spec.id = 1;
        spec.kind = UNIT_KIND_TERMINAL_TYPE;
        spec.type = ENDPOINT_SPK;
        FakeStreamUnit* selector = FakeStreamUnit::Create(spec);
        ASSERT_EQ(engine_->AddUnit(selector), STATUS_SUCCESS);
        EXPECT_EQ(engine_->GetFormatCount(), row.speakers);
        ASSERT_EQ(selector->SelectType(ENDPOINT_HP), STATUS_SUCCESS);
        EXPECT_EQ(engine_->GetEndpointType(), (ULONG)ENDPOINT_HP);
        EXPECT_EQ(engine_->GetFormatCount(), row.headphones) << row.formats.back().Format.nChannels;
        WAVEFORMATEXTENSIBLE out = {};
        EXPECT_EQ(engine_->GetFormat(0, &out), STATUS_SUCCESS);
        selector->Release();
        ReleaseEngine();
    }
}

struct TypeCase {
    const char* name;
    ULONG isCapture;
    std::vector<UnitSpec> units;
    ULONG expected;
};

class EndpointType : public EngineTest, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(EndpointType, FollowsTheUnits) {
    MakeEngine(GetParam().isCapture);
    for (const UnitSpec& spec : GetParam().units) AddUnit(spec);
    EXPECT_EQ(engine_->GetEndpointType(), GetParam().expected);
}

UnitSpec TerminalTypeUnit(ULONG id, ULONG type) {
    UnitSpec spec;
    spec.id = id;
    spec.kind = UNIT_KIND_TERMINAL_TYPE;
    spec.type = type;
    return spec;
}

INSTANTIATE_TEST_SUITE_P(
    Engine, EndpointType,
    ::testing::Values(
        TypeCase{"NoUnits", 0, {}, ENDPOINT_STREAM},
        TypeCase{"LastOutputPinDecides", 0,
                 {Pin(1, UNIT_KIND_OUTPUT_PIN, ENDPOINT_SPK), Pin(2, UNIT_KIND_OUTPUT_PIN, ENDPOINT_HP)}, ENDPOINT_HP},
        TypeCase{"TerminalTypeUnitWins", 0,
                 {Pin(1, UNIT_KIND_OUTPUT_PIN, ENDPOINT_SPK), TerminalTypeUnit(2, ENDPOINT_SPDIF),
                  Pin(3, UNIT_KIND_OUTPUT_PIN, ENDPOINT_HP)},
                 ENDPOINT_SPDIF},
        TypeCase{"InputPinsIgnoredOnRender", 0, {Pin(1, UNIT_KIND_INPUT_PIN, ENDPOINT_MIC)}, ENDPOINT_STREAM},
        TypeCase{"CaptureNone", 1, {Pin(1, UNIT_KIND_INPUT_PIN, ENDPOINT_STREAM)}, ENDPOINT_STREAM},
        TypeCase{"CaptureOne", 1,
                 {Pin(1, UNIT_KIND_INPUT_PIN, ENDPOINT_STREAM), Pin(2, UNIT_KIND_INPUT_PIN, ENDPOINT_MIC)},
                 ENDPOINT_MIC},
        TypeCase{"CaptureTwoIsRec", 1,
                 {Pin(1, UNIT_KIND_INPUT_PIN, ENDPOINT_MIC), Pin(2, UNIT_KIND_INPUT_PIN, ENDPOINT_LINE)},
                 ENDPOINT_REC},
        TypeCase{"CaptureIgnoresTerminalTypeUnit", 1, {TerminalTypeUnit(1, ENDPOINT_SPDIF)}, ENDPOINT_STREAM}),
    [](const auto& info) { return std::string(info.param.name); });

struct FindCase {
    const char* name;
    WAVEFORMATEXTENSIBLE given;
    NTSTATUS expected;
};

WAVEFORMATEXTENSIBLE With(WAVEFORMATEXTENSIBLE f, void (*change)(WAVEFORMATEXTENSIBLE&)) {
    change(f);
    return f;
}

class FindFormat : public EngineTest, public ::testing::WithParamInterface<FindCase> {};

TEST_P(FindFormat, MatchesWholeRecordsOrPlainShapes) {
    MakeEngine(0);
    AddFourFormats(engine_);
    WAVEFORMATEXTENSIBLE given = GetParam().given;
    WAVEFORMATEXTENSIBLE before = given;
    EXPECT_EQ(engine_->FindFormat(&given.Format), GetParam().expected);
    if (GetParam().expected == STATUS_SUCCESS && before.Format.wFormatTag == WAVE_FORMAT_PCM) {
        // A plain format takes the record's numbers, keeps its plain tag.
        EXPECT_EQ(given.Format.wFormatTag, WAVE_FORMAT_PCM);
        EXPECT_EQ(given.Format.nBlockAlign, before.Format.nChannels * before.Format.wBitsPerSample / 8);
        EXPECT_EQ(given.Format.nAvgBytesPerSec, before.Format.nSamplesPerSec * given.Format.nBlockAlign);
        EXPECT_EQ(given.Format.cbSize, 0);
    } else {
        EXPECT_EQ(memcmp(&given, &before, sizeof(given)), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Engine, FindFormat,
    ::testing::Values(
        FindCase{"PlainNormalised", PlainPcm(2, 48000, 16), STATUS_SUCCESS},
        FindCase{"PlainContainer32", PlainPcm(2, 44100, 32), STATUS_SUCCESS},
        FindCase{"PlainNoMatch", PlainPcm(3, 48000, 16), STATUS_NO_MATCH},
        FindCase{"PlainFloatTag", With(PlainPcm(2, 48000, 16), [](auto& f) { f.Format.wFormatTag = 3; }),
                 STATUS_NO_MATCH},
        FindCase{"Extensible", PcmFormat(6, 48000, 16), STATUS_SUCCESS},
        FindCase{"MaskDiffers", With(PcmFormat(2, 48000, 16), [](auto& f) { f.dwChannelMask = 0x600; }),
                 STATUS_NO_MATCH},
        FindCase{"ValidBitsDiffer", With(PcmFormat(2, 48000, 16), [](auto& f) { f.Samples.wValidBitsPerSample = 15; }),
                 STATUS_NO_MATCH},
        FindCase{"CbSize0", With(PcmFormat(2, 48000, 16), [](auto& f) { f.Format.cbSize = 0; }), STATUS_NO_MATCH},
        FindCase{"CbSize21", With(PcmFormat(2, 48000, 16), [](auto& f) { f.Format.cbSize = 21; }), STATUS_NO_MATCH},
        // Only the 40 bytes of the record are compared, never cbSize more.
        FindCase{"CbSize200", With(PcmFormat(2, 48000, 16), [](auto& f) { f.Format.cbSize = 200; }),
                 STATUS_NO_MATCH}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, ExtensibleWithLargeCbSizeMatchesARecordOfTheSameBytes) {
    MakeEngine(0);
    WAVEFORMATEXTENSIBLE odd = PcmFormat(2, 48000, 16);
    odd.Format.cbSize = 200;
    ASSERT_EQ(engine_->AddFormat(&odd), STATUS_SUCCESS);
    // The caller's block is exactly 40 bytes: ASan fails a longer read.
    auto* given = (WAVEFORMATEXTENSIBLE*)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(odd), MakePoolTag("Test"));
    memcpy(given, &odd, sizeof(odd));
    EXPECT_EQ(engine_->FindFormat(&given->Format), STATUS_SUCCESS);
    ExFreePoolWithTag(given, MakePoolTag("Test"));
}

TEST_F(EngineTest, AddFormatRefusesFormatsTheDataPathCannotDivideBy) {
    MakeEngine(0);
    WAVEFORMATEXTENSIBLE zeroChannels = PcmFormat(2, 48000, 16), zeroRate = zeroChannels, zeroBlock = zeroChannels;
    zeroChannels.Format.nChannels = 0;
    zeroRate.Format.nSamplesPerSec = 0;
    zeroBlock.Format.nBlockAlign = 0;
    for (WAVEFORMATEXTENSIBLE* f : {&zeroChannels, &zeroRate, &zeroBlock})
        EXPECT_EQ(engine_->AddFormat(f), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(engine_->AddFormat(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(engine_->GetFormatCount(), 0u);
}

TEST_F(EngineTest, NameOfFiftyCharactersFitsFiftyOneDoesNot) {
    MakeEngine(0);
    std::u16string fifty(50, u'a'), fiftyOne(51, u'b');
    ASSERT_EQ(engine_->SetName(fifty.c_str()), STATUS_SUCCESS);
    EXPECT_EQ(engine_->SetName(fiftyOne.c_str()), STATUS_INVALID_PARAMETER);
    WCHAR out[51];
    ASSERT_EQ(engine_->GetName(out), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(out), fifty);
    EXPECT_EQ(engine_->GetName(nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(EngineTest, UnitsAreUniqueByIdAndProcessingUnitsJoinTheNodeList) {
    MakeEngine(0);
    FakeDspNode* node = FakeDspNode::Create();
    UnitSpec processing;
    processing.id = 7;
    processing.node = node;
    AddUnit(processing);
    AddUnit(Pin(7, UNIT_KIND_OUTPUT_PIN, ENDPOINT_HP));  // same id: ignored
    EXPECT_EQ(engine_->GetUnitCount(), 1u);
    IUacUnit* unit = nullptr;
    ASSERT_EQ(engine_->GetUnit(0, &unit), STATUS_SUCCESS);
    EXPECT_EQ(unit->GetKind(), (ULONG)UNIT_KIND_VOLUME);
    EXPECT_EQ(engine_->GetUnit(1, &unit), STATUS_INVALID_PARAMETER);
    // The unit's reference and the node list's.
    EXPECT_EQ(node->RefCount(), 3u);
    ReleaseEngine();
    EXPECT_EQ(node->RefCount(), 1u);
    node->Release();
}

class AllocateBuffersAfterFailure : public EngineTest, public ::testing::WithParamInterface<int> {};

TEST_P(AllocateBuffersAfterFailure, SecondCallFillsOnlyWhatIsMissing) {
    MakeEngine(0);
    const int failing = GetParam();  // 1: work buffer, 2: table, 3..10: channel buffers
    sim::PoolFailNth(failing);
    EXPECT_EQ(engine_->AllocateBuffers(), STATUS_INSUFFICIENT_RESOURCES);
    sim::PoolClearFailures();
    int64_t before = sim::PoolLiveBlocks(STREAM_ENGINE_TAG);
    sim::PoolResetCounters();
    ASSERT_EQ(engine_->AllocateBuffers(), STATUS_SUCCESS);
    // Work buffer, table and eight channel buffers: ten blocks in all.
    EXPECT_EQ(sim::PoolAllocationAttempts(), (uint64_t)(10 - (failing - 1)));
    EXPECT_EQ(sim::PoolLiveBlocks(STREAM_ENGINE_TAG) - before, 10 - (failing - 1));
    sim::PoolResetCounters();
    ASSERT_EQ(engine_->AllocateBuffers(), STATUS_SUCCESS);
    EXPECT_EQ(sim::PoolAllocationAttempts(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Engine, AllocateBuffersAfterFailure, ::testing::Range(1, 11));

class InitFailure : public sim::KernelTest, public ::testing::WithParamInterface<int> {};

TEST_P(InitFailure, EveryAllocationFailureIsReportedAndNothingLeaks) {
    auto* engine = new (NonPagedPoolNx, STREAM_ENGINE_TAG) TestEngine(1);
    engine->AddRef();
    sim::PoolFailNth(GetParam());
    EXPECT_NE(engine->Init(0), STATUS_SUCCESS);
    sim::PoolClearFailures();
    engine->Release();
}

// Nine lists and the name buffer; the callback object's own blocks follow.
INSTANTIATE_TEST_SUITE_P(Engine, InitFailure, ::testing::Range(1, 12));

TEST_F(EngineTest, DestructorWaitsUntilTheLastClientIsGone) {
    MakeEngine(0);
    CYCLIC_CLIENT client = {};
    client.Priority = CYCLIC_CLIENT_WAVE;
    client.Registration = &client;
    ASSERT_EQ(engine_->AddRegisteredClient(&client), STATUS_SUCCESS);
    TestEngine* engine = engine_;
    engine_ = nullptr;
    std::atomic<bool> destroyed{false};
    sim::TestThread releaser("releaser", [&] {
        engine->Release();
        destroyed = true;
    });
    sim::Sleep(500 * sim::kTicksPerMillisecond);
    EXPECT_FALSE(destroyed.load());
    EXPECT_EQ(engine->RemoveRegisteredClient(&client), &client);
    releaser.Join();
    EXPECT_TRUE(destroyed.load());
}

TEST_F(EngineTest, CallbackRegistrationsComeAndGo) {
    MakeEngine(0);
    PVOID handle = nullptr;
    ASSERT_EQ(engine_->RegisterCallback([](PVOID, PVOID, PVOID) {}, nullptr, &handle), STATUS_SUCCESS);
    EXPECT_NE(handle, nullptr);
    EXPECT_EQ(engine_->UnregisterCallback(handle), STATUS_SUCCESS);
    IStreamEngine* same = nullptr;
    ASSERT_EQ(engine_->QueryInterface(IID_IStreamEngine, (PVOID*)&same), STATUS_SUCCESS);
    EXPECT_EQ(same, static_cast<IStreamEngine*>(engine_));
    same->Release();
    PVOID other = nullptr;
    EXPECT_EQ(engine_->QueryInterface(IID_IDspNode, &other), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(other, nullptr);
}

TEST_F(EngineTest, WaveSubdeviceSlotsStoreAndReportNothingInstalled) {
    MakeEngine(0);
    EXPECT_EQ(engine_->InstallMiniport(nullptr, nullptr, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(engine_->SetMiniportCreate(nullptr, nullptr), STATUS_NO_SUCH_DEVICE);
    auto create = [](PUNKNOWN*, REFCLSID, PUNKNOWN, POOL_TYPE, ULONG) -> NTSTATUS { return STATUS_SUCCESS; };
    EXPECT_EQ(engine_->SetMiniportCreate(create, &IID_IUnknown), STATUS_SUCCESS);
    EXPECT_EQ(engine_->SetTopology(nullptr, nullptr), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(engine_->InstallMiniport(nullptr, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(engine_->RemoveMiniport(nullptr), STATUS_SUCCESS);
}

}  // namespace

// The same questions answered by the topology's own terminal units.
#include "topology/terminal_units.h"

namespace {

TEST_F(EngineTest, EndpointTypeFromTheTopologyTerminalUnits) {
    MakeEngine(0);
    auto* pin = new (NonPagedPoolNx, MakePoolTag("Test")) COutputPinUnit(NULL, 3);
    pin->AddRef();
    const ULONG speakers = ENDPOINT_SPK, types[] = {ENDPOINT_HP, ENDPOINT_SPDIF};
    ASSERT_EQ(pin->Init(2, 1, &speakers, 0, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(engine_->AddUnit(pin), STATUS_SUCCESS);
    EXPECT_EQ(engine_->GetEndpointType(), (ULONG)ENDPOINT_SPK);
    auto* selector = new (NonPagedPoolNx, MakePoolTag("Test")) CTerminalTypeUnit(NULL, 9);
    selector->AddRef();
    ASSERT_EQ(selector->Init(2, 2, types), STATUS_SUCCESS);
    ASSERT_EQ(selector->SelectType(ENDPOINT_SPDIF), STATUS_SUCCESS);
    ASSERT_EQ(engine_->AddUnit(static_cast<CUacUnitBase*>(selector)), STATUS_SUCCESS);
    EXPECT_EQ(engine_->GetEndpointType(), (ULONG)ENDPOINT_SPDIF);
    pin->Release();
    selector->Release();
}

TEST_F(EngineTest, CaptureWithTwoTopologyInputPinsIsRec) {
    MakeEngine(1);
    const ULONG mic = ENDPOINT_MIC, line = ENDPOINT_LINE;
    for (auto [id, type] : {std::pair<ULONG, const ULONG*>{4, &mic}, {5, &line}}) {
        auto* pin = new (NonPagedPoolNx, MakePoolTag("Test")) CInputPinUnit(NULL, id);
        pin->AddRef();
        ASSERT_EQ(pin->Init(1, type, 0, nullptr), STATUS_SUCCESS);
        ASSERT_EQ(engine_->AddUnit(pin), STATUS_SUCCESS);
        pin->Release();
    }
    EXPECT_EQ(engine_->GetEndpointType(), (ULONG)ENDPOINT_REC);
}

}  // namespace
