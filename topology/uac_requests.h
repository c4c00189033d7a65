// The catalogue of every class and vendor request the entities send: one
// row per request, numbered by the catalogue row it belongs to (1 to 13
// UAC 1.0, 14 to 25 UAC 2.0). The table itself is uac_requests.cpp.
#pragma once

#include "nt/types.h"

typedef enum _UAC_REQUEST {
    UAC1_FU_GET_CUR_SWITCH,
    UAC1_FU_SET_CUR_SWITCH,
    UAC1_FU_GET_CUR_LEVEL,
    UAC1_FU_SET_CUR_LEVEL,
    UAC1_FU_GET_MIN,
    UAC1_FU_GET_MAX,
    UAC1_FU_GET_RES,
    UAC1_FU_GET_MEM_LENGTH,
    UAC1_FU_GET_MEM,
    UAC1_SU_GET_CUR,
    UAC1_SU_SET_CUR,
    UAC1_OT_GET_TYPE,
    UAC1_OT_SELECT_TYPE,
    UAC1_OT_GET_TYPE_LIST,
    UAC1_TERMINAL_GET_JACK_LIST,
    UAC1_TERMINAL_GET_CONNECTION,
    UAC2_FU_GET_CUR_SWITCH,
    UAC2_FU_SET_CUR_SWITCH,
    UAC2_FU_GET_CUR_LEVEL,
    UAC2_FU_SET_CUR_LEVEL,
    UAC2_FU_GET_RANGE,
    UAC2_FU_GET_MEM_LENGTH,
    UAC2_FU_GET_MEM,
    UAC2_CS_GET_FREQ,
    UAC2_CS_SET_FREQ,
    UAC2_CS_GET_FREQ_RANGE,
    UAC2_CS_GET_VALID,
    UAC2_SU_GET_CUR,
    UAC2_SU_SET_CUR,
    UAC2_OT_GET_TYPE,
    UAC2_OT_SET_TYPE,
    UAC2_OT_GET_TYPE_RANGE,
    UAC2_TERMINAL_GET_JACK_LIST,
    UAC2_TERMINAL_GET_CONNECTOR,
    UAC_REQUEST_COUNT
} UAC_REQUEST;

typedef enum _UAC_REQUEST_KIND {
    UAC_REQUEST_CLASS,
    UAC_REQUEST_VENDOR,
    // Class, but vendor for the vendor's control selectors (wValue high
    // byte 0x80 and above).
    UAC_REQUEST_CLASS_OR_VENDOR,
} UAC_REQUEST_KIND;

// wValue given by the caller (control selector << 8 | channel).
#define UAC_VALUE_FROM_CALLER 0xFFFFFFFFu

typedef struct _UAC_REQUEST_ROW {
    UCHAR CatalogueRow;
    UCHAR Kind;     // UAC_REQUEST_KIND
    BOOLEAN In;     // GET (device to host)
    UCHAR Request;  // bRequest
    ULONG Value;    // wValue, or UAC_VALUE_FROM_CALLER
} UAC_REQUEST_ROW;

extern const UAC_REQUEST_ROW UAC_REQUEST_TABLE[UAC_REQUEST_COUNT];
