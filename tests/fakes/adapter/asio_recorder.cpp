// The ASIO call recorder.
#include "tests/fakes/adapter/asio_recorder.h"

#include <cstring>

namespace fakes {

AsioRecorder& Asio() {
    static AsioRecorder recorder;
    return recorder;
}

void AsioRecorder::Reset() {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Calls.clear();
    status.clear();
    reply.clear();
    lengthOut.reset();
}

std::vector<AsioCall> AsioRecorder::Calls() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Calls;
}

std::vector<std::string> AsioRecorder::Names() {
    std::vector<std::string> names;
    for (const AsioCall& call : Calls()) names.push_back(call.name);
    return names;
}

NTSTATUS AsioRecorder::Record(AsioCall call) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Calls.push_back(call);
    auto it = status.find(call.name);
    return it == status.end() ? STATUS_SUCCESS : it->second;
}

NTSTATUS AsioRecorder::Answer(AsioCall call, PVOID out, ULONG capacity, ULONG* length) {
    call.output = out;
    NTSTATUS result = Record(call);
    if (out != NULL && !reply.empty()) memcpy(out, reply.data(), reply.size() < capacity ? reply.size() : capacity);
    if (length != NULL && lengthOut) *length = *lengthOut;
    return result;
}

namespace {
AsioCall Make(const char* name, PFILE_OBJECT file) {
    AsioCall call;
    call.name = name;
    call.file = file;
    return call;
}
}  // namespace

NTSTATUS AsioRecorder::AsioOpen(PFILE_OBJECT file) { return Record(Make("AsioOpen", file)); }
NTSTATUS AsioRecorder::AsioUnused(PFILE_OBJECT file) {
    Record(Make("AsioUnused", file));
    return STATUS_UNSUCCESSFUL;
}
NTSTATUS AsioRecorder::AsioClose(PFILE_OBJECT file) { return Record(Make("AsioClose", file)); }

NTSTATUS AsioRecorder::AsioGetDriverName(PFILE_OBJECT file, CHAR* out, ULONG* length) {
    AsioCall call = Make("AsioGetDriverName", file);
    call.length = *length;
    return Answer(call, out, *length, length);
}
NTSTATUS AsioRecorder::AsioGetChannels(PFILE_OBJECT file, ULONG* out, ULONG outLength) {
    AsioCall call = Make("AsioGetChannels", file);
    call.length = outLength;
    return Answer(call, out, outLength, NULL);
}
NTSTATUS AsioRecorder::AsioGetChannelInfo(PFILE_OBJECT file, ASIOChannelInfo* inOut, ULONG outLength) {
    AsioCall call = Make("AsioGetChannelInfo", file);
    call.length = outLength;
    call.input = inOut;
    call.value = inOut ? (ULONG)inOut->channel : 0;
    return Answer(call, inOut, outLength, NULL);
}
NTSTATUS AsioRecorder::AsioSetNotifyEvent(PFILE_OBJECT file, const HANDLE* event) {
    AsioCall call = Make("AsioSetNotifyEvent", file);
    call.handle = (ULONG_PTR)*event;
    return Record(call);
}
NTSTATUS AsioRecorder::AsioClearNotifyEvent(PFILE_OBJECT file) { return Record(Make("AsioClearNotifyEvent", file)); }
NTSTATUS AsioRecorder::AsioGetBuffersCreated(PFILE_OBJECT file, ULONG* out) {
    return Answer(Make("AsioGetBuffersCreated", file), out, 4, NULL);
}
NTSTATUS AsioRecorder::AsioGetSampleTypes(PFILE_OBJECT file, ULONG* out, ULONG* length) {
    AsioCall call = Make("AsioGetSampleTypes", file);
    call.length = *length;
    return Answer(call, out, *length, length);
}
NTSTATUS AsioRecorder::AsioGetLatencyTable(PFILE_OBJECT file, ULONG* out, ULONG* length) {
    AsioCall call = Make("AsioGetLatencyTable", file);
    call.length = *length;
    return Answer(call, out, *length, length);
}
NTSTATUS AsioRecorder::AsioSetSampleType(PFILE_OBJECT file, ULONG type) {
    AsioCall call = Make("AsioSetSampleType", file);
    call.value = type;
    return Record(call);
}
NTSTATUS AsioRecorder::AsioSetLatency(PFILE_OBJECT file, ULONG index) {
    AsioCall call = Make("AsioSetLatency", file);
    call.value = index;
    return Record(call);
}
NTSTATUS AsioRecorder::AsioGetLatencies(PFILE_OBJECT file, ULONG* out) {
    return Answer(Make("AsioGetLatencies", file), out, 8, NULL);
}
NTSTATUS AsioRecorder::AsioGetSampleRate(PFILE_OBJECT file, ULONG* out) {
    return Answer(Make("AsioGetSampleRate", file), out, 4, NULL);
}
NTSTATUS AsioRecorder::AsioCanSampleRate(PFILE_OBJECT file, const ULONG* rate) {
    AsioCall call = Make("AsioCanSampleRate", file);
    call.value = *rate;
    return Record(call);
}
NTSTATUS AsioRecorder::AsioSetSampleRate(PFILE_OBJECT file, const ULONG* rate) {
    AsioCall call = Make("AsioSetSampleRate", file);
    call.value = *rate;
    return Record(call);
}
NTSTATUS AsioRecorder::AsioGetBufferSize(PFILE_OBJECT file, ULONG* out) {
    return Answer(Make("AsioGetBufferSize", file), out, 16, NULL);
}
NTSTATUS AsioRecorder::AsioCreateBuffers(PFILE_OBJECT file, const VOID* request, PVOID out, ULONG* outLength) {
    AsioCall call = Make("AsioCreateBuffers", file);
    call.input = request;
    call.length = *outLength;
    call.value = reinterpret_cast<const ULONG*>(request)[1];  // the entry count
    return Answer(call, out, *outLength, outLength);
}
NTSTATUS AsioRecorder::AsioDisposeBuffers(PFILE_OBJECT file) { return Record(Make("AsioDisposeBuffers", file)); }
NTSTATUS AsioRecorder::AsioStart(PFILE_OBJECT file, const HANDLE* event) {
    AsioCall call = Make("AsioStart", file);
    call.handle = (ULONG_PTR)*event;
    return Record(call);
}
NTSTATUS AsioRecorder::AsioStop(PFILE_OBJECT file, PIRP irp) {
    AsioCall call = Make("AsioStop", file);
    call.irp = irp;
    return Record(call);
}
NTSTATUS AsioRecorder::AsioCanIoFormat(PFILE_OBJECT file, const ULONG* mode) {
    AsioCall call = Make("AsioCanIoFormat", file);
    call.value = *mode;
    return Record(call);
}
NTSTATUS AsioRecorder::AsioSetIoFormat(PFILE_OBJECT file, const ULONG* mode) {
    AsioCall call = Make("AsioSetIoFormat", file);
    call.value = *mode;
    return Record(call);
}
NTSTATUS AsioRecorder::AsioGetIoFormat(PFILE_OBJECT file, ULONG* out) {
    return Answer(Make("AsioGetIoFormat", file), out, 4, NULL);
}

}  // namespace fakes
