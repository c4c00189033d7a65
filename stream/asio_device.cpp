// Interim ASIO operations of the adapter: every IAsioDevice method answers
// STATUS_NOT_SUPPORTED and the power path's stream operations do nothing,
// so a device offers no ASIO streaming until the ASIO buffers and
// streaming code replaces this file.
#include "adapter/usb_audio_hal.h"

NTSTATUS CUsbAudioHal::AsioOpen(PFILE_OBJECT) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioUnused(PFILE_OBJECT) { return STATUS_UNSUCCESSFUL; }
NTSTATUS CUsbAudioHal::AsioClose(PFILE_OBJECT) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioGetDriverName(PFILE_OBJECT, CHAR*, ULONG*) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioGetChannels(PFILE_OBJECT, ULONG*, ULONG) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioGetChannelInfo(PFILE_OBJECT, ASIOChannelInfo*, ULONG) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioSetNotifyEvent(PFILE_OBJECT, const HANDLE*) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioClearNotifyEvent(PFILE_OBJECT) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioGetBuffersCreated(PFILE_OBJECT, ULONG*) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioGetSampleTypes(PFILE_OBJECT, ULONG*, ULONG*) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioGetLatencyTable(PFILE_OBJECT, ULONG*, ULONG*) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioSetSampleType(PFILE_OBJECT, ULONG) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioSetLatency(PFILE_OBJECT, ULONG) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioGetLatencies(PFILE_OBJECT, ULONG*) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioGetSampleRate(PFILE_OBJECT, ULONG*) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioCanSampleRate(PFILE_OBJECT, const ULONG*) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioSetSampleRate(PFILE_OBJECT, const ULONG*) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioGetBufferSize(PFILE_OBJECT, ULONG*) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioCreateBuffers(PFILE_OBJECT, const VOID*, PVOID, ULONG*) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioDisposeBuffers(PFILE_OBJECT) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioStart(PFILE_OBJECT, const HANDLE*) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioStop(PFILE_OBJECT, PIRP) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioCanIoFormat(PFILE_OBJECT, const ULONG*) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioSetIoFormat(PFILE_OBJECT, const ULONG*) { return STATUS_NOT_SUPPORTED; }
NTSTATUS CUsbAudioHal::AsioGetIoFormat(PFILE_OBJECT, ULONG*) { return STATUS_NOT_SUPPORTED; }

VOID CUsbAudioHal::AsioStartStreams() {}
VOID CUsbAudioHal::AsioStopStreams() {}
VOID CUsbAudioHal::AsioResetBufferState(PKEVENT) {}
