// Pin properties of "GlobalTopo": jack descriptions and the endpoint
// capability block.
#include <cstring>

#include "nt/ke.h"

#include "nt/pool.h"
#include "ks/ks_guids.h"
#include "topology/terminal_units.h"
#include "topology/topo_guids.h"
#include "topology/topo_handlers.h"
#include "topology/topo_tables.h"

namespace {

constexpr ULONG kTempTag = MakePoolTag("Temp");
// Most jack records a description answer can count without its size
// overflowing a ULONG.
constexpr ULONG kMaxJacks = (0xFFFFFFFFu - sizeof(KSMULTIPLE_ITEM)) / sizeof(KSJACK_DESCRIPTION);

typedef enum { kJackDescription, kJackDescription2, kPinCapabilities } PinProperty;

// Steps shared by the pin properties: the pin id, basic support, the verb
// and the terminal behind the pin. On success *terminal holds a reference.
NTSTATUS OpenPinTerminal(PPCPROPERTY_REQUEST r, ITerminal** terminal, bool* answered) {
    *answered = false;
    CMiniportTopology* miniport = CMiniportTopology::FromTarget(r->MajorTarget);
    if (miniport == NULL || !HasInstance(r, 4) || FirstInstanceUlong(r) >= miniport->Graph()->PinCount) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (IsBasicSupport(r)) {
        *answered = true;
        TOPO_DESCRIBE d = {0x201, KSPROPERTY_DESCRIPTION_SIZE, 0, NULL, 0, 0, NULL, NULL};
        return AnswerBasicSupport(r, d);
    }
    PTOPO_UNIT_ENTRY pin = TopoPinByIndex(miniport->Graph(), FirstInstanceUlong(r));
    if (!IsGet(r) || pin == NULL) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status = pin->Unit->QueryInterface(IID_ITerminal, (PVOID*)terminal);
    if (!NT_SUCCESS(status)) {
        r->ValueSize = 0;
    }
    return status;
}

ULONG JackEntrySize(PinProperty which) {
    return which == kJackDescription ? sizeof(KSJACK_DESCRIPTION) : sizeof(KSJACK_DESCRIPTION2);
}

void WriteJackEntries(PinProperty which, const JACK_INFO* jacks, ULONG count, PUCHAR out) {
    for (ULONG i = 0; i < count; ++i) {
        const JACK_INFO& j = jacks[i];
        if (which == kJackDescription) {
            KSJACK_DESCRIPTION d = {j.ChannelMapping, j.Color,        j.ConnectionType,
                                    j.GeoLocation,    j.GenLocation,  j.PortConnection,
                                    (BOOL)j.IsConnected};
            memcpy(out + i * sizeof(d), &d, sizeof(d));
        } else {
            KSJACK_DESCRIPTION2 d = {0, (j.NoPresenceDetect & 1) ? 0u : JACKDESC2_PRESENCE_DETECT_CAPABILITY};
            memcpy(out + i * sizeof(d), &d, sizeof(d));
        }
    }
}

// The records are read into a zeroed temporary array; the answer holds
// min(count asked, count re-read) records, so a terminal whose records were
// replaced in between never hands out bytes nobody wrote.
NTSTATUS JackAnswer(PPCPROPERTY_REQUEST r, ITerminal* terminal, PinProperty which) {
    ULONG n = 0;
    NTSTATUS status = terminal->GetJackCount(&n, 0);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (n == 0 || n > kMaxJacks) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ULONG required = (ULONG)sizeof(KSMULTIPLE_ITEM) + n * JackEntrySize(which);
    if (r->ValueSize == 0) {
        r->ValueSize = required;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (r->ValueSize < required || r->Value == NULL) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    SIZE_T bytes = (SIZE_T)n * sizeof(JACK_INFO);
    if (bytes > 0xFFFFFFFFu) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    JACK_INFO* jacks = static_cast<JACK_INFO*>(ExAllocatePoolWithTag(PagedPool, bytes, kTempTag));
    if (jacks == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memset(jacks, 0, bytes);
    status = terminal->GetJackInfo((ULONG)bytes, jacks, 0);
    ULONG now = 0;
    if (NT_SUCCESS(status)) {
        status = terminal->GetJackCount(&now, 0);
    }
    if (NT_SUCCESS(status)) {
        ULONG count = now < n ? now : n;
        ULONG size = (ULONG)sizeof(KSMULTIPLE_ITEM) + count * JackEntrySize(which);
        KSMULTIPLE_ITEM header = {size, count};
        memcpy(r->Value, &header, sizeof(header));
        WriteJackEntries(which, jacks, count, static_cast<PUCHAR>(r->Value) + sizeof(header));
        r->ValueSize = size;
    }
    ExFreePoolWithTag(jacks, kTempTag);
    return status;
}

NTSTATUS CapabilitiesAnswer(PPCPROPERTY_REQUEST r, ITerminal* terminal) {
    if (r->ValueSize == 0) {
        r->ValueSize = sizeof(ENDPOINT_CAPS);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (!HasValue(r, sizeof(ENDPOINT_CAPS))) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    NTSTATUS status = terminal->GetCapabilities(static_cast<ENDPOINT_CAPS*>(r->Value));
    if (NT_SUCCESS(status)) {
        r->ValueSize = sizeof(ENDPOINT_CAPS);
    }
    return status;
}

NTSTATUS PinProperty_(PPCPROPERTY_REQUEST r, PinProperty which) {
    ITerminal* terminal = NULL;
    bool answered = false;
    NTSTATUS status = OpenPinTerminal(r, &terminal, &answered);
    if (answered || !NT_SUCCESS(status)) {
        return status;
    }
    status = which == kPinCapabilities ? CapabilitiesAnswer(r, terminal) : JackAnswer(r, terminal, which);
    terminal->Release();
    return status;
}

}  // namespace

NTSTATUS PropertyPrivateJack(PPCPROPERTY_REQUEST r) {
    PAGED_CODE();
    if (!IsEqualGUID(*r->PropertyItem->Set, KSPROPSETID_PrivateAudio) || r->PropertyItem->Id != 4) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return PinProperty_(r, kJackDescription);
}

NTSTATUS PropertyJack(PPCPROPERTY_REQUEST r) {
    PAGED_CODE();
    if (!IsEqualGUID(*r->PropertyItem->Set, KSPROPSETID_Jack)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    switch (r->PropertyItem->Id) {
    case KSPROPERTY_JACK_DESCRIPTION:
        return PinProperty_(r, kJackDescription);
    case KSPROPERTY_JACK_DESCRIPTION2:
        return PinProperty_(r, kJackDescription2);
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS PropertyPinCapabilities(PPCPROPERTY_REQUEST r) {
    PAGED_CODE();
    if (!IsEqualGUID(*r->PropertyItem->Set, KSPROPSETID_PinCapabilities) || r->PropertyItem->Id != 1) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return PinProperty_(r, kPinCapabilities);
}
