// The 22 ASIO control codes, as one table: each row gives the code, when
// its operation runs (the minimum buffer lengths), what Information the
// reply carries and the operation itself. A code whose condition is not
// met calls nothing and succeeds with Information 0: the user-mode ASIO
// driver relies on it.
//
// Every code is METHOD_BUFFERED: the request and the reply share the
// system buffer of max(in, out) bytes. The bytes of it past the input are
// zeroed before the operation runs, so a reply never carries what the
// buffer held before (Information may exceed what the operation wrote).
#include "adapter/audio_hal.h"
#include "adapter/driver_entry.h"
#include "adapter/private_interfaces.h"
#include "nt/rtl.h"

namespace {

constexpr ULONG kTemporaryTag = MakePoolTag("adap");

// What one request brings to its operation.
struct AsioRequest {
    IAsioDevice* asio;
    PFILE_OBJECT file;
    PIRP irp;
    PUCHAR buffer;  // the system buffer (NULL when both lengths are 0)
    ULONG in;
    ULONG out;
    ULONG length;  // the output length the operation may change
    bool is32Bit;
    ULONG_PTR information;  // set by the operation (Info::Custom)
};

enum class When {
    Always,
    InAtLeast4,
    OutAtLeast4,
    OutAtLeast8,
    OutAtLeast16,
    InIsZero,
    InNotZero,
    HandleSize,      // 8 bytes from a 64-bit caller, 4 from a 32-bit one
    BuffersCreated,  // out 0: size answer; 1..3: too small
};

enum class Info {
    Zero,
    Out,                // out on success
    OutOrOverflow,      // out on success and on STATUS_BUFFER_OVERFLOW
    LengthOrOverflow,   // the length the operation left, likewise
    Four,               // 4 on success
    FourOrOverflow,     // 4 on success and on STATUS_BUFFER_OVERFLOW
    Latencies,          // as OutOrOverflow when out held 8 bytes, else 0
    Custom,             // the operation sets it
};

typedef NTSTATUS (*ASIO_OPERATION)(AsioRequest& r);

struct ASIO_CONTROL {
    ULONG Code;
    When Condition;
    Info Reply;
    ASIO_OPERATION Operation;
};

ULONG FirstUlong(const AsioRequest& r) { return *reinterpret_cast<const ULONG*>(r.buffer); }
ULONG* BufferUlongs(const AsioRequest& r) { return reinterpret_cast<ULONG*>(r.buffer); }

HANDLE HandleFromBuffer(const AsioRequest& r) {
    if (r.is32Bit) return reinterpret_cast<HANDLE>((ULONG_PTR)FirstUlong(r));  // zero-extended
    return *reinterpret_cast<const HANDLE*>(r.buffer);
}

NTSTATUS GetDriverName(AsioRequest& r) {
    return r.asio->AsioGetDriverName(r.file, reinterpret_cast<CHAR*>(r.buffer), &r.length);
}
NTSTATUS GetChannels(AsioRequest& r) { return r.asio->AsioGetChannels(r.file, BufferUlongs(r), r.out); }
NTSTATUS GetChannelInfo(AsioRequest& r) {
    return r.asio->AsioGetChannelInfo(r.file, reinterpret_cast<ASIOChannelInfo*>(r.buffer), r.out);
}
NTSTATUS GetSampleTypes(AsioRequest& r) { return r.asio->AsioGetSampleTypes(r.file, BufferUlongs(r), &r.length); }
NTSTATUS GetLatencyTable(AsioRequest& r) {
    return r.asio->AsioGetLatencyTable(r.file, BufferUlongs(r), &r.length);
}
NTSTATUS SetNotifyEvent(AsioRequest& r) {
    HANDLE event = HandleFromBuffer(r);
    return r.asio->AsioSetNotifyEvent(r.file, &event);
}
NTSTATUS GetBuffersCreated(AsioRequest& r) { return r.asio->AsioGetBuffersCreated(r.file, BufferUlongs(r)); }
NTSTATUS SetSampleType(AsioRequest& r) { return r.asio->AsioSetSampleType(r.file, FirstUlong(r)); }
// The latencies follow only a latency that was taken: a refusal is the
// request's answer.
NTSTATUS SetLatency(AsioRequest& r) {
    NTSTATUS status = r.asio->AsioSetLatency(r.file, FirstUlong(r));
    if (NT_SUCCESS(status) && r.out >= 8) status = r.asio->AsioGetLatencies(r.file, BufferUlongs(r));
    return status;
}
NTSTATUS GetLatencies(AsioRequest& r) { return r.asio->AsioGetLatencies(r.file, BufferUlongs(r)); }
NTSTATUS GetSampleRate(AsioRequest& r) { return r.asio->AsioGetSampleRate(r.file, BufferUlongs(r)); }
NTSTATUS CanSampleRate(AsioRequest& r) { return r.asio->AsioCanSampleRate(r.file, BufferUlongs(r)); }
NTSTATUS SetSampleRate(AsioRequest& r) { return r.asio->AsioSetSampleRate(r.file, BufferUlongs(r)); }
NTSTATUS GetBufferSize(AsioRequest& r) { return r.asio->AsioGetBufferSize(r.file, BufferUlongs(r)); }
NTSTATUS DisposeBuffers(AsioRequest& r) { return r.asio->AsioDisposeBuffers(r.file); }
NTSTATUS Start(AsioRequest& r) {
    HANDLE event = HandleFromBuffer(r);
    return r.asio->AsioStart(r.file, &event);
}
NTSTATUS Stop(AsioRequest& r) { return r.asio->AsioStop(r.file, r.irp); }
NTSTATUS ClearNotifyEvent(AsioRequest& r) { return r.asio->AsioClearNotifyEvent(r.file); }
// Only asks: a mode every pin supports does not become the caller's.
NTSTATUS CanIoFormat(AsioRequest& r) { return r.asio->AsioCanIoFormat(r.file, BufferUlongs(r)); }
NTSTATUS SetIoFormat(AsioRequest& r) { return r.asio->AsioSetIoFormat(r.file, BufferUlongs(r)); }
NTSTATUS GetIoFormat(AsioRequest& r) { return r.asio->AsioGetIoFormat(r.file, BufferUlongs(r)); }

// The request holds a 12-byte header and `count` 8-byte entries; a 32-bit
// caller's addresses come back as their low 4 bytes, in half the length.
NTSTATUS CreateBuffers(AsioRequest& r) {
    if (r.in < sizeof(ULONG) * 3) return STATUS_INVALID_PARAMETER;
    auto* request = reinterpret_cast<const ASIO_CREATE_BUFFERS_REQUEST*>(r.buffer);
    ULONGLONG needed = 12ull + 8ull * request->Count;
    if (r.in < needed) return STATUS_INVALID_PARAMETER;
    if (!r.is32Bit) {
        ULONG length = r.out;
        NTSTATUS status = r.asio->AsioCreateBuffers(r.file, r.buffer, r.buffer, &length);
        if (NT_SUCCESS(status)) r.information = length < r.out ? length : r.out;
        return status;
    }
    if (r.out > 0x7FFFFFFFu) return STATUS_INVALID_PARAMETER;
    const ULONG temporaryBytes = 2 * r.out;
    auto* temporary = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(PagedPool, temporaryBytes ? temporaryBytes : 1, kTemporaryTag));
    if (temporary == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(temporary, temporaryBytes ? temporaryBytes : 1);
    ULONG length = temporaryBytes;
    NTSTATUS status = r.asio->AsioCreateBuffers(r.file, r.buffer, temporary, &length);
    if (NT_SUCCESS(status)) {
        // Never more than the temporary buffer holds.
        if (length > temporaryBytes) length = temporaryBytes;
        for (ULONG i = 0; i < length / 8; ++i) {
            ULONGLONG address;
            RtlCopyMemory(&address, temporary + 8 * i, sizeof(address));
            BufferUlongs(r)[i] = (ULONG)address;
        }
        r.information = length / 2;
    }
    ExFreePoolWithTag(temporary, kTemporaryTag);
    return status;
}

const ASIO_CONTROL kAsioControls[] = {
    {IOCTL_ASIO_GET_DRIVER_NAME, When::Always, Info::LengthOrOverflow, GetDriverName},
    {IOCTL_ASIO_GET_CHANNELS, When::Always, Info::Out, GetChannels},
    {IOCTL_ASIO_GET_CHANNEL_INFO, When::Always, Info::Out, GetChannelInfo},
    {IOCTL_ASIO_GET_SAMPLE_TYPES, When::Always, Info::LengthOrOverflow, GetSampleTypes},
    {IOCTL_ASIO_GET_LATENCY_TABLE, When::Always, Info::LengthOrOverflow, GetLatencyTable},
    {IOCTL_ASIO_SET_NOTIFY_EVENT, When::HandleSize, Info::Zero, SetNotifyEvent},
    {IOCTL_ASIO_GET_BUFFERS_CREATED, When::BuffersCreated, Info::Four, GetBuffersCreated},
    {IOCTL_ASIO_SET_SAMPLE_TYPE, When::InAtLeast4, Info::Zero, SetSampleType},
    {IOCTL_ASIO_SET_LATENCY, When::InAtLeast4, Info::Latencies, SetLatency},
    {IOCTL_ASIO_GET_LATENCIES, When::OutAtLeast8, Info::OutOrOverflow, GetLatencies},
    {IOCTL_ASIO_GET_SAMPLE_RATE, When::OutAtLeast4, Info::OutOrOverflow, GetSampleRate},
    {IOCTL_ASIO_CAN_SAMPLE_RATE, When::InAtLeast4, Info::Zero, CanSampleRate},
    {IOCTL_ASIO_SET_SAMPLE_RATE, When::InAtLeast4, Info::Zero, SetSampleRate},
    {IOCTL_ASIO_GET_BUFFER_SIZE, When::OutAtLeast16, Info::Out, GetBufferSize},
    {IOCTL_ASIO_CREATE_BUFFERS, When::InNotZero, Info::Custom, CreateBuffers},
    {IOCTL_ASIO_DISPOSE_BUFFERS, When::Always, Info::Zero, DisposeBuffers},
    {IOCTL_ASIO_START, When::HandleSize, Info::Zero, Start},
    {IOCTL_ASIO_STOP, When::InIsZero, Info::Zero, Stop},
    {IOCTL_ASIO_CLEAR_NOTIFY_EVENT, When::InIsZero, Info::Zero, ClearNotifyEvent},
    {IOCTL_ASIO_CAN_IO_FORMAT, When::InAtLeast4, Info::Zero, CanIoFormat},
    {IOCTL_ASIO_SET_IO_FORMAT, When::InAtLeast4, Info::Zero, SetIoFormat},
    {IOCTL_ASIO_GET_IO_FORMAT, When::OutAtLeast4, Info::FourOrOverflow, GetIoFormat},
};

const ASIO_CONTROL* FindControl(ULONG code) {
    for (const ASIO_CONTROL& row : kAsioControls)
        if (row.Code == code) return &row;
    return NULL;
}

bool ConditionMet(When when, const AsioRequest& r) {
    switch (when) {
        case When::Always: return true;
        case When::InAtLeast4: return r.in >= 4;
        case When::OutAtLeast4: return r.out >= 4;
        case When::OutAtLeast8: return r.out >= 8;
        case When::OutAtLeast16: return r.out >= 16;
        case When::InIsZero: return r.in == 0;
        case When::InNotZero: return r.in != 0;
        case When::HandleSize: return r.in == (r.is32Bit ? 4u : 8u);
        case When::BuffersCreated: return r.out >= 4;
    }
    return false;
}

ULONG_PTR Information(Info reply, const AsioRequest& r, NTSTATUS status) {
    const bool success = NT_SUCCESS(status);
    const bool sizeAnswer = status == STATUS_BUFFER_OVERFLOW;
    switch (reply) {
        case Info::Zero: return 0;
        case Info::Out: return success ? r.out : 0;
        case Info::OutOrOverflow: return (success || sizeAnswer) ? r.out : 0;
        // A success never reports more than the caller's buffer holds.
        case Info::LengthOrOverflow:
            return sizeAnswer ? r.length : success ? (r.length < r.out ? r.length : r.out) : 0;
        case Info::Four: return success ? 4 : 0;
        case Info::FourOrOverflow: return (success || sizeAnswer) ? 4 : 0;
        case Info::Latencies: return (r.out >= 8 && (success || sizeAnswer)) ? r.out : 0;
        case Info::Custom: return r.information;
    }
    return 0;
}

NTSTATUS RunControl(const ASIO_CONTROL& row, AsioRequest& r) {
    if (!ConditionMet(row.Condition, r)) {
        // The one code with a size answer of its own.
        if (row.Condition == When::BuffersCreated && r.out == 0) {
            r.information = 4;
            return STATUS_BUFFER_OVERFLOW;
        }
        if (row.Condition == When::BuffersCreated) return STATUS_BUFFER_TOO_SMALL;
        return STATUS_SUCCESS;
    }
    if (r.buffer != NULL && r.out > r.in) RtlZeroMemory(r.buffer + r.in, r.out - r.in);
    NTSTATUS status = row.Operation(r);
    r.information = Information(row.Reply, r, status);
    return status;
}

}  // namespace

NTSTATUS DispatchAsioControl(IAudioHal* audioHal, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    AsioRequest r = {};
    r.file = stack->FileObject;
    r.irp = irp;
    r.buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    r.in = stack->Parameters.DeviceIoControl.InputBufferLength;
    r.out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    r.length = r.out;
    r.is32Bit = IoIs32bitProcess(irp) != FALSE;

    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(audioHal->QueryInterface(IID_IAsioDevice, reinterpret_cast<PVOID*>(&r.asio))) && r.asio) {
        const ASIO_CONTROL* row = FindControl(stack->Parameters.DeviceIoControl.IoControlCode);
        status = row ? RunControl(*row, r) : STATUS_NOT_SUPPORTED;
        r.asio->Release();
    }
    if (status == STATUS_PENDING) return status;  // the operation keeps the IRP
    irp->IoStatus.Information = r.information;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}
