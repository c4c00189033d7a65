// Names of the endpoint kinds, as the subdevice names and the host program
// show them.
#include "adapter/endpoint_type.h"

#include "nt/rtl.h"

const PCWSTR ENDPOINT_TYPE_NAMES[ENDPOINT_TYPE_COUNT] = {
    u"Stream",       // ENDPOINT_STREAM
    u"SPK",          // ENDPOINT_SPK
    u"HP",           // ENDPOINT_HP
    u"SPDIF",        // ENDPOINT_SPDIF
    u"HDMI",         // ENDPOINT_HDMI
    u"DisplayPort",  // ENDPOINT_DISPLAYPORT
    u"Line",         // ENDPOINT_LINE
    u"Mic",          // ENDPOINT_MIC
    u"Aux",          // ENDPOINT_AUX
    u"CD",           // ENDPOINT_CD
    u"Video",        // ENDPOINT_VIDEO
    u"FMic",         // ENDPOINT_FMIC
    u"Telephone",    // ENDPOINT_TELEPHONE
    u"HandSet",      // ENDPOINT_HANDSET
    u"HeadSet",      // ENDPOINT_HEADSET
    u"Speakerphone", // ENDPOINT_SPEAKERPHONE
    u"StereoMix",    // ENDPOINT_STEREOMIX
    u"FHP",          // ENDPOINT_FHP
    u"Rec",          // ENDPOINT_REC
};

NTSTATUS FormatEndpointName(PWSTR name, BOOLEAN isCapture, ULONG type, ULONG number) {
    if (name == NULL) return STATUS_INVALID_PARAMETER;
    name[0] = 0;
    // The model reports the type; anything beyond the table would index
    // past it.
    if (type >= ENDPOINT_TYPE_COUNT) return STATUS_INVALID_PARAMETER;
    return RtlStringCchPrintfW(name, ENDPOINT_NAME_CCH, isCapture ? u"%sIn%02d" : u"%sOut%02d",
                               ENDPOINT_TYPE_NAMES[type], (int)number);
}
