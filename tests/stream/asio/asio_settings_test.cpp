// Settings and queries of the ASIO interface on the real operations: the
// defaults, latencies and buffer sizes in PCM and DSD, the sample type
// pending until a close, names, channels, notify events and what is
// persisted.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/stream/asio/asio_fixture.h"

namespace asiotest {
namespace {

using streamfakes::PcmFormat;

class AsioSettingsTest : public AsioTest {
protected:
    void OpenHeadset() {
        Start(HeadsetEngines());
        ASSERT_EQ(m_Client->Open(AsioLink()), STATUS_SUCCESS);
    }
    // DSD-capable stereo out and in beside 16-bit PCM at 44.1 and 48 kHz.
    void OpenDsdDevice() {
        Start({AsioEngine(false, {PcmFormat(2, 48000, 16), PcmFormat(2, 44100, 16), DsdFormat(2, 2822400),
                                  DsdFormat(2, 3072000)}),
               AsioEngine(true, {PcmFormat(2, 48000, 16), DsdFormat(2, 2822400), DsdFormat(2, 3072000)})});
        ASSERT_EQ(m_Client->Open(AsioLink()), STATUS_SUCCESS);
    }
};

TEST_F(AsioSettingsTest, FreshDeviceAnswersTheDefaults) {
    OpenHeadset();
    EXPECT_EQ(m_Client->Get(IOCTL_ASIO_GET_SAMPLE_RATE, 1)[0], 48000u);
    EXPECT_EQ(m_Client->Get(IOCTL_ASIO_GET_IO_FORMAT, 1)[0], 0u);
    EXPECT_EQ(m_Client->Get(IOCTL_ASIO_GET_LATENCY_TABLE, 10),
              (std::vector<ULONG>{4, 8, 4, 6, 8, 10, 20, 30, 40, 50}));
    EXPECT_EQ(m_Client->Get(IOCTL_ASIO_GET_SAMPLE_TYPES, 3), (std::vector<ULONG>{16, 1, 16}));
    EXPECT_EQ(m_Client->Get(IOCTL_ASIO_GET_LATENCIES, 2), (std::vector<ULONG>{960, 1920}));
    EXPECT_EQ(m_Client->Get(IOCTL_ASIO_GET_BUFFER_SIZE, 4), (std::vector<ULONG>{192, 2400, 960, 1}));
    EXPECT_EQ(m_Client->Get(IOCTL_ASIO_GET_BUFFERS_CREATED, 1)[0], 0u);
    // +0 pins, +4 outputs, +8 inputs, +12 zero.
    EXPECT_EQ(m_Client->Get(IOCTL_ASIO_GET_CHANNELS, 4), (std::vector<ULONG>{2, 2, 1, 0}));
    EXPECT_EQ(m_Client->Close(), STATUS_SUCCESS);
}

TEST_F(AsioSettingsTest, DsdLatenciesAndBufferSizes) {
    OpenDsdDevice();
    ASSERT_EQ(m_Client->Set(IOCTL_ASIO_SET_IO_FORMAT, 1), STATUS_SUCCESS);
    EXPECT_EQ(m_Client->Get(IOCTL_ASIO_GET_CHANNELS, 4), (std::vector<ULONG>{2, 2, 2, 0}));
    ASSERT_EQ(m_Client->Set(IOCTL_ASIO_SET_SAMPLE_RATE, 2822400), STATUS_SUCCESS);
    ASSERT_EQ(m_Client->Set(IOCTL_ASIO_SET_LATENCY, 0), STATUS_SUCCESS);
    // Index 0 is raised to 1 for the preferred size only.
    EXPECT_EQ(m_Client->Get(IOCTL_ASIO_GET_BUFFER_SIZE, 4), (std::vector<ULONG>{16896, 140800, 16896, 64}));
    EXPECT_EQ(m_Client->Get(IOCTL_ASIO_GET_LATENCIES, 2), (std::vector<ULONG>{11264, 22528}));
    ASSERT_EQ(m_Client->Set(IOCTL_ASIO_SET_SAMPLE_RATE, 3072000), STATUS_SUCCESS);
    ASSERT_EQ(m_Client->Set(IOCTL_ASIO_SET_LATENCY, 1), STATUS_SUCCESS);
    // Base 48: 6 ms x 64 x 48.
    EXPECT_EQ(m_Client->Get(IOCTL_ASIO_GET_BUFFER_SIZE, 4), (std::vector<ULONG>{18432, 153600, 18432, 64}));
    ASIOChannelInfo info = {};
    info.channel = 1;
    info.isInput = 1;
    ASSERT_EQ(m_Client->Ioctl(IOCTL_ASIO_GET_CHANNEL_INFO, &info, sizeof(info), &info, sizeof(info)).status,
              STATUS_SUCCESS);
    EXPECT_EQ(info.type, ASIOSTDSDInt8MSB1);
}

struct RateCase {
    const char* name;
    ULONG ioFormat;
    ULONG rate;
    NTSTATUS status;
};

class RefusedRates : public AsioSettingsTest, public ::testing::WithParamInterface<RateCase> {};

// A rate unfit for the I/O format, or one no pin runs at, persists nothing.
TEST_P(RefusedRates, PersistNothing) {
    OpenDsdDevice();
    ASSERT_EQ(m_Client->Set(IOCTL_ASIO_SET_IO_FORMAT, GetParam().ioFormat), STATUS_SUCCESS);
    EXPECT_EQ(m_Client->Set(IOCTL_ASIO_SET_SAMPLE_RATE, GetParam().rate), GetParam().status);
    EXPECT_EQ(Stored(u"ASIOMLSampleRate"), ~0u);
    EXPECT_EQ(m_Client->Get(IOCTL_ASIO_GET_SAMPLE_RATE, 1)[0], 48000u);
}
INSTANTIATE_TEST_SUITE_P(Table, RefusedRates,
                         ::testing::Values(RateCase{"Dsd96k", 1, 96000, STATUS_INVALID_PARAMETER},
                                           RateCase{"PcmAtDsdRate", 0, 2822400, STATUS_INVALID_PARAMETER},
                                           RateCase{"PcmBelow1k", 0, 999, STATUS_INVALID_PARAMETER},
                                           RateCase{"PcmNegative", 0, 0x80000000u, STATUS_INVALID_PARAMETER},
                                           RateCase{"PcmNoPin", 0, 96000, STATUS_UNSUCCESSFUL}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AsioSettingsTest, AcceptedRatePersistsAndOutlivesARestart) {
    OpenHeadset();
    EXPECT_EQ(m_Client->Set(IOCTL_ASIO_CAN_SAMPLE_RATE, 44100), STATUS_SUCCESS);
    EXPECT_EQ(m_Client->Set(IOCTL_ASIO_CAN_SAMPLE_RATE, 96000), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(m_Client->Set(IOCTL_ASIO_SET_SAMPLE_RATE, 44100), STATUS_SUCCESS);
    ASSERT_EQ(m_Client->Set(IOCTL_ASIO_SET_LATENCY, 2), STATUS_SUCCESS);
    EXPECT_EQ(Stored(u"ASIOMLSampleRate"), 44100u);
    EXPECT_EQ(Stored(u"ASIOMLDataLatency"), 2u);
    m_Client->Close();
    // The adapter of the next start reads them back.
    ASSERT_EQ(Device().StopDevice(), STATUS_SUCCESS);
    ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
    sim::UserProcess& other = *m_Others.emplace_back(std::make_unique<sim::UserProcess>());
    AsioClient& again = *m_OtherClients.emplace_back(std::make_unique<AsioClient>(other));
    ASSERT_EQ(again.Open(AsioLink()), STATUS_SUCCESS);
    EXPECT_EQ(again.Get(IOCTL_ASIO_GET_SAMPLE_RATE, 1)[0], 44100u);
    EXPECT_EQ(again.Get(IOCTL_ASIO_GET_LATENCY_TABLE, 10)[0], 2u);
}

// An index past the eight-entry table is refused, also when the caller
// asked for the latencies in the same request; nothing is stored, written
// or signalled.
TEST_F(AsioSettingsTest, LatencyIndexPastTheTableIsRefused) {
    OpenHeadset();
    HANDLE notify = m_Process->CreateEvent(false, false);
    ASSERT_EQ(m_Client->SendHandle(IOCTL_ASIO_SET_NOTIFY_EVENT, notify), STATUS_SUCCESS);
    for (ULONG outLength : {0u, 8u}) {
        ULONG index = 8;
        ULONG latencies[2] = {0xAAAAAAAA, 0xAAAAAAAA};
        sim::IoctlResult r = m_Client->Ioctl(IOCTL_ASIO_SET_LATENCY, &index, sizeof(index), latencies, outLength);
        EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER) << outLength;
        EXPECT_EQ(r.information, 0u);
    }
    EXPECT_EQ(m_Client->Get(IOCTL_ASIO_GET_LATENCY_TABLE, 10)[0], 4u);
    EXPECT_EQ(Stored(u"ASIOMLDataLatency"), ~0u);
    EXPECT_FALSE(m_Process->IsEventSignalled(notify));
    ULONG index = 7;
    ULONG latencies[2] = {};
    sim::IoctlResult r = m_Client->Ioctl(IOCTL_ASIO_SET_LATENCY, &index, sizeof(index), latencies, sizeof(latencies));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(latencies[0], 50u * 48);
    EXPECT_TRUE(m_Process->IsEventSignalled(notify));
    m_Client->Close();
    m_Process->CloseHandle(notify);
}

TEST_F(AsioSettingsTest, LatencyTableIntoALargerBuffer) {
    OpenHeadset();
    UCHAR reply[64];
    std::memset(reply, 0xEE, sizeof(reply));
    sim::IoctlResult r = m_Client->Ioctl(IOCTL_ASIO_GET_LATENCY_TABLE, NULL, 0, reply, sizeof(reply));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 64u);
    for (int i = 40; i < 64; ++i) EXPECT_EQ(reply[i], 0) << i;
    r = m_Client->Ioctl(IOCTL_ASIO_GET_LATENCY_TABLE, NULL, 0, NULL, 0);
    EXPECT_EQ(r.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(r.information, 40u);
    r = m_Client->Ioctl(IOCTL_ASIO_GET_LATENCY_TABLE, NULL, 0, reply, 39);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
}

// The type set by one handle is pending: the channel type stays the type
// in effect until a close after which no client owns buffers.
TEST_F(AsioSettingsTest, SampleTypeTakesEffectAtACloseWithoutOwner) {
    Start({AsioEngine(false, {PcmFormat(2, 48000, 16), PcmFormat(2, 48000, 24)})});
    sim::UserProcess& otherProcess = *m_Others.emplace_back(std::make_unique<sim::UserProcess>());
    AsioClient& owner = *m_OtherClients.emplace_back(std::make_unique<AsioClient>(otherProcess));
    ASSERT_EQ(m_Client->Open(AsioLink()), STATUS_SUCCESS);
    ASSERT_EQ(owner.Open(AsioLink()), STATUS_SUCCESS);
    ASSERT_EQ(m_Client->Set(IOCTL_ASIO_SET_SAMPLE_TYPE, ASIOSTInt24LSB), STATUS_SUCCESS);
    EXPECT_EQ(m_Client->Get(IOCTL_ASIO_GET_SAMPLE_TYPES, 4), (std::vector<ULONG>{17, 2, 16, 17}));
    ASIOChannelInfo info = {};
    ASSERT_EQ(m_Client->Ioctl(IOCTL_ASIO_GET_CHANNEL_INFO, &info, sizeof(info), &info, sizeof(info)).status,
              STATUS_SUCCESS);
    EXPECT_EQ(info.type, 16);
    ASSERT_EQ(owner.CreateBuffers({{0, 0}}, 256, 1), STATUS_SUCCESS);
    m_Client->Close();  // another client owns buffers: nothing is saved
    EXPECT_EQ(Stored(u"ASIOMLDataBitDepth"), ~0u);
    EXPECT_EQ(State().m_nAsioSampleType, 16u);
    owner.Close();
    EXPECT_EQ(Stored(u"ASIOMLDataBitDepth"), 17u);
    EXPECT_EQ(State().m_nAsioSampleType, 17u);
}

TEST_F(AsioSettingsTest, ChannelInfoNamesThePinAndItsChannel) {
    Start({AsioEngine(true, {PcmFormat(2, 48000, 16)}), AsioEngine(false, {PcmFormat(2, 48000, 16)}),
           AsioEngine(true, {PcmFormat(2, 48000, 16)})});
    ASSERT_EQ(m_Client->Open(AsioLink()), STATUS_SUCCESS);
    WCHAR name[STREAM_NAME_MAX_CHARS + 1] = {};
    ASSERT_EQ(Engine(2)->GetName(name), STATUS_SUCCESS);
    std::string expected;
    for (const WCHAR* c = name; *c; ++c) expected += (char)*c;
    ASIOChannelInfo info = {};
    info.channel = 2;
    info.isInput = 5;  // any nonzero value is an input
    sim::IoctlResult r = m_Client->Ioctl(IOCTL_ASIO_GET_CHANNEL_INFO, &info, sizeof(info), &info, sizeof(info));
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(std::string(info.name), (expected + "_00 ch").substr(0, 31));
    EXPECT_EQ(info.isActive, 0);
    EXPECT_EQ(info.channel, 2);
    info.channel = 4;
    EXPECT_EQ(m_Client->Ioctl(IOCTL_ASIO_GET_CHANNEL_INFO, &info, sizeof(info), &info, sizeof(info)).status,
              STATUS_INVALID_PARAMETER);
}

TEST_F(AsioSettingsTest, IoFormatQueriesChangeNothing) {
    OpenDsdDevice();
    EXPECT_EQ(m_Client->Set(IOCTL_ASIO_CAN_IO_FORMAT, 1), STATUS_SUCCESS);
    EXPECT_EQ(m_Client->Set(IOCTL_ASIO_CAN_IO_FORMAT, 2), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_Client->Get(IOCTL_ASIO_GET_IO_FORMAT, 1)[0], 0u);
    EXPECT_EQ(m_Client->Get(IOCTL_ASIO_GET_CHANNELS, 4), (std::vector<ULONG>{2, 2, 2, 0}));
}

// A DSD format of 0 bits has no rate: it never matches and divides nothing.
TEST_F(AsioSettingsTest, DsdFormatOfNoBitsMatchesNoRate) {
    WAVEFORMATEXTENSIBLE noBits = DsdFormat(2, 2822400, 0);
    noBits.Format.nBlockAlign = 16;
    Start({AsioEngine(false, {noBits, DsdFormat(2, 3072000)})});
    ASSERT_EQ(m_Client->Open(AsioLink()), STATUS_SUCCESS);
    ASSERT_EQ(m_Client->Set(IOCTL_ASIO_SET_IO_FORMAT, 1), STATUS_SUCCESS);
    EXPECT_EQ(m_Client->Set(IOCTL_ASIO_CAN_SAMPLE_RATE, 2822400), STATUS_UNSUCCESSFUL);
}

TEST_F(AsioSettingsTest, EveryClientHearsAChangeAndNotifyEventsBalance) {
    OpenHeadset();
    sim::UserProcess& otherProcess = *m_Others.emplace_back(std::make_unique<sim::UserProcess>());
    AsioClient& other = *m_OtherClients.emplace_back(std::make_unique<AsioClient>(otherProcess));
    ASSERT_EQ(other.Open(AsioLink()), STATUS_SUCCESS);
    HANDLE mine = m_Process->CreateEvent(false, false);
    HANDLE theirs = otherProcess.CreateEvent(false, false);
    ASSERT_EQ(m_Client->SendHandle(IOCTL_ASIO_SET_NOTIFY_EVENT, mine), STATUS_SUCCESS);
    EXPECT_EQ(m_Client->SendHandle(IOCTL_ASIO_SET_NOTIFY_EVENT, mine), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(other.SendHandle(IOCTL_ASIO_SET_NOTIFY_EVENT, theirs), STATUS_SUCCESS);
    ASSERT_EQ(other.Set(IOCTL_ASIO_SET_SAMPLE_TYPE, 16), STATUS_SUCCESS);
    EXPECT_TRUE(m_Process->IsEventSignalled(mine));
    EXPECT_TRUE(otherProcess.IsEventSignalled(theirs));
    EXPECT_EQ(m_Client->Ioctl(IOCTL_ASIO_CLEAR_NOTIFY_EVENT, NULL, 0, NULL, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(m_Client->Ioctl(IOCTL_ASIO_CLEAR_NOTIFY_EVENT, NULL, 0, NULL, 0).status, STATUS_INVALID_PARAMETER);
    // A handle that is not an event.
    EXPECT_NE(m_Client->SendHandle(IOCTL_ASIO_SET_NOTIFY_EVENT, (HANDLE)0x7770), STATUS_SUCCESS);
    other.Close();  // its reference goes with the close
    m_Client->Close();
    m_Process->CloseHandle(mine);
    otherProcess.CloseHandle(theirs);
}

struct NameCase {
    const char* name;
    std::u16string product;  // empty: no product string
    ULONG outLength;
    NTSTATUS status;
    std::string text;
    ULONG information;
};

class DriverNames : public AsioSettingsTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(DriverNames, Answer) {
    simusb::DescriptorSet set = simusb::BuildUac1Headset();
    if (GetParam().product.empty()) {
        set.device[15] = 0;  // iProduct
    } else {
        set.strings[set.device[15]] = simusb::BuildStringDescriptor(GetParam().product);
    }
    Start(HeadsetEngines(), set);
    ASSERT_EQ(m_Client->Open(AsioLink()), STATUS_SUCCESS);
    char out[64];
    std::memset(out, 0x5A, sizeof(out));
    sim::IoctlResult r = m_Client->Ioctl(IOCTL_ASIO_GET_DRIVER_NAME, NULL, 0, GetParam().outLength ? out : NULL,
                                      GetParam().outLength);
    EXPECT_EQ(r.status, GetParam().status);
    EXPECT_EQ(r.information, GetParam().information);
    if (NT_SUCCESS(r.status)) {
        EXPECT_EQ(std::string(out), GetParam().text);
    }
}
INSTANTIATE_TEST_SUITE_P(
    Table, DriverNames,
    ::testing::Values(NameCase{"Default", u"", 64, STATUS_SUCCESS, "Tavrel USB ASIO Device", 23},
                      NameCase{"DefaultCut", u"", 5, STATUS_SUCCESS, "Tavr", 5},
                      NameCase{"DefaultSize", u"", 0, STATUS_BUFFER_OVERFLOW, "", 23},
                      NameCase{"TrailingBlanks", u"Box   ", 64, STATUS_SUCCESS, "Box", 4},
                      NameCase{"TooSmall", u"Headset", 3, STATUS_BUFFER_TOO_SMALL, "", 0}),
    [](const auto& info) { return std::string(info.param.name); });

// A product string descriptor shorter than its header, or of another
// type, names nothing: no terminator lands outside the reply buffer.
TEST_F(AsioSettingsTest, MalformedProductStringIsRefused) {
    for (simusb::Bytes bytes : {simusb::Bytes{1, 3}, simusb::Bytes{8, 2, 'A', 0, 'B', 0, 'C', 0}}) {
        simusb::DescriptorSet set = simusb::BuildUac1Headset();
        set.strings[set.device[15]] = bytes;
        Start(HeadsetEngines(), set);
        sim::UserProcess p;
        AsioClient c(p);
        ASSERT_EQ(c.Open(AsioLink()), STATUS_SUCCESS);
        char out[64] = {};
        EXPECT_EQ(c.Ioctl(IOCTL_ASIO_GET_DRIVER_NAME, NULL, 0, out, sizeof(out)).status, STATUS_UNSUCCESSFUL);
        c.Close();
        RemoveAndUnload();
    }
}

}  // namespace
}  // namespace asiotest
