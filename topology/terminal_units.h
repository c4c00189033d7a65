// Terminal units: the input and output pins of the topology filter, the
// mixer that can stand in for a "StereoMix" input pin, and the terminal-type
// unit that selects the output type of a multi-type output terminal and
// tells the controls upstream of it.
#pragma once

#include "adapter/audio_hal.h"
#include "adapter/base/list.h"
#include "nt/ke.h"
#include "topology/jack_info.h"
#include "topology/unit_interfaces.h"

DEFINE_TOPO_IID(IID_ITerminal, 0x540C5664, 0x4620, 0x4FDB, 0x9B, 0x81, 0x7E, 0x21, 0x45, 0xD9, 0x5B, 0xE3);
DEFINE_TOPO_IID(IID_ISumUnit, 0x9E3FB612, 0xFCD2, 0x4C51, 0x88, 0xBA, 0xB1, 0xBD, 0x37, 0x34, 0xF1, 0xB5);
DEFINE_TOPO_IID(IID_ITerminalTypeUnit, 0xDC7604D8, 0xC1F4, 0x4EA1, 0x81, 0x8C, 0xF7, 0x44, 0x19, 0x1B, 0x5B, 0x18);

#define TERMINAL_MAX_TYPES 5

// A terminal: the endpoint types it can present, its jack records and its
// endpoint capability block. typeIndex selects a type's jack list in the
// device-bound terminals; the pin units ignore it. Each class adds its own
// initialisation after these slots (Init of the pins, CreateNodes of the
// device's terminal entities).
struct ITerminal : public IUnknown {
    virtual NTSTATUS GetType(ULONG* type) = 0;
    virtual NTSTATUS GetTypeCount(ULONG* count) = 0;
    // types has room for GetTypeCount entries.
    virtual NTSTATUS GetTypes(ULONG* types) = 0;
    virtual NTSTATUS SelectType(ULONG type) = 0;
    virtual NTSTATUS GetJackCount(ULONG* count, ULONG typeIndex) = 0;
    // Copies min(bufferSize, jack count x 36) bytes of records.
    virtual NTSTATUS GetJackInfo(ULONG bufferSize, JACK_INFO* records, ULONG typeIndex) = 0;
    virtual NTSTATUS GetCapabilities(ENDPOINT_CAPS* caps) = 0;
};

struct ISumUnit : public IUnknown {
    virtual NTSTATUS SetStereoMix(BOOLEAN enable) = 0;
};

struct ITerminalTypeUnit : public IUnknown {
    virtual NTSTATUS GetType(ULONG* type) = 0;
    virtual NTSTATUS GetTypeCount(ULONG* count) = 0;
    virtual NTSTATUS GetTypes(ULONG* types) = 0;
    virtual NTSTATUS SelectType(ULONG type) = 0;
    // The changed flag itself (0 or 1), not a status.
    virtual ULONG IsChanged() = 0;
    virtual NTSTATUS ClearChanged() = 0;
    virtual NTSTATUS AddListener(IUnitProfile* listener) = 0;
    virtual NTSTATUS Init(ULONG sourceId, ULONG count, const ULONG* types) = 0;
};

// Types and jack records are paged ("TerT"). The jack records and the
// current type are guarded by m_JackLock (a kernel mutex, passive level):
// the bound pin nodes replace them (the status thread's read-back) while
// the topology's jack properties and the streams read them.
class CTerminalUnit : public ITerminal, public CUacUnitBase {
public:
    CTerminalUnit(PUNKNOWN outer, ULONG id, ULONG kind);
    ~CTerminalUnit() override;

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    NTSTATUS GetType(ULONG* type) override;
    NTSTATUS GetTypeCount(ULONG* count) override;
    NTSTATUS GetTypes(ULONG* types) override;
    NTSTATUS SelectType(ULONG type) override;
    NTSTATUS GetJackCount(ULONG* count, ULONG typeIndex) override;
    NTSTATUS GetJackInfo(ULONG bufferSize, JACK_INFO* records, ULONG typeIndex) override;
    NTSTATUS GetCapabilities(ENDPOINT_CAPS* caps) override;

protected:
    // Validates and installs types and jack records, then the sources
    // (sourceCount 0 or 1); a failure changes nothing.
    NTSTATUS InitTerminal(ULONG sourceCount, ULONG sourceId, ULONG typeCount, const ULONG* types,
                          ULONG jackCount, const JACK_INFO* jacks);
    // Replaces the jack records under the jack lock (count 0 clears them).
    NTSTATUS ReplaceJacks(ULONG jackCount, const JACK_INFO* jacks);
    NTSTATUS ReplaceTypes(ULONG typeCount, const ULONG* types);
    // The current type, under the jack lock.
    VOID SetCurrentType(ULONG type);

    ULONG m_TypeCount;
    ULONG* m_Types;
    ULONG m_CurrentType;
    ULONG m_JackCount;
    ENDPOINT_CAPS m_Capabilities;
    JACK_INFO* m_Jacks;
    KMUTEX m_JackLock;
};

class CInputPinUnit : public CTerminalUnit {
public:
    CInputPinUnit(PUNKNOWN outer, ULONG id) : CTerminalUnit(outer, id, UNIT_KIND_INPUT_PIN) {}
    NTSTATUS Init(ULONG typeCount, const ULONG* types, ULONG jackCount, const JACK_INFO* jacks);
};

class COutputPinUnit : public CTerminalUnit {
public:
    COutputPinUnit(PUNKNOWN outer, ULONG id) : CTerminalUnit(outer, id, UNIT_KIND_OUTPUT_PIN) {}
    NTSTATUS Init(ULONG sourceId, ULONG typeCount, const ULONG* types, ULONG jackCount,
                  const JACK_INFO* jacks);
};

// Mixer. Its first SetSourceIds also gives it the "StereoMix" type and jack
// record; in stereo-mix mode it reports itself as a source-less input pin
// and answers ITerminal.
class CSumUnit : public ISumUnit, public CTerminalUnit {
public:
    CSumUnit(PUNKNOWN outer, ULONG id);

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    NTSTATUS SetSourceIds(ULONG count, const ULONG* ids) override;
    NTSTATUS SetStereoMix(BOOLEAN enable) override;

protected:
    BOOLEAN m_StereoMix;
    ULONG m_SavedSourceCount;
};

// Terminal-type selector. Listeners (IUnitProfile, each holding a
// reference, non-paged "TerT" list) hear of every change of the type.
class CTerminalTypeUnit : public ITerminalTypeUnit, public CUacUnitBase {
public:
    CTerminalTypeUnit(PUNKNOWN outer, ULONG id);
    ~CTerminalTypeUnit() override;

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    NTSTATUS GetType(ULONG* type) override;
    NTSTATUS GetTypeCount(ULONG* count) override;
    NTSTATUS GetTypes(ULONG* types) override;
    NTSTATUS SelectType(ULONG type) override;
    ULONG IsChanged() override { return m_Changed; }
    NTSTATUS ClearChanged() override;
    NTSTATUS AddListener(IUnitProfile* listener) override;
    NTSTATUS Init(ULONG sourceId, ULONG count, const ULONG* types) override;

protected:
    BOOLEAN HasType(ULONG type) const;
    // SelectProfile(profile, callbackObject) on each listener in order,
    // stopping at the first failure (whose status is dropped).
    void NotifyListeners(ULONG profile, PVOID callbackObject);

    ULONG m_TypeCount;
    ULONG* m_Types;
    ULONG m_CurrentType;
    ULONG m_Changed;
    CList* m_Listeners;
};
