// UAC 2.0 capture stream (being built: construction only so far).
#include "stream/usb/usb_capture_stream_ex.h"

CUsbCaptureStreamEx::CUsbCaptureStreamEx(PUNKNOWN outer, ULONG interfaceNumber, ULONG terminalId, ULONG clockUnitId)
    : CUsbCaptureStream(outer, interfaceNumber, terminalId), m_nClockUnitId(clockUnitId) {}

NTSTATUS CUsbCaptureStreamEx::SelectAlternateSetting(UCHAR alternateSetting, PCYCLIC_CLIENT client) {
    return CUsbCaptureStream::SelectAlternateSetting(alternateSetting, client);
}
BOOLEAN CUsbCaptureStreamEx::IsAltSettingValid(UCHAR alternateSetting, ULONG) {
    return Uac2AltSettingValid(m_pDevice, m_nInterfaceNumber, alternateSetting);
}
VOID CUsbCaptureStreamEx::ProcessCapturedPackets(PUSB_TRANSFER_CONTEXT context) {
    CUsbCaptureStream::ProcessCapturedPackets(context);
}
NTSTATUS CUsbCaptureStreamEx::AllocateStreamBlocks() { return CUsbCaptureStream::AllocateStreamBlocks(); }
