// CUsbRenderStreamEx: the render stream of the remapped UAC 1.0 family. It
// streams as CUsbRenderStream (ten frames per transfer) and adds:
//
// - after every successful Open, the codec's S/PDIF register (register 0)
//   takes the stream's rate code (bits 12-14: 0 for 44.1 kHz, 2 for 48 kHz,
//   6 for 96 kHz; another rate writes no code) and its non-audio bit
//   (bit 1: set unless the format's tag, plain or extensible, is PCM);
//   bit 15 (S/PDIF selected) belongs to the output terminal;
// - whenever the engine is named for an endpoint type, the format lists
//   follow the type: speakers offer neither AC-3 nor 96 kHz PCM,
//   headphones add 96 kHz PCM (alternate setting 5), S/PDIF adds AC-3
//   over S/PDIF at 44.1 and 48 kHz (setting 2) and 96 kHz (setting 5) and
//   96 kHz PCM. Every branch removes before it adds, so naming twice
//   leaves the same lists; other types leave them alone.
//
// The AC-3 records carry cbSize 0 and no channel mask, so a client asking
// with the plain tag 0x0092 finds them. The lists change only while the
// engine has no wave subdevice (start-up, or after the model removed it).
// Open runs under m_Lock, which is taken before the register lock.
#pragma once

#include "stream/usb/chip_registers.h"
#include "stream/usb/usb_render_stream.h"

class CUsbRenderStreamEx : public CUsbRenderStream {
public:
    CUsbRenderStreamEx(PUNKNOWN outer, ULONG interfaceNumber, ULONG terminalId);
    ~CUsbRenderStreamEx() override { StopWorker(); }

    // CCyclicControl::Init, then the model whose registers Open writes
    // (kept, not counted: the model outlives its streams).
    NTSTATUS Init(ULONG isCapture, PUNKNOWN device, IChipRegisters* model);
    NTSTATUS Open(PCYCLIC_CLIENT client, PULONG frameNumber) override;
    NTSTATUS SetName(PCWSTR name) override;

private:
    VOID WriteFormatRegisters(const WAVEFORMATEXTENSIBLE* format);
    NTSTATUS AddPcm96kFormat();
    NTSTATUS AddAc3Formats();
    NTSTATUS RemoveHighRateFormats();
    NTSTATUS RemoveAc3Formats();
    // Unlinks and frees every record that matches from the stereo list,
    // the full list and the alternate-setting list, in that order.
    VOID RemoveFormats(bool (*match)(const WAVEFORMATEXTENSIBLE* format));

    IChipRegisters* m_pRemapHal;
};
