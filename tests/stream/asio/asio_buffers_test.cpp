// ASIO buffers on the real operations: ring geometry and headers, whole
// zeroed pages mapped into the owner's process only, channel selection and
// the signalling pin, the 32-bit reply, and every refusal leaving nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "sim/iomgr.h"
#include "sim/pool.h"
#include "tests/stream/asio/asio_fixture.h"

namespace asiotest {
namespace {

using streamfakes::PcmFormat;

constexpr ULONG kUsbdTag = MakePoolTag("USBd");

struct GeometryCase {
    const char* name;
    ULONG sampleType;  // made the type in effect by a close
    ULONG ioFormat;
    ULONG rate;
    ULONG frames;
    ULONG size;
    UCHAR fill;
    ULONG framesPerTransfer;
    ULONG registered;
    ULONG ringBytes;
    ULONG position;
    USHORT formatBits;
    ULONG formatRate;
};

class Geometry : public AsioTest, public ::testing::WithParamInterface<GeometryCase> {};

TEST_P(Geometry, RingHeaderAndRegistration) {
    const GeometryCase& c = GetParam();
    Start({AsioEngine(false, {PcmFormat(2, 48000, 16), PcmFormat(2, 44100, 24), DsdFormat(2, 2822400)})});
    ASSERT_EQ(m_Client->Open(AsioLink()), STATUS_SUCCESS);
    ASSERT_EQ(m_Client->Set(IOCTL_ASIO_SET_SAMPLE_TYPE, c.sampleType), STATUS_SUCCESS);
    m_Client->Close();
    ASSERT_EQ(m_Client->Open(AsioLink()), STATUS_SUCCESS);
    ASSERT_EQ(m_Client->Set(IOCTL_ASIO_SET_IO_FORMAT, c.ioFormat), STATUS_SUCCESS);
    ASSERT_EQ(m_Client->Set(IOCTL_ASIO_SET_SAMPLE_RATE, c.rate), STATUS_SUCCESS);
    ASSERT_EQ(m_Client->CreateBuffers({{0, 0}, {0, 1}}, c.frames, 1), STATUS_SUCCESS);

    ASIO_BUFFER* h = m_Client->Header(0);
    EXPECT_EQ(m_Client->Addresses()[0] % PAGE_SIZE, 0u) << "the mapping starts on a page";
    EXPECT_EQ(h->Size, c.size);
    EXPECT_EQ(h->Channels, 2u);
    EXPECT_EQ(h->IsInput, 0u);
    EXPECT_EQ(h->Selected, 1u);
    EXPECT_EQ(h->SignalsPeriod, 1u);
    const UCHAR* ring = m_Client->Ring(0);
    const ULONG block = (40 + c.size + PAGE_SIZE - 1) / PAGE_SIZE * PAGE_SIZE;
    for (ULONG i = 0; i < c.size; ++i) ASSERT_EQ(ring[i], c.fill) << i;
    for (ULONG i = 40 + c.size; i < block; ++i) ASSERT_EQ(reinterpret_cast<UCHAR*>(h)[i], 0) << i;

    PCYCLIC_CLIENT client = Engine(0)->Registered();
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->Priority, (ULONG)CYCLIC_CLIENT_ASIO);
    EXPECT_EQ(client->FramesPerTransfer, c.framesPerTransfer);
    EXPECT_EQ(client->Transfers, c.registered);
    EXPECT_EQ(client->Format.Format.wBitsPerSample, c.formatBits);
    EXPECT_EQ(client->Format.Format.nSamplesPerSec, c.formatRate);

    ASSERT_EQ(m_Client->Start(), STATUS_SUCCESS);
    EXPECT_EQ(h->RingBytes, c.ringBytes);
    EXPECT_EQ(h->Position, c.position);
    EXPECT_EQ(h->StartPosition, c.position);
    ASSERT_EQ(m_Client->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(ring[0], c.ioFormat == 1 ? 0x96 : 0);
    ASSERT_EQ(m_Client->Dispose(), STATUS_SUCCESS);
    EXPECT_EQ(m_Process->UserMappingCount(), 0u);
    EXPECT_EQ(Engine(0)->Registered(), nullptr);
}
INSTANTIATE_TEST_SUITE_P(
    Table, Geometry,
    ::testing::Values(GeometryCase{"Pcm48k256", 16, 0, 48000, 256, 7680, 0, 1, 4, 768, 0, 16, 48000},
                      GeometryCase{"Pcm48k96", 16, 0, 48000, 96, 7680, 0, 1, 2, 384, 7680 - 192, 16, 48000},
                      GeometryCase{"Pcm48k1024", 16, 0, 48000, 1024, 7680, 0, 5, 3, 2880, 0, 16, 48000},
                      // 44 frames per ms: 5 ms transfers of 1320 bytes.
                      GeometryCase{"Pcm44k1Type17", 17, 0, 44100, 1024, 10584, 0, 5, 3, 3960, 0, 24, 44100},
                      // 44 DSD frames per ms, 16 bytes each.
                      GeometryCase{"Dsd2822400", 16, 1, 2822400, 1024, 28224, 0x69, 5, 3, 10560, 0, 64, 44100}),
    [](const auto& info) { return std::string(info.param.name); });

class AsioBuffersTest : public AsioTest {
protected:
    // Stereo out, stereo in, 16-bit at 48 kHz.
    void StartStereoBoth() {
        Start({AsioEngine(false, {PcmFormat(2, 48000, 16), DsdFormat(2, 2822400)}),
               AsioEngine(true, {PcmFormat(2, 48000, 16), DsdFormat(2, 2822400)})});
        ASSERT_EQ(m_Client->Open(AsioLink()), STATUS_SUCCESS);
    }
    AsioClient& Another(bool is32Bit = false) {
        sim::UserProcess& p = *m_Others.emplace_back(std::make_unique<sim::UserProcess>(is32Bit));
        return *m_OtherClients.emplace_back(std::make_unique<AsioClient>(p));
    }
};

TEST_F(AsioBuffersTest, CapturePinSignalsWhenSelected) {
    StartStereoBoth();
    ASSERT_EQ(m_Client->CreateBuffers({{0, 0}, {0, 1}, {1, 0}, {1, 1}}, 256, 2), STATUS_SUCCESS);
    ASSERT_EQ(m_Client->Addresses().size(), 2u);
    EXPECT_EQ(m_Client->Header(0)->SignalsPeriod, 0u);
    EXPECT_EQ(m_Client->Header(1)->SignalsPeriod, 1u);
    EXPECT_EQ(m_Client->Header(1)->IsInput, 1u);
    EXPECT_EQ(m_Client->Header(1)->FirstChannel, 0u);
    EXPECT_NE(Engine(1)->Registered(), nullptr);
    EXPECT_EQ(m_Client->Get(IOCTL_ASIO_GET_BUFFERS_CREATED, 1)[0], 1u);
}

TEST_F(AsioBuffersTest, OutputsOnlyLeaveTheCaptureRingUnregistered) {
    StartStereoBoth();
    ASSERT_EQ(m_Client->CreateBuffers({{0, 1}, {7, 0}}, 256, 2), STATUS_SUCCESS);
    EXPECT_EQ(m_Client->Header(0)->SignalsPeriod, 1u);
    EXPECT_EQ(m_Client->Header(1)->Selected, 0u);
    EXPECT_EQ(Engine(1)->Registered(), nullptr);
    EXPECT_EQ(m_Process->UserMappingCount(), 2u);
}

TEST_F(AsioBuffersTest, ThirtyTwoBitCallerGetsFourByteAddresses) {
    StartStereoBoth();
    AsioClient& small = Another(true);
    ASSERT_EQ(small.Open(AsioLink()), STATUS_SUCCESS);
    ASSERT_EQ(small.CreateBuffers({{0, 0}}, 256, 2), STATUS_SUCCESS);
    ASSERT_EQ(small.Addresses().size(), 2u);
    EXPECT_EQ(small.Addresses()[0], (ULONGLONG)(ULONG_PTR)State().m_pAsioPins[0].UserAddress)
        << "the whole address, below 4 GiB";
    EXPECT_NE(small.Header(0), State().m_pAsioPins[0].Buffer) << "the process's own view";
    EXPECT_EQ(small.Header(0)->Size, State().m_pAsioPins[0].Header.Size);
    EXPECT_EQ(small.CreateBuffers({{0, 0}}, 256, 2, 16), STATUS_INVALID_PARAMETER) << "owner with buffers";
}

TEST_F(AsioBuffersTest, SecondHandleWaitsForTheOwnersClose) {
    StartStereoBoth();
    AsioClient& second = Another();
    ASSERT_EQ(second.Open(AsioLink()), STATUS_SUCCESS);
    ASSERT_EQ(m_Client->CreateBuffers({{0, 0}}, 256, 2), STATUS_SUCCESS);
    EXPECT_EQ(second.CreateBuffers({{0, 0}}, 256, 2), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(second.Dispose(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(second.Start(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(second.Get(IOCTL_ASIO_GET_BUFFERS_CREATED, 1)[0], 1u) << "any owner counts";
    m_Client->Close();
    EXPECT_EQ(m_Process->UserMappingCount(), 0u);
    ASSERT_EQ(second.CreateBuffers({{0, 0}}, 256, 2), STATUS_SUCCESS);
    EXPECT_EQ(second.Process().UserMappingCount(), 2u);
}

// The owner a failed creation leaves behind creates again and is counted
// as holding buffers.
TEST_F(AsioBuffersTest, OwnerLeftByAFailureCreatesAgain) {
    StartStereoBoth();
    ASSERT_EQ(m_Client->CreateBuffers({{0, 0}}, 256, 2, 8), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_Client->Get(IOCTL_ASIO_GET_BUFFERS_CREATED, 1)[0], 0u);
    ASSERT_EQ(m_Client->CreateBuffers({{0, 0}}, 256, 2), STATUS_SUCCESS);
    EXPECT_EQ(m_Client->Get(IOCTL_ASIO_GET_BUFFERS_CREATED, 1)[0], 1u);
}

struct RefusalCase {
    const char* name;
    std::function<void(AsioBuffersTest&)> arrange;
    std::vector<Channel> channels;
    ULONG replyLength;  // 0: the right one
    NTSTATUS status;
    ULONG ownedAfter;  // GET_BUFFERS_CREATED afterwards
};

class Refusals : public AsioBuffersTest, public ::testing::WithParamInterface<RefusalCase> {
public:
    void SetType(ULONG type, bool reopen) {
        ASSERT_EQ(m_Client->Set(IOCTL_ASIO_SET_SAMPLE_TYPE, type), STATUS_SUCCESS);
        if (!reopen) return;
        m_Client->Close();
        ASSERT_EQ(m_Client->Open(AsioLink()), STATUS_SUCCESS);
    }
};

TEST_P(Refusals, LeaveNothing) {
    StartStereoBoth();
    const int64_t usbdBefore = sim::PoolLiveBlocks(kUsbdTag);
    GetParam().arrange(*this);
    EXPECT_EQ(m_Client->CreateBuffers(GetParam().channels, 256, 2, GetParam().replyLength), GetParam().status);
    sim::PoolClearFailures();
    EXPECT_EQ(m_Process->UserMappingCount(), 0u);
    EXPECT_EQ(Engine(0)->Registered(), nullptr);
    EXPECT_EQ(Engine(1)->Registered(), nullptr);
    EXPECT_EQ(sim::PoolLiveBlocks(kUsbdTag), usbdBefore);
    EXPECT_EQ(m_Client->Get(IOCTL_ASIO_GET_BUFFERS_CREATED, 1)[0], GetParam().ownedAfter);
    for (ULONG i = 0; i < 2; ++i) EXPECT_EQ(State().m_pAsioPins[i].Buffer, nullptr);
}
INSTANTIATE_TEST_SUITE_P(
    Table, Refusals,
    ::testing::Values(
        RefusalCase{"DeviceGone", [](AsioBuffersTest& t) { t.Port().bus().Unplug(); }, {{0, 0}}, 0,
                    STATUS_INVALID_PARAMETER, 0},
        // The ownership taken before the rate test stays.
        // DSD mode at the PCM rate the client started with.
        RefusalCase{"RateUnfit", [](AsioBuffersTest& t) { t.m_Client->Set(IOCTL_ASIO_SET_IO_FORMAT, 1); },
                    {{0, 0}}, 0, STATUS_INVALID_PARAMETER, 1},
        RefusalCase{"TypeWithoutWidth", [](AsioBuffersTest& t) { static_cast<Refusals&>(t).SetType(99, true); },
                    {{0, 0}}, 0, STATUS_INVALID_PARAMETER, 0},
        RefusalCase{"RingMemory", [](AsioBuffersTest&) { sim::PoolFailTag(kUsbdTag); }, {{0, 0}}, 0,
                    STATUS_INSUFFICIENT_RESOURCES, 0},
        RefusalCase{"MdlMemory", [](AsioBuffersTest&) { sim::PoolFailTag(MakePoolTag("Mdl ")); }, {{0, 0}}, 0,
                    STATUS_INSUFFICIENT_RESOURCES, 0},
        RefusalCase{"MappingRaises", [](AsioBuffersTest&) { sim::MmFailUserMappings(2); }, {{0, 0}}, 0,
                    STATUS_INSUFFICIENT_RESOURCES, 0},
        RefusalCase{"ReplyLength", [](AsioBuffersTest&) {}, {{0, 0}}, 8, STATUS_INVALID_PARAMETER, 0},
        RefusalCase{"NoChannelFits", [](AsioBuffersTest&) {}, {{0, 2}, {1, 9}, {2, 0}}, 0, STATUS_INVALID_PARAMETER,
                    0},
        // The owner's own type wants 32-bit samples the pin lacks.
        RefusalCase{"NoMatch", [](AsioBuffersTest& t) { static_cast<Refusals&>(t).SetType(18, false); },
                    {{0, 0}}, 0, STATUS_NO_MATCH, 0},
        RefusalCase{"RegisterFails",
                    [](AsioBuffersTest& t) { t.Engine(1)->Fail("register", STATUS_DEVICE_BUSY); },
                    {{0, 0}, {1, 0}}, 0, STATUS_DEVICE_BUSY, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace asiotest
