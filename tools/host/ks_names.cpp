// Identifier and status names for the host program's output.
#include "tools/host/ks_names.h"

#include <cstdio>

#include "nt/status.h"
#include "ks/ks_guids.h"
#include "portcls/portcls_guids.h"
#include "stream/wave/wave_guids.h"
#include "topology/topo_guids.h"

namespace host {

namespace {

struct NamedGuid {
    const GUID* guid;
    const char* name;
};

#define NAMED(g) {&g, #g}
const NamedGuid kGuids[] = {
    NAMED(KSDATAFORMAT_TYPE_AUDIO),         NAMED(KSDATAFORMAT_SUBTYPE_PCM),
    NAMED(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT), NAMED(KSDATAFORMAT_SUBTYPE_ANALOG),
    NAMED(KSDATAFORMAT_SUBTYPE_VENDOR_DSD), NAMED(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX),
    NAMED(KSDATAFORMAT_SPECIFIER_DSOUND),   NAMED(KSDATAFORMAT_SPECIFIER_NONE),
    NAMED(KSCATEGORY_AUDIO),                NAMED(KSCATEGORY_RENDER),
    NAMED(KSCATEGORY_CAPTURE),              NAMED(KSCATEGORY_TOPOLOGY),
    NAMED(GUID_DEVINTERFACE_ENUM_PRIVATE),  NAMED(KSNODETYPE_DAC),
    NAMED(KSNODETYPE_ADC),                  NAMED(KSNODETYPE_DEV_SPECIFIC),
    NAMED(KSNODETYPE_VOLUME),               NAMED(KSNODETYPE_MUTE),
    NAMED(KSNODETYPE_TONE),                 NAMED(KSNODETYPE_SUM),
    NAMED(KSNODETYPE_MUX),                  NAMED(KSNODETYPE_AGC),
    NAMED(KSNODETYPE_LOUDNESS),             NAMED(KSNODETYPE_SPEAKER),
    NAMED(KSNODETYPE_HEADPHONES),           NAMED(KSNODETYPE_SPDIF_INTERFACE),
    NAMED(KSNODETYPE_HDMI_INTERFACE),       NAMED(KSNODETYPE_DISPLAYPORT_INTERFACE),
    NAMED(KSNODETYPE_LINE_CONNECTOR),       NAMED(KSNODETYPE_MICROPHONE),
    NAMED(KSNODETYPE_ANALOG_CONNECTOR),     NAMED(KSNODETYPE_CD_PLAYER),
    NAMED(KSNODETYPE_VIDEO_DISC_AUDIO),     NAMED(KSNODETYPE_DESKTOP_MICROPHONE),
    NAMED(KSNODETYPE_TELEPHONE),            NAMED(KSNODETYPE_HANDSET),
    NAMED(KSNODETYPE_HEADSET),              NAMED(KSNODETYPE_SPEAKERPHONE_NO_ECHO_REDUCTION),
    NAMED(KSAUDFNAME_BASS),                 NAMED(KSAUDFNAME_MIDRANGE),
    NAMED(KSAUDFNAME_TREBLE),               NAMED(KSPROPSETID_Audio),
    NAMED(KSPROPSETID_PrivateAudio),        NAMED(KSINTERFACESETID_Standard),
};
#undef NAMED

struct NamedStatus {
    NTSTATUS status;
    const char* name;
};

#define NAMED(s) {s, #s}
const NamedStatus kStatuses[] = {
    NAMED(STATUS_SUCCESS),           NAMED(STATUS_UNSUCCESSFUL),          NAMED(STATUS_NOT_IMPLEMENTED),
    NAMED(STATUS_INVALID_PARAMETER), NAMED(STATUS_NO_SUCH_DEVICE),        NAMED(STATUS_INVALID_DEVICE_REQUEST),
    NAMED(STATUS_BUFFER_TOO_SMALL),  NAMED(STATUS_OBJECT_NAME_NOT_FOUND), NAMED(STATUS_INSUFFICIENT_RESOURCES),
    NAMED(STATUS_NOT_SUPPORTED),     NAMED(STATUS_DEVICE_NOT_CONNECTED),  NAMED(STATUS_INVALID_DEVICE_STATE),
    NAMED(STATUS_NO_MATCH),          NAMED(STATUS_BUFFER_OVERFLOW),       NAMED(STATUS_DEVICE_DOES_NOT_EXIST),
    NAMED(STATUS_NOT_FOUND),         NAMED(STATUS_DEVICE_BUSY),           NAMED(STATUS_DEVICE_NOT_READY),
    NAMED(STATUS_IO_DEVICE_ERROR),   NAMED(STATUS_REGISTRY_CORRUPT),      NAMED(STATUS_DEVICE_CONFIGURATION_ERROR),
};
#undef NAMED

}  // namespace

std::string GuidText(const GUID& g) {
    char buffer[40];
    std::snprintf(buffer, sizeof(buffer), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", (unsigned)g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    return buffer;
}

std::string GuidName(const GUID& guid) {
    for (const NamedGuid& n : kGuids)
        if (*n.guid == guid) return n.name;
    return GuidText(guid);
}

std::string StatusText(NTSTATUS status) {
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%08X", (unsigned)status);
    for (const NamedStatus& n : kStatuses)
        if (n.status == status) return std::string(n.name) + " (" + hex + ")";
    return hex;
}

std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out += (c >= 0x20 && c < 0x7F) ? (char)c : '?';
    return out;
}

}  // namespace host
