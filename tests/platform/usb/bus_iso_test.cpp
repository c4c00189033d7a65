// The simulated bus: isochronous slots on the frame clock (one table of
// speed, bInterval, packets, start frame or ASAP and submission time),
// packet rules, ASAP continuation, overlap, ordering, abort, data in slot
// order; interrupt IN transfers.
#include <cstring>

#include "bus_test_util.h"
#include "platform/usb/uac_stream.h"

namespace bustest {
namespace {

using simusb::DescriptorSet;

// The UAC 2.0 device with bInterval of its playback endpoint 0x01 set.
DescriptorSet HighSpeedWithInterval(UCHAR interval) {
    DescriptorSet set = simusb::BuildUac2AsyncDevice();
    simusb::Bytes& c = set.configuration;
    for (size_t at = 0; at + 1 < c.size() && c[at] >= 2; at += c[at])
        if (c[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && c[at + 2] == 0x01) c[at + 6] = interval;
    return set;
}

// An isochronous URB with its own buffer and request.
class IsoTransfer {
public:
    IsoTransfer(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, ULONG packets, ULONG packetBytes, bool asap,
                ULONG startFrame = 0)
        : storage_(GET_ISO_URB_SIZE(packets ? packets : 1)), data_(packets * packetBytes + 1) {
        auto& u = urb()->UrbIsochronousTransfer;
        u.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        u.Hdr.Length = (USHORT)GET_ISO_URB_SIZE(packets);
        u.PipeHandle = pipe;
        u.TransferFlags = asap ? USBD_START_ISO_TRANSFER_ASAP : 0;
        u.TransferBuffer = data_.data();
        u.TransferBufferLength = packets * packetBytes;
        u.StartFrame = startFrame;
        u.NumberOfPackets = packets;
        for (ULONG i = 0; i < packets; ++i) {
            u.IsoPacket[i].Offset = i * packetBytes;
            u.IsoPacket[i].Length = packetBytes;
        }
        request_ = std::make_unique<UsbRequest>(pdo, urb());
    }

    PURB urb() { return storage_.urb(); }
    _URB_ISOCH_TRANSFER& iso() { return urb()->UrbIsochronousTransfer; }
    std::vector<uint8_t>& data() { return data_; }
    UsbRequest& request() { return *request_; }
    ULONG LatePackets() {
        ULONG late = 0;
        for (ULONG i = 0; i < iso().NumberOfPackets; ++i)
            late += iso().IsoPacket[i].Status == USBD_STATUS_ISO_NOT_ACCESSED_LATE ? 1 : 0;
        return late;
    }

private:
    UrbBuffer storage_;
    std::vector<uint8_t> data_;
    std::unique_ptr<UsbRequest> request_;
};

class IsoBusTest : public BusTest {
protected:
    // Configures the device and selects the streaming alternate setting 1
    // of `number`; returns the pipe of `endpoint`.
    USBD_PIPE_HANDLE OpenStream(UCHAR number, UCHAR endpoint) {
        EXPECT_EQ(SelectConfiguration(), STATUS_SUCCESS);
        std::vector<USBD_PIPE_INFORMATION> pipes;
        EXPECT_EQ(SelectInterface(number, 1, &pipes), STATUS_SUCCESS);
        for (const auto& p : pipes)
            if (p.EndpointAddress == endpoint) return p.PipeHandle;
        ADD_FAILURE() << "no pipe for endpoint " << (int)endpoint;
        return nullptr;
    }
    // Moves the clock to `offsetUs` after the start of the next frame.
    void AtFrameOffset(LONGLONG offsetUs) {
        const LONGLONG next = bus().FrameStart() + sim::kTicksPerMillisecond;
        sim::Sleep(next - sim::Now() + offsetUs * 10);
    }
};

// ------------------------------------------------------------ the slot table

struct SlotCase {
    const char* name;
    bool highSpeed;
    UCHAR interval;  // bInterval of the high-speed endpoint
    ULONG packets;
    bool asap;
    LONG startAhead;   // StartFrame - current frame (without ASAP)
    LONG offsetUs;     // submission time after the current frame's start
    NTSTATUS returned;
    USBD_STATUS usbd;
    ULONG late;
    LONG startFrame;   // StartFrame written back, relative to the current frame
    LONG completeUs;   // completion time after the current frame's start
};

class IsoSlotTest : public IsoBusTest, public ::testing::WithParamInterface<SlotCase> {
protected:
    DescriptorSet Descriptors() override {
        return GetParam().highSpeed ? HighSpeedWithInterval(GetParam().interval) : simusb::BuildUac1Headset();
    }
};

TEST_P(IsoSlotTest, SchedulesCompletesAndReports) {
    const SlotCase& c = GetParam();
    USBD_PIPE_HANDLE pipe = OpenStream(1, 0x01);
    AtFrameOffset(c.offsetUs);
    const ULONG frame = bus().FrameNumber();
    const LONGLONG frameStart = bus().FrameStart();
    IsoTransfer t(pdo(), pipe, c.packets, c.highSpeed ? 8 : 192, c.asap, frame + c.startAhead);
    EXPECT_EQ(t.request().Send(), c.returned);
    if (c.returned != STATUS_PENDING) {
        EXPECT_TRUE(t.request().completedInsideCall());
        EXPECT_EQ(t.iso().Hdr.Status, c.usbd);
        return;
    }
    ASSERT_TRUE(t.request().Wait(2000));
    EXPECT_FALSE(t.request().completedInsideCall());
    EXPECT_EQ(t.request().completionIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(t.iso().Hdr.Status, c.usbd);
    EXPECT_EQ(t.request().status(), c.usbd == USBD_STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
    EXPECT_EQ(t.LatePackets(), c.late);
    EXPECT_EQ(t.iso().ErrorCount, c.late);
    EXPECT_EQ((LONG)(t.iso().StartFrame - frame), c.startFrame);
    EXPECT_EQ(t.request().completedAt() - frameStart, (LONGLONG)c.completeUs * 10);
}

constexpr NTSTATUS kPending = STATUS_PENDING;
constexpr NTSTATUS kInvalid = STATUS_INVALID_PARAMETER;
constexpr USBD_STATUS kOk = USBD_STATUS_SUCCESS;
constexpr USBD_STATUS kBadParameter = USBD_STATUS_INVALID_PARAMETER;

INSTANTIATE_TEST_SUITE_P(
    Slots, IsoSlotTest,
    ::testing::Values(
        // Full speed: one packet per 1 ms frame.
        SlotCase{"FullAsap", false, 0, 8, true, 0, 300, kPending, kOk, 0, 1, 9000},
        SlotCase{"FullStartNowFirstLate", false, 0, 8, false, 0, 300, kPending, kOk, 1, 0, 8000},
        SlotCase{"FullFrameBoundaryHasBegun", false, 0, 8, false, 0, 0, kPending, kOk, 1, 0, 8000},
        SlotCase{"FullNextFrame", false, 0, 8, false, 1, 300, kPending, kOk, 0, 1, 9000},
        SlotCase{"FullAhead1024", false, 0, 1, false, 1024, 0, kPending, kOk, 0, 1024, 1025000},
        SlotCase{"FullAhead1025", false, 0, 1, false, 1025, 0, STATUS_UNSUCCESSFUL, USBD_STATUS_BAD_START_FRAME,
                 0, 0, 0},
        SlotCase{"FullAllLateFails", false, 0, 8, false, -20, 300, kPending, USBD_STATUS_ISOCH_REQUEST_FAILED, 8,
                 -20, 300},
        SlotCase{"FullNoPackets", false, 0, 0, true, 0, 0, kInvalid, kBadParameter, 0, 0, 0},
        SlotCase{"Full255Packets", false, 0, 255, true, 0, 0, kPending, kOk, 0, 1, 256000},
        SlotCase{"Full256Packets", false, 0, 256, true, 0, 0, kInvalid, kBadParameter, 0, 0, 0},
        // High speed: packet i at microframe start + i * 2^(bInterval-1).
        SlotCase{"HighInterval1Asap", true, 1, 8, true, 0, 300, kPending, kOk, 0, 1, 2000},
        SlotCase{"HighInterval1StartNow", true, 1, 8, false, 0, 300, kPending, kOk, 3, 0, 1000},
        SlotCase{"HighInterval1NotWholeFrames", true, 1, 4, true, 0, 0, kInvalid, kBadParameter, 0, 0, 0},
        SlotCase{"HighInterval1Packets1024", true, 1, 1024, true, 0, 0, kPending, kOk, 0, 1, 129000},
        SlotCase{"HighInterval1Packets1025", true, 1, 1025, true, 0, 0, kInvalid, kBadParameter, 0, 0, 0},
        SlotCase{"HighInterval2", true, 2, 8, true, 0, 0, kPending, kOk, 0, 1, 3000},
        SlotCase{"HighInterval2NotWholeFrames", true, 2, 6, true, 0, 0, kInvalid, kBadParameter, 0, 0, 0},
        SlotCase{"HighInterval4OnePerFrame", true, 4, 3, true, 0, 0, kPending, kOk, 0, 1, 4000},
        SlotCase{"HighInterval5EveryOtherFrame", true, 5, 3, true, 0, 0, kPending, kOk, 0, 1, 7000}),
    [](const ::testing::TestParamInfo<SlotCase>& info) { return std::string(info.param.name); });

class HighSpeedIntervalTest : public IsoBusTest, public ::testing::WithParamInterface<UCHAR> {
protected:
    DescriptorSet Descriptors() override { return HighSpeedWithInterval(GetParam()); }
};

TEST_P(HighSpeedIntervalTest, OutOfRangeIntervalFailsSelectInterface) {
    ASSERT_EQ(SelectConfiguration(), STATUS_SUCCESS);
    EXPECT_EQ(SelectInterface(1, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(device().AlternateSetting(1), 0);
}

INSTANTIATE_TEST_SUITE_P(Intervals, HighSpeedIntervalTest, ::testing::Values(0, 17));

// ------------------------------------------------------------ schedule

TEST_F(IsoBusTest, AsapContinuesOnThePipeUntilItsSlotHasPassed) {
    USBD_PIPE_HANDLE pipe = OpenStream(1, 0x01);
    AtFrameOffset(500);
    const ULONG frame = bus().FrameNumber();
    IsoTransfer a(pdo(), pipe, 8, 192, true), b(pdo(), pipe, 8, 192, true);
    ASSERT_EQ(a.request().Send(), STATUS_PENDING);
    ASSERT_EQ(b.request().Send(), STATUS_PENDING);
    EXPECT_EQ(a.iso().StartFrame, frame + 1);
    EXPECT_EQ(b.iso().StartFrame, frame + 9);
    ASSERT_TRUE(b.request().Wait(100));
    EXPECT_EQ(b.request().completedAt() - a.request().completedAt(), 8 * kMs);
    sim::Sleep(30 * kMs);
    IsoTransfer c(pdo(), pipe, 8, 192, true);
    ASSERT_EQ(c.request().Send(), STATUS_PENDING);
    EXPECT_EQ(c.iso().StartFrame, bus().FrameNumber() + 1) << "ASAP resumed in a slot that had passed";
    ASSERT_TRUE(c.request().Wait(100));
    EXPECT_EQ(c.LatePackets(), 0u);
}

TEST_F(IsoBusTest, StartFrameOverlappingScheduledSlotsIsRefused) {
    USBD_PIPE_HANDLE pipe = OpenStream(1, 0x01);
    const ULONG frame = bus().FrameNumber();
    IsoTransfer first(pdo(), pipe, 8, 192, false, frame + 5);
    IsoTransfer overlapping(pdo(), pipe, 8, 192, false, frame + 12);
    IsoTransfer after(pdo(), pipe, 8, 192, false, frame + 13);
    ASSERT_EQ(first.request().Send(), STATUS_PENDING);
    EXPECT_EQ(overlapping.request().Send(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(overlapping.iso().Hdr.Status, USBD_STATUS_BAD_START_FRAME);
    EXPECT_EQ(after.request().Send(), STATUS_PENDING);
    ASSERT_TRUE(after.request().Wait(100));
    EXPECT_TRUE(first.request().completed());
}

TEST_F(IsoBusTest, CompletionsFollowSubmissionOrderPerPipe) {
    USBD_PIPE_HANDLE pipe = OpenStream(1, 0x01);
    std::vector<std::unique_ptr<IsoTransfer>> transfers;
    for (int i = 0; i < 6; ++i) {
        transfers.push_back(std::make_unique<IsoTransfer>(pdo(), pipe, 2, 192, true));
        ASSERT_EQ(transfers.back()->request().Send(), STATUS_PENDING);
    }
    ASSERT_TRUE(transfers.back()->request().Wait(100));
    for (size_t i = 1; i < transfers.size(); ++i)
        EXPECT_EQ(transfers[i]->request().completedAt() - transfers[i - 1]->request().completedAt(), 2 * kMs);
}

TEST_F(IsoBusTest, AbortCompletesPendingTransfersFirst) {
    USBD_PIPE_HANDLE pipe = OpenStream(1, 0x01);
    std::vector<std::unique_ptr<IsoTransfer>> transfers;
    for (int i = 0; i < 3; ++i) {
        transfers.push_back(std::make_unique<IsoTransfer>(pdo(), pipe, 8, 192, true));
        ASSERT_EQ(transfers.back()->request().Send(), STATUS_PENDING);
    }
    URB abort{};
    UsbBuildPipeRequest(&abort, URB_FUNCTION_ABORT_PIPE, pipe);
    UsbRequest r(pdo(), &abort);
    EXPECT_EQ(r.Send(), STATUS_SUCCESS);
    for (auto& t : transfers) {
        EXPECT_TRUE(t->request().completed()) << "a transfer outlived the abort";
        EXPECT_EQ(t->request().status(), STATUS_CANCELLED);
        EXPECT_EQ(t->iso().Hdr.Status, USBD_STATUS_CANCELED);
    }
    EXPECT_EQ(bus().PendingTransfers(0x01), 0u);
}

// ------------------------------------------------------------ packets

TEST_F(IsoBusTest, OutPacketsOutsideTheBufferOrPayloadFailAlone) {
    USBD_PIPE_HANDLE pipe = OpenStream(1, 0x01);
    device().Sink(0x01)->SetRecording(true);
    IsoTransfer t(pdo(), pipe, 4, 192, true);
    t.iso().IsoPacket[1].Length = 200;   // over the 196-byte payload
    t.iso().IsoPacket[2].Offset = 700;   // 700 + 192 > 768
    ASSERT_EQ(t.request().SendAndWait(100), STATUS_SUCCESS);
    const USBD_STATUS expected[] = {USBD_STATUS_SUCCESS, USBD_STATUS_INVALID_PARAMETER,
                                    USBD_STATUS_INVALID_PARAMETER, USBD_STATUS_SUCCESS};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(t.iso().IsoPacket[i].Status, expected[i]) << "packet " << i;
    EXPECT_EQ(t.iso().ErrorCount, 2u);
    EXPECT_EQ(device().Sink(0x01)->framesReceived(), 2u * 48);
}

TEST_F(IsoBusTest, InPacketRoomEndsAtTheNextOffsetAndThePayload) {
    USBD_PIPE_HANDLE pipe = OpenStream(2, 0x82);
    IsoTransfer t(pdo(), pipe, 4, 100, true);
    const ULONG offsets[] = {0, 50, 50, 300};
    for (int i = 0; i < 4; ++i) t.iso().IsoPacket[i].Offset = offsets[i];
    t.iso().TransferBufferLength = 400;
    ASSERT_EQ(t.request().SendAndWait(100), STATUS_SUCCESS);
    const ULONG room[] = {50, 0, 98, 98};  // payload 98: 49 mono 16-bit frames
    ULONG frames = 0;
    for (int i = 0; i < 4; ++i) {
        EXPECT_LE(t.iso().IsoPacket[i].Length, room[i]) << "packet " << i;
        EXPECT_EQ(t.iso().IsoPacket[i].Length % 2, 0u);
        frames += t.iso().IsoPacket[i].Length / 2;
    }
    EXPECT_EQ(t.iso().IsoPacket[2].Length, 96u) << "48 kHz gives 48 frames per 1 ms packet";
    // The samples continue the source's ramp across the packets.
    simusb::StreamFormat mono{1, 2, 16};
    const int16_t first = (int16_t)(t.data()[0] | t.data()[1] << 8);
    EXPECT_EQ(first, (int16_t)simusb::RampSample(0, 0, mono));
    EXPECT_GT(frames, 0u);
}

// Every sample the host sends reaches the device's sink, in order, across
// resubmissions from the completion routine (at DISPATCH_LEVEL).
class Stream {
public:
    Stream(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, int inFlight, int total) : pdo_(pdo), remaining_(total) {
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
        for (int i = 0; i < inFlight; ++i) {
            auto slot = std::make_unique<Slot>();
            slot->stream = this;
            slot->transfer = std::make_unique<IsoTransfer>(pdo, pipe, 8, 192, true);
            slot->irp = IoAllocateIrp(pdo->StackSize + 1, FALSE);
            slots_.push_back(std::move(slot));
        }
    }
    ~Stream() {
        for (auto& slot : slots_) IoFreeIrp(slot->irp);
    }
    void Start() {
        outstanding_ = (int)slots_.size();
        for (auto& slot : slots_) Submit(slot.get());
    }
    bool Wait(LONGLONG timeout) {
        LARGE_INTEGER t;
        t.QuadPart = -timeout;
        return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS;
    }
    int failures() const { return failures_; }

private:
    struct Slot {
        Stream* stream;
        std::unique_ptr<IsoTransfer> transfer;
        PIRP irp;
    };

    void Submit(Slot* slot) {
        IsoTransfer& t = *slot->transfer;
        auto* samples = reinterpret_cast<uint16_t*>(t.data().data());
        for (ULONG i = 0; i < t.iso().TransferBufferLength / 2; ++i) samples[i] = next_++;
        PIRP irp = slot->irp;
        IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = t.urb();
        IoSetCompletionRoutine(irp, Completed, slot, TRUE, TRUE, TRUE);
        if (IoCallDriver(pdo_, irp) != STATUS_PENDING) ++failures_;
    }
    static NTSTATUS Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* slot = static_cast<Slot*>(context);
        Stream* s = slot->stream;
        if (irp->IoStatus.Status != STATUS_SUCCESS) ++s->failures_;
        if (s->remaining_-- > 0)
            s->Submit(slot);
        else if (--s->outstanding_ == 0)
            KeSetEvent(&s->done_, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PDEVICE_OBJECT pdo_;
    std::vector<std::unique_ptr<Slot>> slots_;
    uint16_t next_ = 0;  // next 16-bit sample value sent
    int remaining_;      // submissions still to make after the first ones
    int outstanding_ = 0;
    int failures_ = 0;
    KEVENT done_;
};

TEST_F(IsoBusTest, SinkReceivesEverySampleInOrder) {
    Stream stream(pdo(), OpenStream(1, 0x01), 3, 250);
    simusb::AudioSink* sink = device().Sink(0x01);
    sink->SetRecording(true);
    stream.Start();
    ASSERT_TRUE(stream.Wait(10 * sim::kTicksPerSecond));
    EXPECT_EQ(stream.failures(), 0);
    const auto& recorded = sink->recorded();
    ASSERT_EQ(recorded.size(), 253u * 8 * 192);
    for (size_t i = 0; i < recorded.size() / 2; ++i)
        ASSERT_EQ((uint16_t)(recorded[2 * i] | recorded[2 * i + 1] << 8), (uint16_t)i) << "sample " << i;
}

// ------------------------------------------------------------ interrupt IN

TEST_F(IsoBusTest, InterruptInCompletesTheOldestTransferWhenAMessageArrives) {
    ASSERT_EQ(SelectConfiguration(), STATUS_SUCCESS);
    uint8_t first[8] = {}, second[8] = {};
    URB a{}, b{};
    UsbBuildInterruptOrBulkTransferRequest(&a, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           bus().PipeHandle(0x83), first, nullptr, sizeof(first),
                                           USBD_TRANSFER_DIRECTION_IN, nullptr);
    UsbBuildInterruptOrBulkTransferRequest(&b, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           bus().PipeHandle(0x83), second, nullptr, sizeof(second),
                                           USBD_TRANSFER_DIRECTION_IN, nullptr);
    UsbRequest ra(pdo(), &a), rb(pdo(), &b);
    ASSERT_EQ(ra.Send(), STATUS_PENDING);
    ASSERT_EQ(rb.Send(), STATUS_PENDING);
    EXPECT_FALSE(ra.Wait(100)) << "completed without a message";
    device().QueueUac1Status(5);
    ASSERT_TRUE(ra.Wait(10));
    EXPECT_EQ(ra.status(), STATUS_SUCCESS);
    EXPECT_EQ(ra.completionIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(a.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
    EXPECT_EQ(first[1], 5);
    EXPECT_FALSE(rb.completed());
    EXPECT_TRUE(bus().WaitUntil([&] { return bus().PendingTransfers(0x83) == 1; }, 10));
    device().QueueUac1Status(6);
    ASSERT_TRUE(rb.Wait(10));
    EXPECT_EQ(second[1], 6);
}

TEST_F(IsoBusTest, QueuedMessageCompletesTheNextTransferInTheNextFrame) {
    ASSERT_EQ(SelectConfiguration(), STATUS_SUCCESS);
    device().QueueUac1Status(9);
    uint8_t buffer[2] = {};
    URB urb{};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           bus().PipeHandle(0x83), buffer, nullptr, sizeof(buffer),
                                           USBD_TRANSFER_DIRECTION_IN, nullptr);
    UsbRequest r(pdo(), &urb);
    ASSERT_EQ(r.Send(), STATUS_PENDING);
    ASSERT_TRUE(r.Wait(2));
    EXPECT_EQ(buffer[1], 9);
    EXPECT_LE(r.completedAt() - r.sentAt(), 1 * kMs);
}

}  // namespace
}  // namespace bustest
