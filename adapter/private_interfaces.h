// The driver's private faces towards user mode: the two device interfaces
// registered on the PDO, the 22 ASIO control codes and IAsioDevice, the
// adapter's interface that serves them.
//
// A user-mode ASIO driver opens the ASIO interface (file name
// "\XRASIOPrivateInterface"); each open handle is one ASIO client, and its
// control codes become IAsioDevice calls. The enumeration interface only
// lets user mode find the device; its handles go to the port class.
#pragma once

#include "adapter/base/unknown.h"
#include "nt/io.h"
#include "stream/asio/asio_state.h"

// {35CE36A6-01C6-4067-B195-1BB65DCB553A}
inline constexpr GUID GUID_DEVINTERFACE_ASIO_PRIVATE = {0x35CE36A6, 0x01C6, 0x4067,
                                                        {0xB1, 0x95, 0x1B, 0xB6, 0x5D, 0xCB, 0x55, 0x3A}};
// {3D0DAAE8-86B7-47A3-9F90-507E9EDBC433}
inline constexpr GUID GUID_DEVINTERFACE_ENUM_PRIVATE = {0x3D0DAAE8, 0x86B7, 0x47A3,
                                                        {0x9F, 0x90, 0x50, 0x7E, 0x9E, 0xDB, 0xC4, 0x33}};

#define ASIO_INTERFACE_REFERENCE u"XRASIOPrivateInterface"
#define ENUM_INTERFACE_REFERENCE u"XREnumPrivateInterface"
// FileName of a handle opened on the ASIO interface.
#define ASIO_INTERFACE_FILE_NAME u"\\XRASIOPrivateInterface"

// ASIO control codes: FILE_DEVICE_SOUND, METHOD_BUFFERED. Codes that only
// return data need read access, codes that only pass data write access,
// the two that do both need both.
#define ASIO_CTL_READ(function) CTL_CODE(FILE_DEVICE_SOUND, function, METHOD_BUFFERED, FILE_READ_ACCESS)
#define ASIO_CTL_WRITE(function) CTL_CODE(FILE_DEVICE_SOUND, function, METHOD_BUFFERED, FILE_WRITE_ACCESS)
#define ASIO_CTL_BOTH(function) \
    CTL_CODE(FILE_DEVICE_SOUND, function, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)

#define IOCTL_ASIO_GET_DRIVER_NAME ASIO_CTL_READ(0x800)
#define IOCTL_ASIO_GET_CHANNELS ASIO_CTL_READ(0x801)
#define IOCTL_ASIO_GET_CHANNEL_INFO ASIO_CTL_BOTH(0x802)
#define IOCTL_ASIO_GET_SAMPLE_TYPES ASIO_CTL_READ(0x803)
#define IOCTL_ASIO_GET_LATENCY_TABLE ASIO_CTL_READ(0x804)
#define IOCTL_ASIO_SET_NOTIFY_EVENT ASIO_CTL_WRITE(0x805)
#define IOCTL_ASIO_GET_BUFFERS_CREATED ASIO_CTL_READ(0x806)
#define IOCTL_ASIO_SET_SAMPLE_TYPE ASIO_CTL_WRITE(0x807)
#define IOCTL_ASIO_SET_LATENCY ASIO_CTL_WRITE(0x808)
#define IOCTL_ASIO_GET_LATENCIES ASIO_CTL_READ(0x809)
#define IOCTL_ASIO_GET_SAMPLE_RATE ASIO_CTL_READ(0x80A)
#define IOCTL_ASIO_CAN_SAMPLE_RATE ASIO_CTL_WRITE(0x80B)
#define IOCTL_ASIO_SET_SAMPLE_RATE ASIO_CTL_WRITE(0x80C)
#define IOCTL_ASIO_GET_BUFFER_SIZE ASIO_CTL_READ(0x80D)
#define IOCTL_ASIO_CREATE_BUFFERS ASIO_CTL_BOTH(0x80E)
#define IOCTL_ASIO_DISPOSE_BUFFERS ASIO_CTL_WRITE(0x80F)
#define IOCTL_ASIO_START ASIO_CTL_WRITE(0x810)
#define IOCTL_ASIO_STOP ASIO_CTL_WRITE(0x811)
#define IOCTL_ASIO_CLEAR_NOTIFY_EVENT ASIO_CTL_WRITE(0x813)
#define IOCTL_ASIO_CAN_IO_FORMAT ASIO_CTL_WRITE(0x814)
#define IOCTL_ASIO_SET_IO_FORMAT ASIO_CTL_WRITE(0x815)
#define IOCTL_ASIO_GET_IO_FORMAT ASIO_CTL_READ(0x816)

static_assert(IOCTL_ASIO_GET_DRIVER_NAME == 0x1D6000 && IOCTL_ASIO_GET_CHANNEL_INFO == 0x1DE008 &&
                  IOCTL_ASIO_CREATE_BUFFERS == 0x1DE038 && IOCTL_ASIO_GET_IO_FORMAT == 0x1D6058,
              "ASIO control codes");

// {DB4D55AC-CB0E-4611-8CEB-16E32336876D}
inline constexpr GUID IID_IAsioDevice = {0xDB4D55AC, 0xCB0E, 0x4611,
                                         {0x8C, 0xEB, 0x16, 0xE3, 0x23, 0x36, 0x87, 0x6D}};

// The adapter's ASIO interface. Every operation takes the caller's file
// object first (its ASIO client), runs at PASSIVE_LEVEL under the
// adapter's device lock and answers STATUS_INVALID_PARAMETER for a file
// object without a client. Buffers are the request's system buffer; the
// dispatch has checked the minimum lengths of its control-code table.
// Lengths passed by reference: in, the buffer size; out, the bytes needed
// or written.
struct IAsioDevice : public IUnknown {
    virtual NTSTATUS AsioOpen(PFILE_OBJECT file) = 0;
    // Nothing calls it; STATUS_UNSUCCESSFUL.
    virtual NTSTATUS AsioUnused(PFILE_OBJECT file) = 0;
    virtual NTSTATUS AsioClose(PFILE_OBJECT file) = 0;
    virtual NTSTATUS AsioGetDriverName(PFILE_OBJECT file, CHAR* out, ULONG* length) = 0;
    virtual NTSTATUS AsioGetChannels(PFILE_OBJECT file, ULONG* out, ULONG outLength) = 0;
    virtual NTSTATUS AsioGetChannelInfo(PFILE_OBJECT file, ASIOChannelInfo* inOut, ULONG outLength) = 0;
    virtual NTSTATUS AsioSetNotifyEvent(PFILE_OBJECT file, const HANDLE* event) = 0;
    virtual NTSTATUS AsioClearNotifyEvent(PFILE_OBJECT file) = 0;
    virtual NTSTATUS AsioGetBuffersCreated(PFILE_OBJECT file, ULONG* out) = 0;
    virtual NTSTATUS AsioGetSampleTypes(PFILE_OBJECT file, ULONG* out, ULONG* length) = 0;
    virtual NTSTATUS AsioGetLatencyTable(PFILE_OBJECT file, ULONG* out, ULONG* length) = 0;
    virtual NTSTATUS AsioSetSampleType(PFILE_OBJECT file, ULONG type) = 0;
    virtual NTSTATUS AsioSetLatency(PFILE_OBJECT file, ULONG index) = 0;
    // Two ULONGs: input and output latency.
    virtual NTSTATUS AsioGetLatencies(PFILE_OBJECT file, ULONG* out) = 0;
    virtual NTSTATUS AsioGetSampleRate(PFILE_OBJECT file, ULONG* out) = 0;
    virtual NTSTATUS AsioCanSampleRate(PFILE_OBJECT file, const ULONG* rate) = 0;
    virtual NTSTATUS AsioSetSampleRate(PFILE_OBJECT file, const ULONG* rate) = 0;
    // Four ULONGs: minimum, maximum, preferred size and granularity.
    virtual NTSTATUS AsioGetBufferSize(PFILE_OBJECT file, ULONG* out) = 0;
    // request: ASIO_CREATE_BUFFERS_REQUEST with its entries; out: one
    // 8-byte user address per ASIO pin (may be the request's buffer).
    virtual NTSTATUS AsioCreateBuffers(PFILE_OBJECT file, const VOID* request, PVOID out,
                                       ULONG* outLength) = 0;
    virtual NTSTATUS AsioDisposeBuffers(PFILE_OBJECT file) = 0;
    virtual NTSTATUS AsioStart(PFILE_OBJECT file, const HANDLE* event) = 0;
    // Outside D0 the IRP is kept (marked pending) and STATUS_PENDING
    // returned; the adapter completes it later.
    virtual NTSTATUS AsioStop(PFILE_OBJECT file, PIRP irp) = 0;
    virtual NTSTATUS AsioCanIoFormat(PFILE_OBJECT file, const ULONG* mode) = 0;
    virtual NTSTATUS AsioSetIoFormat(PFILE_OBJECT file, const ULONG* mode) = 0;
    virtual NTSTATUS AsioGetIoFormat(PFILE_OBJECT file, ULONG* out) = 0;
};
typedef IAsioDevice* PASIODEVICE;
