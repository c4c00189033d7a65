// CUac1RemapHal: the model of the remapped UAC 1.0 family. Its codec has
// one fixed descriptor layout (remap_rewrite.h) that fourteen registry
// switches and the product's row (remap_products.h) cut down before the
// UAC 1.0 parsers run; six codec registers written through HID output
// reports on interface 3; and, on one product, a jack that a thread polls
// through a HID input report.
//
// Files: uac1_remap_hal.cpp (factory, InitHardware, entity rows, streams,
// output-type changes), remap_chip.cpp (registers, InitChip, Start, Stop
// and the jack poller).
//
// Entities and nodes reach the registers through QueryChipRegisters
// (topology/chip_registers_registry.h): the model registers its IAudioHal
// there for its life, so only this model answers.
//
// Locks: RegisterLock (a kernel mutex) is held from reading a shadow to
// updating it and nothing else is taken meanwhile, so a stream's m_Lock ->
// RegisterLock never inverts. The poller's thread is ended by Stop and by
// the destructor; Stop waits for it without ModelLock held.
#pragma once

#include "adapter/model/remap_rewrite.h"
#include "adapter/model/uac1_hal.h"
#include "stream/usb/chip_registers.h"

class CJackStateNode;

inline constexpr ULONG REMAP_MODEL_TAG = MakePoolTag("Z7AM");

NTSTATUS CreateUac1RemapHal(PUNKNOWN* model, PUNKNOWN outer, USHORT vendorId, USHORT productId, UCHAR chipVariant);

// Register index 0 to 5: the last value written (or the start value) and
// whether InitChip writes it again.
typedef struct _CHIP_REGISTER {
    USHORT Value;
    UCHAR Flags;
} CHIP_REGISTER;
#define CHIP_REGISTER_REPLAY 0x02

// The poller's history of jack samples (1: plugged, the report's bit 4
// clear) and the state it decides.
#define JACK_HISTORY_SAMPLES 30
typedef struct _JACK_HISTORY {
    UCHAR Samples[JACK_HISTORY_SAMPLES];
    ULONG Position;
    ULONG State;
} JACK_HISTORY;
// The state after the newest sample: 0 after 30 unplugged samples, 2 after
// 30 plugged ones, 1 from 0 as soon as the history holds a plugged one;
// otherwise the state stays.
ULONG NextJackState(const JACK_HISTORY* history);

class CUac1RemapHal : public CUac1Hal, public IChipRegisters {
public:
    CUac1RemapHal(PUNKNOWN outer, USHORT vendorId, USHORT productId);
    // Ends the poller, releases the jack-state node, leaves the registry.
    ~CUac1RemapHal() override;

    // ---- IAudioHal ----------------------------------------------------------
    // Registers, chip id, switches and product rule, the rewrite, both
    // parsers and InitChip.
    NTSTATUS InitHardware() override;
    // The jack poller, on the polling product only; units and the status
    // pipe are not started.
    NTSTATUS Start() override;
    NTSTATUS Stop() override;

    // ---- IUacHal -------------------------------------------------------------
    NTSTATUS ParseAudioStreaming(const USB_CONFIGURATION_DESCRIPTOR* configuration,
                                 const UCHAR* firstAsInterfaceDescriptor, ULONG bytesToEnd) override;
    NTSTATUS InitChip() override;

    // ---- registers (remap_chip.cpp) -----------------------------------------
    NTSTATUS WriteChipRegister(ULONG index, USHORT value, USHORT mask) override;
    CHIP_REGISTER ChipRegister(ULONG index);

    const REMAP_SWITCHES& Switches() const { return m_Switches; }
    BOOLEAN JackPollEnabled() const { return m_JackPollEnabled; }
    BOOLEAN JackPollRunning() const { return m_JackPollRunning; }
    // The jack-state node the poller drives (no reference), or NULL.
    CJackStateNode* JackStateNode() const { return m_JackStateNode; }
    // Replaces the kept node (a reference is taken, the old one released).
    void KeepJackStateNode(CJackStateNode* node);

    static VOID JackPollThreadStart(PVOID model);

protected:
    const UAC_ENTITY_ROW* EntityRows(ULONG* count) override;
    NTSTATUS CreateStream(BOOLEAN capture, ULONG interfaceNumber, ULONG terminalNodeId,
                          CCyclicControl** stream) override;
    NTSTATUS CheckRequiredEntities() override { return STATUS_SUCCESS; }
    ULONG MislabelledTerminal() override { return UAC_ANY_ENTITY_ID; }
    // After an output-type change renamed an engine: the terminal's own
    // change path re-installs every subdevice.
    NTSTATUS InstallRenamed(IStreamEngine* engine, ULONG unitId) override;

private:
    void ResetChipRegisters();
    NTSTATUS ReadChipId(IUsbAudioDevice* usb, BOOLEAN* matches);
    void ReadSwitches();
    NTSTATUS RewriteConfiguration(IUsbAudioDevice* usb);
    NTSTATUS AddRenderNodes(CCyclicControl* engine, BOOLEAN jackNode, BOOLEAN swapNode);
    NTSTATUS SendChipRegister(IUsbAudioDevice* usb, ULONG index, USHORT value);
    // The poller (remap_chip.cpp).
    VOID JackPollThread();
    struct JACK_POLL;
    NTSTATUS ReadJackSample(JACK_POLL* poll, UCHAR* sample);
    VOID SetMuteOrBits(UCHAR bits);
    VOID EnterJackState(ULONG state);

    CHIP_REGISTER m_ChipRegisters[CHIP_REGISTER_COUNT];
    CMutexLock RegisterLock;
    BOOLEAN m_JackPollEnabled;
    BOOLEAN m_JackPollRunning;
    KTIMER m_JackPollTimer;
    REMAP_SWITCHES m_Switches;
    CJackStateNode* m_JackStateNode;
};
