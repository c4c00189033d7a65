// UAC 2.0 render stream (being built: construction only so far).
#include "stream/usb/usb_async_render_stream.h"

CUsbAsyncRenderStream::CUsbAsyncRenderStream(PUNKNOWN outer, ULONG interfaceNumber, ULONG terminalId,
                                             ULONG clockUnitId)
    : CCyclicControl(outer, interfaceNumber, terminalId), m_nClockUnitId(clockUnitId) {
    m_nFramesPerTransfer = 10;
    KeInitializeSpinLock(&m_FeedbackSlotLock);
}

BOOLEAN Uac2AltSettingValid(PUNKNOWN, ULONG, UCHAR alternateSetting) { return alternateSetting == 0; }

NTSTATUS CUsbAsyncRenderStream::ComputeGeometry(PCYCLIC_CLIENT, UCHAR) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS CUsbAsyncRenderStream::AllocateStreamBlocks() { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS CUsbAsyncRenderStream::SelectAlternateSetting(UCHAR alternateSetting, PCYCLIC_CLIENT client) {
    NTSTATUS rateStatus;
    return SelectInterface(alternateSetting, client, FALSE, &rateStatus);
}
NTSTATUS CUsbAsyncRenderStream::FreeTransfers() { return CCyclicControl::FreeTransfers(); }
NTSTATUS CUsbAsyncRenderStream::RecoverFromError() { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS CUsbAsyncRenderStream::SubmitTransfer() { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS CUsbAsyncRenderStream::OnTransferComplete(PDEVICE_OBJECT device, PIRP irp, PUSB_TRANSFER_CONTEXT context) {
    return CCyclicControl::OnTransferComplete(device, irp, context);
}
BOOLEAN CUsbAsyncRenderStream::IsAltSettingValid(UCHAR alternateSetting, ULONG) {
    return Uac2AltSettingValid(m_pDevice, m_nInterfaceNumber, alternateSetting);
}
NTSTATUS CUsbAsyncRenderStream::SendDsdVendorRequest() { return STATUS_SUCCESS; }
