// The USB Audio Class 2.0 entities other than the feature unit and the
// clock source: input and output terminals (which also name their clock
// source), selector units, and mixer and extension units (CUac2Unit). They
// create the nodes of their UAC 1.0 twins and differ in their layouts and
// requests: every request is a class request (CUR, RANGE); a terminal
// reads its jacks only when its connector control is present; an output
// terminal's selectable types are its control selector 8 (CUR and RANGE).
//
// Descriptors (UAC 2.0): input terminal bLength (17), 0x24, 2,
// bTerminalID, wTerminalType, bAssocTerminal, bCSourceID (7), bNrChannels,
// bmChannelConfig (4), iChannelNames, bmControls (14, 2 bytes), iTerminal;
// output terminal (12) ..., 3, bTerminalID, wTerminalType, bAssocTerminal,
// bSourceID (7), bCSourceID (8), bmControls (9, 2 bytes), iTerminal;
// selector (7 + p) ..., 5, bUnitID, bNrInPins p, baSourceID[p],
// bmControls, iSelector; mixer (13 + p) ..., 4, bUnitID, p, baSourceID[p],
// ...; extension unit (15 + p) ..., 9, bUnitID, wExtensionCode, p (6),
// baSourceID[p] (7), .... p is at least 1. Bit 2 of a terminal's
// bmControls: the connector control can be read.
#pragma once

#include "topology/uac1_terminals.h"
#include "topology/uac_controls.h"

class CUac2InputTerminal : public IClockSourceId, public CUacInputTerminal {
public:
    CUac2InputTerminal(PUNKNOWN outer, ULONG index) : CUacInputTerminal(outer, index) {}

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // bLength at least 17.
    NTSTATUS Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder);
    // The jack list (only with the connector control, not for the
    // streaming terminal; its failure fails the terminal), then the input
    // pin.
    NTSTATUS CreateNodes(IAudioHal* builder) override;
    NTSTATUS GetJackCount(ULONG* count, ULONG typeIndex) override;
    NTSTATUS GetJackInfo(ULONG bufferSize, JACK_INFO* records, ULONG typeIndex) override;
    // Only the connector control on channel 0: the input pin re-reads and
    // is named.
    NTSTATUS OnControlChange(ULONG controlSelector, ULONG channel, ULONG* nodeId) override;

    NTSTATUS GetClockSourceId(ULONG* clockId) override;
};

class CUac2OutputTerminal : public IClockSourceId, public CUacOutputTerminal {
public:
    CUac2OutputTerminal(PUNKNOWN outer, ULONG index) : CUacOutputTerminal(outer, index) {}

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // bLength at least 12.
    NTSTATUS Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder);
    // The initial type (the stored "UACUnit%02d"; the device's selection
    // only when nothing is stored and "INITOTTYPEBYSEL" is set; a type the
    // terminal does not list is never taken), the type list with each
    // type's jacks (only with the connector control), the output pins and,
    // for several types, the terminal-type node.
    NTSTATUS CreateNodes(IAudioHal* builder) override;
    // Always sent to the device (a refusal is ignored), stored, and the
    // output pins re-read; an unlisted type gives STATUS_UNSUCCESSFUL.
    NTSTATUS SelectType(ULONG type) override;
    NTSTATUS GetJackInfo(ULONG bufferSize, JACK_INFO* records, ULONG typeIndex) override;
    // Connector (2) and terminal type (8) only: for 8 the device's type
    // becomes current and is stored; then the terminal-type node and every
    // output pin re-read.
    NTSTATUS OnControlChange(ULONG controlSelector, ULONG channel, ULONG* nodeId) override;

    NTSTATUS GetClockSourceId(ULONG* clockId) override;

private:
    bool AsksDevice() const;
    NTSTATUS PrepareUac2Types(PDEVICE_OBJECT settings);
    NTSTATUS ReadUac2TypeList();
    void SelectUac2OnDevice(USHORT usbType);
};

class CUac2SelectorUnit : public CUacSelectorUnit {
public:
    CUac2SelectorUnit(PUNKNOWN outer, ULONG index) : CUacSelectorUnit(outer, index) {}

    // bLength at least 7 + bNrInPins, bNrInPins at least 1.
    NTSTATUS Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder);
    NTSTATUS CreateNodes(IAudioHal* builder) override;
    NTSTATUS GetValue(ULONG* input) override;
    NTSTATUS SetValue(ULONG input) override;
};

// Mixer (subtype 4) and extension (subtype 9) units: one sum node each.
class CUac2Unit : public CUacEntity {
public:
    CUac2Unit(PUNKNOWN outer, ULONG index) : CUacEntity(outer, index), m_PinCountOffset(4) {}

    // bLength at least 13 + bNrInPins (mixer) or 15 + bNrInPins
    // (extension), bNrInPins at least 1.
    NTSTATUS InitMixerUnit(const BYTE* descriptor, IUnknown* device, IAudioHal* builder);
    NTSTATUS InitExtensionUnit(const BYTE* descriptor, IUnknown* device, IAudioHal* builder);
    virtual NTSTATUS CreateNodes(IAudioHal* builder);

private:
    NTSTATUS InitUnit(const BYTE* descriptor, IUnknown* device, IAudioHal* builder, UCHAR subtype,
                      ULONG pinCountOffset, ULONG fixedBytes);

    // bNrInPins; the sources follow it.
    ULONG m_PinCountOffset;
};
