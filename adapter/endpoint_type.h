// Endpoint kinds and the names of the wave subdevices built from them.
//
// A stream engine's endpoint type (its terminal type as the device-family
// model classifies it) chooses the subdevice name "%sOut%02d" (render) or
// "%sIn%02d" (capture): the kind's name and a per-kind, per-direction
// counter kept in the device context.
#pragma once

#include "nt/status.h"

typedef enum _ENDPOINT_TYPE {
    ENDPOINT_STREAM = 0,
    ENDPOINT_SPK = 1,
    ENDPOINT_HP = 2,
    ENDPOINT_SPDIF = 3,
    ENDPOINT_HDMI = 4,
    ENDPOINT_DISPLAYPORT = 5,
    ENDPOINT_LINE = 6,
    ENDPOINT_MIC = 7,
    ENDPOINT_AUX = 8,
    ENDPOINT_CD = 9,
    ENDPOINT_VIDEO = 10,
    ENDPOINT_FMIC = 11,
    ENDPOINT_TELEPHONE = 12,
    ENDPOINT_HANDSET = 13,
    ENDPOINT_HEADSET = 14,
    ENDPOINT_SPEAKERPHONE = 15,
    ENDPOINT_STEREOMIX = 16,
    ENDPOINT_FHP = 17,
    ENDPOINT_REC = 18,
} ENDPOINT_TYPE;

#define ENDPOINT_TYPE_COUNT 19

// The device context keeps this many counters per direction; only the
// first ENDPOINT_TYPE_COUNT are ever used.
#define ENDPOINT_NAME_COUNTERS 22

// Names of the kinds, in ENDPOINT_TYPE order (endpoint_type.cpp).
extern const PCWSTR ENDPOINT_TYPE_NAMES[ENDPOINT_TYPE_COUNT];

// A subdevice name holds at most this many characters and its terminator.
#define ENDPOINT_NAME_CCH 51

// Formats "%sOut%02d" (render) or "%sIn%02d" (capture) with the name of
// `type` and `number` into name (ENDPOINT_NAME_CCH characters). A type
// that is not a kind gives STATUS_INVALID_PARAMETER and an empty name.
NTSTATUS FormatEndpointName(PWSTR name, BOOLEAN isCapture, ULONG type, ULONG number);
