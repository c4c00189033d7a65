// The USB Audio Class 1.0 entities other than the feature unit: input
// terminals (subtype 2, one input pin each with the terminal's jack
// records), output terminals (subtype 3, one output pin per output type the
// terminal can present, plus a terminal-type node when the device offers
// several types behind it through vendor requests), selector units
// (subtype 5, a selector node) and mixer units (subtype 4, a sum node).
//
// Descriptors (UAC 1.0): input terminal bLength, 0x24, 2, bTerminalID,
// wTerminalType, bAssocTerminal, bNrChannels, wChannelConfig,
// iChannelNames, iTerminal (12 bytes); output terminal ..., 3,
// bTerminalID, wTerminalType, bAssocTerminal, bSourceID, iTerminal (9);
// selector ..., 5, bUnitID, bNrInPins p, baSourceID[p], iSelector (6 + p);
// mixer ..., 4, bUnitID, p, baSourceID[p], bNrChannels, wChannelConfig,
// iChannelNames, bmControls, iMixer (10 + p at least). p is at least 1.
#pragma once

#include "topology/jack_info.h"
#include "topology/terminal_units.h"
#include "topology/uac_entity.h"

// USB terminal type of the streaming terminal.
#define UAC_TERMINAL_TYPE_STREAMING 0x0101

// ENDPOINT_TYPE of a terminal type:
// the input terminal's own type (GetType)
ULONG InputTerminalType(USHORT terminalType);
// the endpoint type of an input pin's capability query
ULONG InputTerminalTypeToEndpointType(USHORT terminalType);
// the output terminal's device-reported changes (0x0101 gives ENDPOINT_SPK)
ULONG OutputTerminalTypeToEndpointType(USHORT terminalType);
// the output terminal's initial type and type list (0x0101 gives
// ENDPOINT_STREAM)
ULONG OutputTypeMapping(USHORT terminalType);

class CUacInputTerminal : public ITerminal, public CUacEntity {
public:
    CUacInputTerminal(PUNKNOWN outer, ULONG index);
    ~CUacInputTerminal() override;

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // bLength at least 12.
    NTSTATUS Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder);
    // The jack list (all but the streaming terminal), then the input pin.
    virtual NTSTATUS CreateNodes(IAudioHal* builder);

    NTSTATUS GetType(ULONG* type) override;
    NTSTATUS GetTypeCount(ULONG* count) override;
    NTSTATUS GetTypes(ULONG* types) override;
    NTSTATUS SelectType(ULONG type) override;
    NTSTATUS GetJackCount(ULONG* count, ULONG typeIndex) override;
    NTSTATUS GetJackInfo(ULONG bufferSize, JACK_INFO* records, ULONG typeIndex) override;
    NTSTATUS GetCapabilities(ENDPOINT_CAPS*) override { return STATUS_NOT_IMPLEMENTED; }

    // Names the input pin and re-reads it.
    NTSTATUS OnControlChange(ULONG controlSelector, ULONG channel, ULONG* nodeId) override;

protected:
    USHORT TerminalType() const;

    JACK_ARRAY m_Jacks;
};

// One selectable output type: its ENDPOINT_TYPE, the USB terminal type the
// device names it by, and its jack records.
typedef struct _OUTPUT_TYPE {
    ULONG Type;
    USHORT UsbType;
    JACK_ARRAY Jacks;
} OUTPUT_TYPE;

class CUacOutputTerminal : public ITerminal, public CUacEntity {
public:
    CUacOutputTerminal(PUNKNOWN outer, ULONG index);
    // Frees the jack records and the type list, then the entity part.
    ~CUacOutputTerminal() override;

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // bLength at least 9.
    NTSTATUS Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder);
    // The initial type (stored "UACUnit%02d", "INITOTTYPEBYSEL", the
    // descriptor, the device; a type the terminal does not list is never
    // taken), the type list with each type's jacks, the device selection,
    // the output pins and, for several types, the terminal-type node.
    virtual NTSTATUS CreateNodes(IAudioHal* builder);

    NTSTATUS GetType(ULONG* type) override;
    NTSTATUS GetTypeCount(ULONG* count) override;
    NTSTATUS GetTypes(ULONG* types) override;
    // Selects a listed type on the device (a refusal is ignored), stores
    // "UACUnit%02d" and re-reads the output pins; an unlisted type gives
    // STATUS_UNSUCCESSFUL and changes nothing.
    NTSTATUS SelectType(ULONG type) override;
    NTSTATUS GetJackCount(ULONG* count, ULONG typeIndex) override;
    NTSTATUS GetJackInfo(ULONG bufferSize, JACK_INFO* records, ULONG typeIndex) override;
    NTSTATUS GetCapabilities(ENDPOINT_CAPS*) override { return STATUS_NOT_IMPLEMENTED; }

    // The device's current type: a change is stored and taken over by the
    // terminal-type node (which switches the controls upstream), then the
    // output pins re-read their jacks.
    NTSTATUS OnControlChange(ULONG controlSelector, ULONG channel, ULONG* nodeId) override;

protected:
    USHORT TerminalType() const;
    PDEVICE_OBJECT SettingsDevice();
    NTSTATUS AllocTypeArrays(ULONG count);
    NTSTATUS PrepareTypes(PDEVICE_OBJECT settings);
    // CreateNodes after the types are prepared: a pin node per type and,
    // with several types, the type node, all under tag.
    NTSTATUS CreateTypeNodes(IAudioHal* builder, ULONG tag);
    NTSTATUS ReadTypeList();
    ULONG ListedType(ULONG chosen, ULONG stored) const;
    LONG TypeIndex(ULONG type) const;
    void SelectOnDevice(USHORT usbType);
    void ReadBackNodesOfKind(ULONG kind, NTSTATUS* result);

    ULONG m_CurrentType;
    ULONG m_TypeCount;
    OUTPUT_TYPE* m_TypeList;  // m_TypeCount entries, non-paged ("UA10")
};

class CUacSelectorUnit : public IMuxUnit, public CUacEntity {
public:
    CUacSelectorUnit(PUNKNOWN outer, ULONG index) : CUacEntity(outer, index) {}

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // bLength at least 6 + bNrInPins, bNrInPins at least 1.
    NTSTATUS Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder);
    virtual NTSTATUS CreateNodes(IAudioHal* builder);

    // The device's input (GET_CUR), 1-based as the device answers it.
    NTSTATUS GetValue(ULONG* input) override;
    // SET_CUR of an input 1..bNrInPins.
    NTSTATUS SetValue(ULONG input) override;
    NTSTATUS GetInputCount(ULONG* count) override;
    NTSTATUS AddListener(IMuxListener*) override { return STATUS_NOT_IMPLEMENTED; }

private:
    bool IsSelector() const;
};

class CUacMixerUnit : public CUacEntity {
public:
    CUacMixerUnit(PUNKNOWN outer, ULONG index) : CUacEntity(outer, index) {}

    // bLength at least 10 + bNrInPins, bNrInPins at least 1.
    NTSTATUS Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder);
    virtual NTSTATUS CreateNodes(IAudioHal* builder);
};
