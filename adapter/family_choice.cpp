// The device-family choice for UAC 1.0 devices and the factory table.
//
// Choice table (first match wins) over the model string's first code
// units, compared only within the bytes the device actually sent:
//
//   model string begins          model                 chip variant
//   0x000B 0x0005 0x0050         remapped UAC 1.0      -
//   "Z7AK"                       chip family A         -
//   "Z7BP"                       chip family B         -
//   "XRW4QS5"                    chip family C         5
//   "XRW4QS6"                    chip family C         6
//   "XRW4QS" + anything else     generic UAC 1.0       -
//   anything else, or no string  generic UAC 1.0       -
//
// Why "XRW4QS" with another variant gets the generic model: chip family C
// knows variants 5 and 6 only and would fail the whole start with any
// other, while the generic model drives any class-compliant device.
#include "adapter/family_choice.h"

#include "adapter/model/uac1_chip_hals.h"
#include "adapter/model/uac1_hal.h"
#include "adapter/model/uac1_remap_hal.h"
#include "adapter/model/uac2_hal.h"
#include "stream/wave/miniport_wave_cyclic.h"
#include "topology/miniport_topology.h"
#include "usb/usb_descriptors.h"

namespace {

struct CHOICE_ROW {
    WCHAR Prefix[8];
    ULONG PrefixUnits;
    FAMILY_MODEL Model;
    UCHAR ChipVariant;
};

const CHOICE_ROW kChoiceRows[] = {
    {{0x000B, 0x0005, 0x0050}, 3, FAMILY_MODEL_UAC1_REMAP, 0},
    {u"Z7AK", 4, FAMILY_MODEL_CHIP_A, 0},
    {u"Z7BP", 4, FAMILY_MODEL_CHIP_B, 0},
    {u"XRW4QS5", 7, FAMILY_MODEL_CHIP_C, 5},
    {u"XRW4QS6", 7, FAMILY_MODEL_CHIP_C, 6},
    {u"XRW4QS", 6, FAMILY_MODEL_UAC1, 0},
};

// Code unit i of the descriptor's text (little-endian, after the header).
WCHAR UnitAt(const UCHAR* descriptor, ULONG i) {
    return (WCHAR)(descriptor[2 + 2 * i] | (descriptor[3 + 2 * i] << 8));
}

bool BeginsWith(const UCHAR* descriptor, ULONG units, const CHOICE_ROW& row) {
    if (units < row.PrefixUnits) return false;
    for (ULONG i = 0; i < row.PrefixUnits; ++i)
        if (UnitAt(descriptor, i) != row.Prefix[i]) return false;
    return true;
}

const DRIVER_FACTORIES kBuiltInFactories = {
    // A model slot stays empty until its model is built into the driver;
    // a device of that family fails its start with STATUS_NOT_SUPPORTED.
    {CreateUac1Hal, CreateUac2Hal, CreateUac1RemapHal, CreateUac1ChipAHal, CreateUac1ChipBHal, CreateUac1ChipCHal},
    CreateMiniportTopology,
    CreateMiniportWaveCyclic,
};

const DRIVER_FACTORIES* g_pFactories = &kBuiltInFactories;

}  // namespace

ULONG StringDescriptorUnits(const UCHAR* descriptor, ULONG received) {
    if (descriptor == NULL || received < 2 || descriptor[1] != USB_STRING_DESCRIPTOR_TYPE) return 0;
    ULONG bytes = descriptor[0] < received ? descriptor[0] : received;
    if (bytes < 2) return 0;
    ULONG units = (bytes - 2) / 2;
    return units > 127 ? 127 : units;
}

FAMILY_CHOICE ChooseUac1Model(const UCHAR* descriptor, ULONG received) {
    ULONG units = StringDescriptorUnits(descriptor, received);
    for (const CHOICE_ROW& row : kChoiceRows)
        if (BeginsWith(descriptor, units, row)) return {row.Model, row.ChipVariant};
    return {FAMILY_MODEL_UAC1, 0};
}

const DRIVER_FACTORIES* GetDriverFactories() { return g_pFactories; }

ScopedDriverFactories::ScopedDriverFactories(const DRIVER_FACTORIES& factories)
    : m_Table(factories), m_pPrevious(g_pFactories) {
    g_pFactories = &m_Table;
}

ScopedDriverFactories::~ScopedDriverFactories() { g_pFactories = m_pPrevious; }
