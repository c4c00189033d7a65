// The 22 ASIO control codes through the METHOD_BUFFERED harness, against a
// recording IAsioDevice behind the fake adapter: which operation runs with
// which arguments, the status, Information and the bytes the caller gets
// back (zeros past what the operation wrote, never the buffer's old bytes).
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "adapter/private_interfaces.h"
#include "sim/iomgr.h"
#include "sim/ioctl_harness.h"
#include "sim/send_irp.h"
#include "sim/pool.h"
#include "tests/fakes/adapter/asio_recorder.h"
#include "tests/fakes/adapter/driver_fixture.h"
#include "tests/fakes/adapter/fake_adapter.h"

namespace {

using fakes::Asio;

// The codes from the control-code formula, independently of the driver's
// macros: device type 0x1D, METHOD_BUFFERED.
constexpr ULONG Code(ULONG function, ULONG access) { return (0x1Du << 16) | (access << 14) | (function << 2); }
constexpr ULONG kRead = 1, kWrite = 2, kBoth = 3;

fakes::EngineSpec AsioEngine() {
    fakes::EngineSpec spec;
    spec.caps.Flags = ENDPOINT_CAPS_ASIO;
    return spec;
}

class AsioDispatchTest : public fakes::DriverTest {
protected:
    void SetUp() override {
        fakes::DriverTest::SetUp();
        fakes::NextAdapter().engines = {AsioEngine()};
        LoadAndAdd();
        ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
        ASSERT_TRUE(Context()->AsioInterfaceEnabled);
    }
};

std::vector<UCHAR> Ulongs(std::initializer_list<ULONG> values) {
    std::vector<UCHAR> bytes;
    for (ULONG v : values)
        for (int i = 0; i < 4; ++i) bytes.push_back((UCHAR)(v >> (8 * i)));
    return bytes;
}

std::vector<UCHAR> Ulonglongs(std::initializer_list<ULONGLONG> values) {
    std::vector<UCHAR> bytes;
    for (ULONGLONG v : values)
        for (int i = 0; i < 8; ++i) bytes.push_back((UCHAR)(v >> (8 * i)));
    return bytes;
}

std::vector<UCHAR> Then(std::vector<UCHAR> a, const std::vector<UCHAR>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A creation request: header and `count` entries (not all of them when
// `entries` is smaller).
std::vector<UCHAR> CreateRequest(ULONG count, ULONG entries) {
    std::vector<UCHAR> bytes = Ulongs({0, count, 256});
    for (ULONG i = 0; i < entries; ++i) bytes = Then(bytes, Ulongs({i & 1, i / 2}));
    return bytes;
}

struct IoctlCase {
    const char* name;
    ULONG code;
    std::vector<UCHAR> in;
    ULONG out;
    bool is32Bit;
    // The recorder's answers.
    NTSTATUS answer;
    std::vector<UCHAR> reply;
    std::optional<ULONG> lengthOut;
    // Expected.
    std::vector<std::string> calls;
    NTSTATUS status;
    ULONG_PTR information;
    std::vector<UCHAR> returned;
    std::optional<ULONG> value = std::nullopt;  // the first call's ULONG argument
    std::optional<ULONG_PTR> handle = std::nullopt;
};

std::ostream& operator<<(std::ostream& out, const IoctlCase& c) { return out << c.name; }

class IoctlTable : public AsioDispatchTest, public ::testing::WithParamInterface<IoctlCase> {};

TEST_P(IoctlTable, CallsAnswersAndCopiesBack) {
    const IoctlCase& c = GetParam();
    sim::UserProcess process(c.is32Bit);
    sim::UserHandle handle(process);
    ASSERT_EQ(handle.OpenInterface(AsioLink()), STATUS_SUCCESS);
    Asio().Reset();
    for (const std::string& name : c.calls) Asio().status[name] = c.answer;
    Asio().reply = c.reply;
    Asio().lengthOut = c.lengthOut;

    constexpr UCHAR kUntouched = 0xEE;
    std::vector<UCHAR> out(c.out + 1, kUntouched);
    sim::IoctlResult r =
        handle.DeviceIoControl(c.code, c.in.empty() ? NULL : c.in.data(), (ULONG)c.in.size(), out.data(), c.out);
    EXPECT_EQ(Asio().Names(), c.calls);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.information, c.information);
    ASSERT_EQ(r.bytesCopied, c.returned.size());
    EXPECT_EQ(std::vector<UCHAR>(out.begin(), out.begin() + r.bytesCopied), c.returned);
    EXPECT_EQ(out[c.out], kUntouched);
    std::vector<fakes::AsioCall> calls = Asio().Calls();
    if (c.value) {
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls[0].value, *c.value);
    }
    if (c.handle) {
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls[0].handle, *c.handle);
    }
    for (const fakes::AsioCall& call : calls) EXPECT_EQ(call.file, handle.FileObject());
}

const std::vector<UCHAR> kName = {'D', 'e', 'v', 0};
const std::vector<UCHAR> kChannels = Ulongs({1, 2, 0, 0});
const std::vector<UCHAR> kZeros84(84, 0);

INSTANTIATE_TEST_SUITE_P(
    Codes, IoctlTable,
    ::testing::Values(
        IoctlCase{"DriverName", Code(0x800, kRead), {}, 16, false, STATUS_SUCCESS, kName, 4u,
                  {"AsioGetDriverName"}, STATUS_SUCCESS, 4, kName},
        IoctlCase{"DriverNameSizeAnswer", Code(0x800, kRead), {}, 0, false, STATUS_BUFFER_OVERFLOW, {}, 20u,
                  {"AsioGetDriverName"}, STATUS_BUFFER_OVERFLOW, 20, {}},
        IoctlCase{"DriverNameNeverMoreThanTheBuffer", Code(0x800, kRead), {}, 4, false, STATUS_SUCCESS, kName, 9u,
                  {"AsioGetDriverName"}, STATUS_SUCCESS, 4, kName},
        IoctlCase{"Channels", Code(0x801, kRead), {}, 16, false, STATUS_SUCCESS, kChannels, {}, {"AsioGetChannels"},
                  STATUS_SUCCESS, 16, kChannels},
        // The operation wrote 16 bytes; the other 84 come back as zeros.
        IoctlCase{"ChannelsLargeBufferNoStaleBytes", Code(0x801, kRead), {}, 100, false, STATUS_SUCCESS, kChannels, {},
                  {"AsioGetChannels"}, STATUS_SUCCESS, 100, Then(kChannels, kZeros84)},
        IoctlCase{"ChannelsRefused", Code(0x801, kRead), {}, 16, false, STATUS_INVALID_PARAMETER, kChannels, {},
                  {"AsioGetChannels"}, STATUS_INVALID_PARAMETER, 0, {}},
        IoctlCase{"ChannelInfo", Code(0x802, kBoth), Then(Ulongs({3, 1}), std::vector<UCHAR>(44, 0)), 52, false,
                  STATUS_SUCCESS, Ulongs({3, 1, 1}), {}, {"AsioGetChannelInfo"}, STATUS_SUCCESS, 52,
                  Then(Ulongs({3, 1, 1}), std::vector<UCHAR>(40, 0)), 3u},
        IoctlCase{"SampleTypes", Code(0x803, kRead), {}, 12, false, STATUS_SUCCESS, Ulongs({16, 1, 16}), 12u,
                  {"AsioGetSampleTypes"}, STATUS_SUCCESS, 12, Ulongs({16, 1, 16})},
        IoctlCase{"LatencyTable", Code(0x804, kRead), {}, 40, false, STATUS_BUFFER_TOO_SMALL, {}, 40u,
                  {"AsioGetLatencyTable"}, STATUS_BUFFER_TOO_SMALL, 0, {}},
        IoctlCase{"NotifyEvent64", Code(0x805, kWrite), Ulonglongs({0x1122334455667788ull}), 0, false, STATUS_SUCCESS,
                  {}, {}, {"AsioSetNotifyEvent"}, STATUS_SUCCESS, 0, {}, {}, 0x1122334455667788ull},
        IoctlCase{"NotifyEvent64FourBytesCallsNothing", Code(0x805, kWrite), Ulongs({7}), 0, false, STATUS_SUCCESS, {},
                  {}, {}, STATUS_SUCCESS, 0, {}},
        IoctlCase{"NotifyEvent32ZeroExtended", Code(0x805, kWrite), Ulongs({0x89ABCDEF}), 0, true, STATUS_SUCCESS, {},
                  {}, {"AsioSetNotifyEvent"}, STATUS_SUCCESS, 0, {}, {}, 0x89ABCDEFull},
        IoctlCase{"NotifyEvent32EightBytesCallsNothing", Code(0x805, kWrite), Ulonglongs({7}), 0, true,
                  STATUS_SUCCESS, {}, {}, {}, STATUS_SUCCESS, 0, {}},
        IoctlCase{"BuffersCreatedSizeAnswer", Code(0x806, kRead), {}, 0, false, STATUS_SUCCESS, {}, {}, {},
                  STATUS_BUFFER_OVERFLOW, 4, {}},
        IoctlCase{"BuffersCreatedTooSmall", Code(0x806, kRead), {}, 2, false, STATUS_SUCCESS, {}, {}, {},
                  STATUS_BUFFER_TOO_SMALL, 0, {}},
        IoctlCase{"BuffersCreated", Code(0x806, kRead), {}, 4, false, STATUS_SUCCESS, Ulongs({1}), {},
                  {"AsioGetBuffersCreated"}, STATUS_SUCCESS, 4, Ulongs({1})},
        IoctlCase{"SampleType", Code(0x807, kWrite), Ulongs({27}), 0, false, STATUS_SUCCESS, {}, {},
                  {"AsioSetSampleType"}, STATUS_SUCCESS, 0, {}, 27u},
        IoctlCase{"SampleTypeShortInput", Code(0x807, kWrite), {27, 0}, 0, false, STATUS_SUCCESS, {}, {}, {},
                  STATUS_SUCCESS, 0, {}},
        IoctlCase{"LatencyWithoutReply", Code(0x808, kWrite), Ulongs({3}), 0, false, STATUS_SUCCESS, {}, {},
                  {"AsioSetLatency"}, STATUS_SUCCESS, 0, {}, 3u},
        IoctlCase{"LatencyWithReply", Code(0x808, kWrite), Ulongs({3}), 8, false, STATUS_SUCCESS, Ulongs({960, 1920}),
                  {}, {"AsioSetLatency", "AsioGetLatencies"}, STATUS_SUCCESS, 8, Ulongs({960, 1920}), 3u},
        IoctlCase{"Latencies", Code(0x809, kRead), {}, 8, false, STATUS_SUCCESS, Ulongs({960, 1920}), {},
                  {"AsioGetLatencies"}, STATUS_SUCCESS, 8, Ulongs({960, 1920})},
        IoctlCase{"LatenciesShort", Code(0x809, kRead), {}, 7, false, STATUS_SUCCESS, {}, {}, {}, STATUS_SUCCESS, 0,
                  {}},
        IoctlCase{"SampleRate", Code(0x80A, kRead), {}, 4, false, STATUS_SUCCESS, Ulongs({48000}), {},
                  {"AsioGetSampleRate"}, STATUS_SUCCESS, 4, Ulongs({48000})},
        IoctlCase{"SampleRateTwoBytesCallsNothing", Code(0x80A, kRead), {}, 2, false, STATUS_SUCCESS, {}, {}, {},
                  STATUS_SUCCESS, 0, {}},
        IoctlCase{"CanSampleRate", Code(0x80B, kWrite), Ulongs({96000}), 0, false, STATUS_UNSUCCESSFUL, {}, {},
                  {"AsioCanSampleRate"}, STATUS_UNSUCCESSFUL, 0, {}, 96000u},
        IoctlCase{"SetSampleRate", Code(0x80C, kWrite), Ulongs({44100}), 0, false, STATUS_SUCCESS, {}, {},
                  {"AsioSetSampleRate"}, STATUS_SUCCESS, 0, {}, 44100u},
        IoctlCase{"BufferSize", Code(0x80D, kRead), {}, 16, false, STATUS_SUCCESS, Ulongs({192, 2400, 960, 1}), {},
                  {"AsioGetBufferSize"}, STATUS_SUCCESS, 16, Ulongs({192, 2400, 960, 1})},
        IoctlCase{"BufferSizeShort", Code(0x80D, kRead), {}, 15, false, STATUS_SUCCESS, {}, {}, {}, STATUS_SUCCESS, 0,
                  {}},
        IoctlCase{"CreateBuffers64", Code(0x80E, kBoth), CreateRequest(2, 2), 16, false, STATUS_SUCCESS,
                  Ulonglongs({0x1000, 0x2000}), 16u, {"AsioCreateBuffers"}, STATUS_SUCCESS, 16,
                  Ulonglongs({0x1000, 0x2000}), 2u},
        // 32-bit: the low 4 bytes of each address, in half the length.
        IoctlCase{"CreateBuffers32", Code(0x80E, kBoth), CreateRequest(2, 2), 8, true, STATUS_SUCCESS,
                  Ulonglongs({0x123456789ull, 0x1ABCDEF01ull}), 16u, {"AsioCreateBuffers"}, STATUS_SUCCESS, 8,
                  Ulongs({0x23456789, 0xABCDEF01}), 2u},
        // An operation claiming more than the temporary buffer holds.
        IoctlCase{"CreateBuffers32LengthBounded", Code(0x80E, kBoth), CreateRequest(1, 1), 4, true, STATUS_SUCCESS,
                  Ulonglongs({0x123456789ull}), 64u, {"AsioCreateBuffers"}, STATUS_SUCCESS, 4, Ulongs({0x23456789}),
                  1u},
        IoctlCase{"CreateBuffersRequestShorterThanItsEntries", Code(0x80E, kBoth), CreateRequest(2, 1), 16, false,
                  STATUS_SUCCESS, {}, {}, {}, STATUS_INVALID_PARAMETER, 0, {}},
        IoctlCase{"CreateBuffersNoRoomForTheCount", Code(0x80E, kBoth), Ulongs({0}), 16, false, STATUS_SUCCESS, {}, {},
                  {}, STATUS_INVALID_PARAMETER, 0, {}},
        // 12 + 8m needs more than 32 bits.
        IoctlCase{"CreateBuffersHugeCount", Code(0x80E, kBoth), CreateRequest(0x20000000, 1), 16, false,
                  STATUS_SUCCESS, {}, {}, {}, STATUS_INVALID_PARAMETER, 0, {}},
        IoctlCase{"CreateBuffersNoInput", Code(0x80E, kBoth), {}, 16, false, STATUS_SUCCESS, {}, {}, {}, STATUS_SUCCESS,
                  0, {}},
        IoctlCase{"DisposeBuffers", Code(0x80F, kWrite), {}, 0, false, STATUS_INVALID_PARAMETER, {}, {},
                  {"AsioDisposeBuffers"}, STATUS_INVALID_PARAMETER, 0, {}},
        IoctlCase{"Start64", Code(0x810, kWrite), Ulonglongs({0x88}), 0, false, STATUS_SUCCESS, {}, {}, {"AsioStart"},
                  STATUS_SUCCESS, 0, {}, {}, 0x88u},
        IoctlCase{"Start32", Code(0x810, kWrite), Ulongs({0x88}), 0, true, STATUS_SUCCESS, {}, {}, {"AsioStart"},
                  STATUS_SUCCESS, 0, {}, {}, 0x88u},
        IoctlCase{"Stop", Code(0x811, kWrite), {}, 0, false, STATUS_SUCCESS, {}, {}, {"AsioStop"}, STATUS_SUCCESS, 0,
                  {}},
        IoctlCase{"StopWithInputCallsNothing", Code(0x811, kWrite), Ulongs({1}), 0, false, STATUS_SUCCESS, {}, {}, {},
                  STATUS_SUCCESS, 0, {}},
        IoctlCase{"ClearNotifyEvent", Code(0x813, kWrite), {}, 0, false, STATUS_SUCCESS, {}, {},
                  {"AsioClearNotifyEvent"}, STATUS_SUCCESS, 0, {}},
        // Asks only: the mode does not become the caller's.
        IoctlCase{"CanIoFormat", Code(0x814, kWrite), Ulongs({1}), 0, false, STATUS_SUCCESS, {}, {},
                  {"AsioCanIoFormat"}, STATUS_SUCCESS, 0, {}, 1u},
        IoctlCase{"SetIoFormat", Code(0x815, kWrite), Ulongs({1}), 0, false, STATUS_SUCCESS, {}, {},
                  {"AsioSetIoFormat"}, STATUS_SUCCESS, 0, {}, 1u},
        IoctlCase{"IoFormat", Code(0x816, kRead), {}, 8, false, STATUS_SUCCESS, Ulongs({1}), {}, {"AsioGetIoFormat"},
                  STATUS_SUCCESS, 4, Ulongs({1})},
        IoctlCase{"Function812IsNoCode", 0x1DA048, {}, 0, false, STATUS_SUCCESS, {}, {}, {}, STATUS_NOT_SUPPORTED, 0,
                  {}},
        IoctlCase{"UnknownCode", Code(0x817, kRead), {}, 4, false, STATUS_SUCCESS, {}, {}, {}, STATUS_NOT_SUPPORTED, 0,
                  {}}),
    [](const ::testing::TestParamInfo<IoctlCase>& info) { return std::string(info.param.name); });

TEST_F(AsioDispatchTest, EveryCodeOfTheFormulaIsServed) {
    const struct {
        ULONG function, access;
    } kCodes[] = {{0x800, kRead},  {0x801, kRead},  {0x802, kBoth},  {0x803, kRead},  {0x804, kRead},  {0x805, kWrite},
                  {0x806, kRead},  {0x807, kWrite}, {0x808, kWrite}, {0x809, kRead},  {0x80A, kRead},  {0x80B, kWrite},
                  {0x80C, kWrite}, {0x80D, kRead},  {0x80E, kBoth},  {0x80F, kWrite}, {0x810, kWrite}, {0x811, kWrite},
                  {0x813, kWrite}, {0x814, kWrite}, {0x815, kWrite}, {0x816, kRead}};
    sim::UserProcess process;
    sim::UserHandle handle(process);
    ASSERT_EQ(handle.OpenInterface(AsioLink()), STATUS_SUCCESS);
    for (const auto& code : kCodes) {
        ULONG buffer[16] = {};
        sim::IoctlResult r = handle.DeviceIoControl(Code(code.function, code.access), NULL, 0, buffer, 0);
        EXPECT_NE(r.status, STATUS_NOT_SUPPORTED) << std::hex << code.function;
    }
}

TEST_F(AsioDispatchTest, TemporaryBufferFailureCallsNothing) {
    sim::UserProcess process(true);
    sim::UserHandle handle(process);
    ASSERT_EQ(handle.OpenInterface(AsioLink()), STATUS_SUCCESS);
    Asio().Reset();
    std::vector<UCHAR> request = CreateRequest(1, 1);
    ULONG out[2] = {};
    sim::PoolFailTag(MakePoolTag("adap"));
    sim::IoctlResult r = handle.DeviceIoControl(IOCTL_ASIO_CREATE_BUFFERS, request.data(), (ULONG)request.size(),
                                                out, sizeof(out));
    sim::PoolClearFailures();
    EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(r.information, 0u);
    EXPECT_TRUE(Asio().Names().empty());
}

TEST_F(AsioDispatchTest, AdapterWithoutAsioDeviceTakesNoClientsAndNoCodes) {
    // A second start with an adapter that does not answer IID_IAsioDevice.
    ASSERT_EQ(Device().StopDevice(), STATUS_SUCCESS);
    fakes::NextAdapter().asioDevice = false;
    ASSERT_EQ(Device().StartDevice(), STATUS_SUCCESS);
    sim::UserProcess process;
    sim::UserHandle handle(process);
    EXPECT_EQ(handle.OpenInterface(AsioLink()), STATUS_UNSUCCESSFUL);

    // A request on an ASIO file object that never passed a create.
    PFILE_OBJECT file = sim::IoCreateFileObject(Context()->Pdo, u"\\XRASIOPrivateInterface", NULL);
    ULONG buffer = 0;
    sim::IrpOutcome outcome = sim::SendIrp(Fdo(), [&](PIRP irp, PIO_STACK_LOCATION sp) {
        sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        sp->FileObject = file;
        sp->Parameters.DeviceIoControl.IoControlCode = IOCTL_ASIO_GET_SAMPLE_RATE;
        sp->Parameters.DeviceIoControl.OutputBufferLength = sizeof(buffer);
        irp->AssociatedIrp.SystemBuffer = &buffer;
    });
    ObDereferenceObject(file);
    EXPECT_EQ(outcome.ioStatus.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(outcome.ioStatus.Information, 0u);
    EXPECT_TRUE(Asio().Names().empty());
}

}  // namespace
