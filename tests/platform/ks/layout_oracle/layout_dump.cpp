// Writes the layout oracle's checks: every size, offset and public GUID of
// the stand-in's kernel-streaming and port-class declarations that a
// Windows header also declares, as static_asserts in the Windows names.
// The cross compiler then checks them against its own headers
// (oracle_user.cpp, oracle_kernel.cpp); nothing is copied from those.
#include <cstddef>
#include <cstdio>

#include "ks/ks_guids.h"
#include "ks/ks_types.h"
#include "portcls/portcls.h"

namespace {

void Size(FILE* f, const char* type, size_t size) {
    fprintf(f, "static_assert(sizeof(%s) == %zu, \"size of %s\");\n", type, size, type);
}
void Offset(FILE* f, const char* type, const char* field, size_t offset) {
    fprintf(f, "static_assert(offsetof(%s, %s) == %zu, \"offset of %s.%s\");\n", type, field, offset, type, field);
}
void Guid(FILE* f, const char* name, const GUID& g) {
    fprintf(f, "ORACLE_GUID(%s, 0x%08X, 0x%04X, 0x%04X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X);\n",
            name, g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
            g.Data4[6], g.Data4[7]);
}

// A public GUID the stand-in deliberately gives another value (the port
// class's own, where the driver's documentation names none): asserted to
// differ, so that a change on either side is noticed.
void GuidDiffers(FILE* f, const char* name, const GUID& g) {
    fprintf(f, "ORACLE_GUID_DIFFERS(%s, 0x%08X, 0x%04X, 0x%04X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X);\n",
            name, g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
            g.Data4[6], g.Data4[7]);
}

#define SIZE(t) Size(f, #t, sizeof(t))
#define OFFSET(t, m) Offset(f, #t, #m, offsetof(t, m))
#define GUIDOF(n) Guid(f, #n, n)

// Public names the cross compiler's headers do not declare (newer than
// them); the driver's values come from its own documentation.
const char* const kNotInOracle[] = {"KSPROPSETID_Jack", "KSNODETYPE_HDMI_INTERFACE",
                                    "KSNODETYPE_DISPLAYPORT_INTERFACE", "KSAUDFNAME_MIDRANGE"};

void UserChecks(FILE* f) {
    for (const char* name : kNotInOracle) {
        fprintf(f, "// not in the oracle's headers: %s\n", name);
    }
    SIZE(KSIDENTIFIER);
    OFFSET(KSIDENTIFIER, Id);
    OFFSET(KSIDENTIFIER, Flags);
    SIZE(KSNODEPROPERTY);
    OFFSET(KSNODEPROPERTY, NodeId);
    SIZE(KSNODEPROPERTY_AUDIO_CHANNEL);
    OFFSET(KSNODEPROPERTY_AUDIO_CHANNEL, Channel);
    SIZE(KSNODEPROPERTY_AUDIO_DEV_SPECIFIC);
    OFFSET(KSNODEPROPERTY_AUDIO_DEV_SPECIFIC, DevSpecificId);
    SIZE(KSP_PIN);
    OFFSET(KSP_PIN, PinId);
    SIZE(KSE_NODE);
    OFFSET(KSE_NODE, NodeId);
    SIZE(KSPROPERTY_DESCRIPTION);
    OFFSET(KSPROPERTY_DESCRIPTION, PropTypeSet);
    OFFSET(KSPROPERTY_DESCRIPTION, MembersListCount);
    SIZE(KSPROPERTY_MEMBERSHEADER);
    SIZE(KSPROPERTY_BOUNDS_LONG);
    SIZE(KSPROPERTY_STEPPING_LONG);
    OFFSET(KSPROPERTY_STEPPING_LONG, Bounds);
    SIZE(KSMULTIPLE_ITEM);
    SIZE(KSEVENTDATA);
    OFFSET(KSEVENTDATA, EventHandle.Event);
    SIZE(KSDATAFORMAT);
    OFFSET(KSDATAFORMAT, MajorFormat);
    OFFSET(KSDATAFORMAT, Specifier);
    SIZE(KSDATARANGE_AUDIO);
    OFFSET(KSDATARANGE_AUDIO, MaximumSampleFrequency);
    SIZE(KSATTRIBUTE);
    SIZE(WAVEFORMATEX);
    SIZE(WAVEFORMATEXTENSIBLE);
    OFFSET(WAVEFORMATEXTENSIBLE, SubFormat);
    SIZE(KSJACK_DESCRIPTION);
    OFFSET(KSJACK_DESCRIPTION, IsConnected);
    SIZE(KSJACK_DESCRIPTION2);
    GUIDOF(KSPROPSETID_Audio);
    GUIDOF(KSEVENTSETID_AudioControlChange);
    GUIDOF(KSPROPTYPESETID_General);
    GUIDOF(KSNODETYPE_DEV_SPECIFIC);
    GUIDOF(KSNODETYPE_VOLUME);
    GUIDOF(KSNODETYPE_MUTE);
    GUIDOF(KSNODETYPE_TONE);
    GUIDOF(KSNODETYPE_SUM);
    GUIDOF(KSNODETYPE_MUX);
    GUIDOF(KSNODETYPE_AGC);
    GUIDOF(KSNODETYPE_LOUDNESS);
    GUIDOF(KSNODETYPE_SPEAKER);
    GUIDOF(KSNODETYPE_HEADPHONES);
    GUIDOF(KSNODETYPE_SPDIF_INTERFACE);
    GUIDOF(KSNODETYPE_LINE_CONNECTOR);
    GUIDOF(KSNODETYPE_MICROPHONE);
    GUIDOF(KSNODETYPE_ANALOG_CONNECTOR);
    GUIDOF(KSNODETYPE_CD_PLAYER);
    GUIDOF(KSNODETYPE_VIDEO_DISC_AUDIO);
    GUIDOF(KSNODETYPE_DESKTOP_MICROPHONE);
    GUIDOF(KSNODETYPE_TELEPHONE);
    GUIDOF(KSNODETYPE_HANDSET);
    GUIDOF(KSNODETYPE_HEADSET);
    GUIDOF(KSNODETYPE_SPEAKERPHONE_NO_ECHO_REDUCTION);
    GUIDOF(KSAUDFNAME_BASS);
    GUIDOF(KSAUDFNAME_TREBLE);
    GUIDOF(KSCATEGORY_AUDIO);
    GUIDOF(KSCATEGORY_TOPOLOGY);
    GUIDOF(KSDATAFORMAT_SUBTYPE_PCM);
    GUIDOF(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
    GuidDiffers(f, "KSDATAFORMAT_TYPE_AUDIO", KSDATAFORMAT_TYPE_AUDIO);
    GuidDiffers(f, "KSDATAFORMAT_SUBTYPE_ANALOG", KSDATAFORMAT_SUBTYPE_ANALOG);
    GuidDiffers(f, "KSDATAFORMAT_SPECIFIER_NONE", KSDATAFORMAT_SPECIFIER_NONE);
}

void KernelChecks(FILE* f) {
    SIZE(KSPIN_DESCRIPTOR);
    OFFSET(KSPIN_DESCRIPTOR, DataRanges);
    OFFSET(KSPIN_DESCRIPTOR, Category);
    SIZE(PCPROPERTY_ITEM);
    SIZE(PCEVENT_ITEM);
    SIZE(PCAUTOMATION_TABLE);
    OFFSET(PCAUTOMATION_TABLE, Events);
    SIZE(PCPIN_DESCRIPTOR);
    OFFSET(PCPIN_DESCRIPTOR, KsPinDescriptor);
    SIZE(PCNODE_DESCRIPTOR);
    SIZE(PCCONNECTION_DESCRIPTOR);
    SIZE(PCFILTER_DESCRIPTOR);
    OFFSET(PCFILTER_DESCRIPTOR, Nodes);
    OFFSET(PCFILTER_DESCRIPTOR, Categories);
    SIZE(PCPROPERTY_REQUEST);
    OFFSET(PCPROPERTY_REQUEST, PropertyItem);
    OFFSET(PCPROPERTY_REQUEST, InstanceSize);
    OFFSET(PCPROPERTY_REQUEST, Value);
    OFFSET(PCPROPERTY_REQUEST, Irp);
    SIZE(PCEVENT_REQUEST);
    OFFSET(PCEVENT_REQUEST, EventEntry);
    OFFSET(PCEVENT_REQUEST, Verb);
}

}  // namespace

// layout_dump <user checks file> <kernel checks file>
int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s USER_OUT KERNEL_OUT\n", argv[0]);
        return 2;
    }
    FILE* user = fopen(argv[1], "w");
    FILE* kernel = fopen(argv[2], "w");
    if (!user || !kernel) {
        return 2;
    }
    UserChecks(user);
    KernelChecks(kernel);
    fclose(user);
    fclose(kernel);
    return 0;
}
