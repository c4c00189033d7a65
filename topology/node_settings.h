// Persistence of the bound nodes' values in the "Settings" subkey: the
// value names, one-value reads and writes, the per-profile restore that a
// change of the output type runs, and the control-change notification.
//
// Names, formatted into 19 UTF-16 characters (a longer name is cut to 18):
//   "Unit%02d_%2d_" + channel  switch (1 byte) or level (4 bytes, 1/65536 dB)
//                              of one channel under one profile
//   "Unit%02d_"                selector input, output type (4 bytes) or
//                              vendor switch (1 byte) of a node
//   "UACUnit%02d"              output type an output terminal presents
// "%2d" pads the profile with a blank: unit 5, profile 2, channel 1 is
// "Unit05_ 2_1". Unit ids are the nodes' indexes in the adapter's unit
// list, so the names hold while the device's descriptors stay the same.
//
// Every access runs at PASSIVE_LEVEL. Channel values are read as fixed
// records (exactly the caller's size); unit values, terminal types and
// switches as numbers (a shorter REG_BINARY is zero-extended, so a one-byte
// value from a settings file reads as that number). A stored value of
// another shape leaves the variable as it was, as a missing one does.
// Callers ignore the store's status except where noted.
#pragma once

#include "adapter/audio_hal.h"

#define NODE_VALUE_NAME_CCH 19

// Names of the fixed switches read by the output terminals.
inline constexpr PCWSTR SETTINGS_INIT_TYPE_BY_SELECTION = u"INITOTTYPEBYSEL";
inline constexpr PCWSTR SETTINGS_SET_JACK_CONNECT = u"SetJackConnect";

// The name buffers; the formatter's truncation status is not an error.
void FormatChannelValueBase(WCHAR (&name)[NODE_VALUE_NAME_CCH], ULONG unitId, ULONG profile);
void FormatUnitValueName(WCHAR (&name)[NODE_VALUE_NAME_CCH], ULONG unitId);
void FormatTerminalValueName(WCHAR (&name)[NODE_VALUE_NAME_CCH], ULONG terminalId);

// Where a node keeps its values: the settings device object (the adapter's
// FDO, IAudioHal GetDeviceObject) and the node's unit id.
struct NODE_STORE {
    PDEVICE_OBJECT DeviceObject;
    ULONG UnitId;

    // "Unit%02d_%2d_" + channel, a fixed record of size bytes.
    NTSTATUS ReadChannel(ULONG profile, ULONG channel, PVOID value, ULONG size) const;
    NTSTATUS WriteChannel(ULONG profile, ULONG channel, const void* value, ULONG size) const;
    // "Unit%02d_", a number of size bytes.
    NTSTATUS ReadUnit(PVOID value, ULONG size) const;
    NTSTATUS WriteUnit(const void* value, ULONG size) const;
};

// "UACUnit%02d" of an output terminal (4 bytes).
NTSTATUS ReadTerminalType(PDEVICE_OBJECT deviceObject, ULONG terminalId, ULONG* type);
NTSTATUS WriteTerminalType(PDEVICE_OBJECT deviceObject, ULONG terminalId, ULONG type);

// A 4-byte switch value (1 to 4 stored bytes); 0 when absent or of another
// shape.
ULONG ReadSettingsSwitch(PDEVICE_OBJECT deviceObject, PCWSTR name);

// One AUDIOHAL_NOTIFICATION {1, 1, unitId, 0} on the callback object,
// delivered synchronously in this thread; nothing when it is NULL.
void NotifyControlChange(PVOID callbackObject, ULONG unitId);

// Steps 3 and 4 of a profile change, shared by the switch and level nodes:
// for each channel i < count, the stored value of the new profile is read
// over values[i] and setChannel(i, values[i]) (the node's own SetValue)
// sends it to the device and stores it under the new profile; results are
// ignored, so a channel without a stored value carries its current value
// into the new profile. Then one notification when callbackObject is set.
template <class T, class SetChannel>
void RestoreProfileValues(const NODE_STORE& store, ULONG profile, ULONG count, T* values,
                          PVOID callbackObject, SetChannel setChannel) {
    for (ULONG i = 0; i < count; ++i) {
        store.ReadChannel(profile, i, &values[i], sizeof(T));
        setChannel(i, values[i]);
    }
    NotifyControlChange(callbackObject, store.UnitId);
}
