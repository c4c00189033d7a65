// The nodes of the terminal entities: one input pin per input terminal,
// one output pin per output type an output terminal can present, and on a
// multi-type output terminal the terminal-type node through which the user
// selects the type. The pins take their types, jack records and capability
// blocks from the entity's ITerminal; the terminal-type node drives an
// output-type change: the device selection, the re-registration of the
// wave subdevices and the switch of every control upstream to the values
// stored for the new type.
//
// All operations run at PASSIVE_LEVEL without a lock of their own; a pin's
// jack records are replaced under the terminal unit's jack lock, so the
// topology's jack properties may copy them at any time. Entity and builder
// pointers are not counted.
#pragma once

#include "topology/node_settings.h"
#include "topology/terminal_units.h"

class CTerminalTypeNode : public CTerminalTypeUnit {
public:
    CTerminalTypeNode(PUNKNOWN outer, ULONG id);

    // The entity's types (1 to 5, else STATUS_INSUFFICIENT_RESOURCES) and
    // current type; a stored "Unit%02d_" replaces the current type only
    // when the entity lists it.
    NTSTATUS InitFromEntity(IUnknown* entity, PDEVICE_OBJECT deviceObject, IAudioHal* builder);

    // The entity's current type.
    NTSTATUS GetType(ULONG* type) override;
    // Selects the type on the device, re-registers the wave subdevices
    // (IUacHal UpdateSubdevices) and switches every listener to the new
    // type's values with the model's callback object, then stores it. Any
    // failure restores the previous type on the node and on the device.
    NTSTATUS SelectType(ULONG type) override;
    // The entity selects the cached type again; no listener is told.
    NTSTATUS Apply() override;
    // A type the device switched to by itself is stored and taken over as
    // by SelectType.
    NTSTATUS ReadBack() override;

private:
    NTSTATUS SwitchListeners(ULONG type);

    PDEVICE_OBJECT m_DeviceObject;
    IAudioHal* m_Builder;
    IUnknown* m_Entity;
};

// What both pins share: the entity (its ITerminal is queried for every
// operation) and the refresh of their jack records.
template <class PinUnit>
class CBoundPin : public PinUnit {
public:
    CBoundPin(PUNKNOWN outer, ULONG id) : PinUnit(outer, id), m_Entity(NULL) {}

protected:
    // The terminal's records of one type, read into a new array that then
    // replaces the pin's under the jack lock, so a reader of the pin never
    // sees a freed or half-written array. The records are replaced also
    // when only the connection status could not be read; GetJackInfo's
    // status is the result.
    NTSTATUS RefreshJacks(ITerminal* terminal, ULONG typeIndex);

    IUnknown* m_Entity;
};

class CInputPinNode : public CBoundPin<CInputPinUnit> {
public:
    CInputPinNode(PUNKNOWN outer, ULONG id) : CBoundPin(outer, id) {}

    NTSTATUS InitFromEntity(IUnknown* entity, const ENDPOINT_CAPS* capabilities);
    // Refreshes the type and the jack records with their connection state.
    NTSTATUS ReadBack() override;
};

class COutputPinNode : public CBoundPin<COutputPinUnit> {
public:
    // typeIndex: which of its terminal's types this pin presents.
    COutputPinNode(PUNKNOWN outer, ULONG id, ULONG typeIndex) : CBoundPin(outer, id), m_TypeIndex(typeIndex) {}

    NTSTATUS InitFromEntity(IUnknown* entity, const ENDPOINT_CAPS* capabilities);
    // Refreshes the jack records of its type with their connection state.
    NTSTATUS ReadBack() override;

private:
    ULONG m_TypeIndex;
};
