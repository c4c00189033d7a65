// Records the IAsioDevice calls that reach the adapter and answers them as
// the test scripted: a status per operation (default STATUS_SUCCESS), the
// bytes an operation writes at the start of its output (at most what its
// output holds), and the length a length-returning operation leaves. Used
// by the fake adapter and by the recording CUsbAudioHal operations.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "adapter/private_interfaces.h"

namespace fakes {

struct AsioCall {
    std::string name;  // "AsioOpen", "AsioSetLatency", ...
    PFILE_OBJECT file = NULL;
    ULONG value = 0;          // the ULONG argument, or what a ULONG* argument points at
    ULONG_PTR handle = 0;     // what a HANDLE* argument points at
    ULONG length = 0;         // the output length passed (by value or by reference)
    const void* input = NULL;   // the buffer the request was read from
    const void* output = NULL;  // the buffer the answer was written to
    PIRP irp = NULL;
};

class AsioRecorder {
public:
    void Reset();
    std::vector<AsioCall> Calls();
    // Names of the calls, in order.
    std::vector<std::string> Names();

    std::map<std::string, NTSTATUS> status;  // per operation
    std::vector<UCHAR> reply;                // written at the start of each output
    std::optional<ULONG> lengthOut;          // left in a length argument

    // The operations, in IAsioDevice order.
    NTSTATUS AsioOpen(PFILE_OBJECT file);
    NTSTATUS AsioUnused(PFILE_OBJECT file);
    NTSTATUS AsioClose(PFILE_OBJECT file);
    NTSTATUS AsioGetDriverName(PFILE_OBJECT file, CHAR* out, ULONG* length);
    NTSTATUS AsioGetChannels(PFILE_OBJECT file, ULONG* out, ULONG outLength);
    NTSTATUS AsioGetChannelInfo(PFILE_OBJECT file, ASIOChannelInfo* inOut, ULONG outLength);
    NTSTATUS AsioSetNotifyEvent(PFILE_OBJECT file, const HANDLE* event);
    NTSTATUS AsioClearNotifyEvent(PFILE_OBJECT file);
    NTSTATUS AsioGetBuffersCreated(PFILE_OBJECT file, ULONG* out);
    NTSTATUS AsioGetSampleTypes(PFILE_OBJECT file, ULONG* out, ULONG* length);
    NTSTATUS AsioGetLatencyTable(PFILE_OBJECT file, ULONG* out, ULONG* length);
    NTSTATUS AsioSetSampleType(PFILE_OBJECT file, ULONG type);
    NTSTATUS AsioSetLatency(PFILE_OBJECT file, ULONG index);
    NTSTATUS AsioGetLatencies(PFILE_OBJECT file, ULONG* out);
    NTSTATUS AsioGetSampleRate(PFILE_OBJECT file, ULONG* out);
    NTSTATUS AsioCanSampleRate(PFILE_OBJECT file, const ULONG* rate);
    NTSTATUS AsioSetSampleRate(PFILE_OBJECT file, const ULONG* rate);
    NTSTATUS AsioGetBufferSize(PFILE_OBJECT file, ULONG* out);
    NTSTATUS AsioCreateBuffers(PFILE_OBJECT file, const VOID* request, PVOID out, ULONG* outLength);
    NTSTATUS AsioDisposeBuffers(PFILE_OBJECT file);
    NTSTATUS AsioStart(PFILE_OBJECT file, const HANDLE* event);
    NTSTATUS AsioStop(PFILE_OBJECT file, PIRP irp);
    NTSTATUS AsioCanIoFormat(PFILE_OBJECT file, const ULONG* mode);
    NTSTATUS AsioSetIoFormat(PFILE_OBJECT file, const ULONG* mode);
    NTSTATUS AsioGetIoFormat(PFILE_OBJECT file, ULONG* out);

    // Records an operation without output.
    NTSTATUS Record(AsioCall call);

private:
    // Records, writes the reply into out (capacity bytes), sets *length.
    NTSTATUS Answer(AsioCall call, PVOID out, ULONG capacity, ULONG* length);

    std::mutex m_Lock;
    std::vector<AsioCall> m_Calls;
};

// The recorder every fake uses (reset by the fixtures).
AsioRecorder& Asio();

}  // namespace fakes
