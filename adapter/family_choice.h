// Choice of the device-family model, and the one table of factories the
// driver creates its models and miniports with.
//
// A UAC 2.0 device (Audio Control protocol 0x20) gets the UAC 2.0 model
// without any string being read. A UAC 1.0 device (protocol 0) is told
// apart by its model string (string descriptor 0x50, else 0x32), see
// family_choice.cpp for the table. Each model has a slot in the factory
// table; an empty slot (its model not built into this driver) fails the
// start with STATUS_NOT_SUPPORTED. Tests swap the table with
// ScopedDriverFactories.
#pragma once

#include "adapter/base/unknown.h"
#include "portcls/portcls.h"
#include "stream/engine/stream_engine.h"

typedef enum _FAMILY_MODEL {
    FAMILY_MODEL_UAC1 = 0,    // generic UAC 1.0
    FAMILY_MODEL_UAC2,        // UAC 2.0
    FAMILY_MODEL_UAC1_REMAP,  // UAC 1.0 with a rewritten configuration descriptor
    FAMILY_MODEL_CHIP_A,
    FAMILY_MODEL_CHIP_B,
    FAMILY_MODEL_CHIP_C,
    FAMILY_MODEL_COUNT,
} FAMILY_MODEL;

typedef struct _FAMILY_CHOICE {
    FAMILY_MODEL Model;
    UCHAR ChipVariant;  // chip family C only, else 0
} FAMILY_CHOICE;

// Bytes of a model-string request (and of its buffer).
#define MODEL_STRING_REQUEST_BYTES 104
#define MODEL_STRING_INDEX 0x50
#define MODEL_STRING_FALLBACK_INDEX 0x32
#define STRING_LANGUAGE_US 0x0409

// UTF-16 code units of a string descriptor as received: 0 unless at
// least 2 bytes arrived and bDescriptorType is 3; otherwise
// (min(bLength, received) - 2) / 2, at most 127.
ULONG StringDescriptorUnits(const UCHAR* descriptor, ULONG received);

// The model for a UAC 1.0 device from its model string (descriptor bytes
// as received; NULL or nothing received when both reads failed).
FAMILY_CHOICE ChooseUac1Model(const UCHAR* descriptor, ULONG received);

// A model factory: the model aggregated by outer, returned as its
// non-delegating unknown with one reference. Chip family C keeps
// chipVariant; the others ignore it.
typedef NTSTATUS (*PFNCREATEFAMILYMODEL)(PUNKNOWN* model, PUNKNOWN outer, USHORT vendorId,
                                         USHORT productId, UCHAR chipVariant);

typedef struct _DRIVER_FACTORIES {
    PFNCREATEFAMILYMODEL Models[FAMILY_MODEL_COUNT];
    // The topology miniport ("GlobalTopo") in the port-class form.
    PFNCREATEINSTANCE CreateTopologyMiniport;
    // The wave-cyclic miniport each stream engine installs.
    PFNCREATEMINIPORT CreateWaveMiniport;
} DRIVER_FACTORIES;

// The table in use (never NULL).
const DRIVER_FACTORIES* GetDriverFactories();

// Replaces the table for its scope (tests); not thread-safe against a
// running start.
class ScopedDriverFactories {
public:
    explicit ScopedDriverFactories(const DRIVER_FACTORIES& factories);
    ~ScopedDriverFactories();
    ScopedDriverFactories(const ScopedDriverFactories&) = delete;
    ScopedDriverFactories& operator=(const ScopedDriverFactories&) = delete;

private:
    DRIVER_FACTORIES m_Table;
    const DRIVER_FACTORIES* m_pPrevious;
};
