// Jack records of the UAC terminal entities: the colour table, decoding of
// the device's jack list and the connection rules.
#include "topology/jack_info.h"

#include <cstring>

#include "adapter/usb/usb_audio_device.h"
#include "nt/dbg.h"
#include "nt/pool.h"
#include "topology/interface_ref.h"
#include "topology/uac_entity.h"

// Colour codes 0-15 of the configuration word.
const ULONG JACK_COLOR_TABLE[JACK_COLOR_COUNT] = {
    0x000000, 0x000000, 0x808080, 0x0000FF, 0x00FF00, 0xFF0000, 0xFF8000, 0xFFFF00,
    0x800080, 0xFF0080, 0x000000, 0x000000, 0x000000, 0x000000, 0xFFFFFF, 0x000000,
};

namespace {
constexpr ULONG kJackEntryBytes = 8;
constexpr ULONG kFirstJackReadBytes = 1 + kJackEntryBytes;
constexpr ULONG kConnectionStatusBytes = 6;

ULONG ReadLe32(const UCHAR* p) {
    return (ULONG)p[0] | (ULONG)p[1] << 8 | (ULONG)p[2] << 16 | (ULONG)p[3] << 24;
}

UAC_REQUEST ListRequest(BOOLEAN uac2) {
    return uac2 ? UAC2_TERMINAL_GET_JACK_LIST : UAC1_TERMINAL_GET_JACK_LIST;
}

// The class document defines the connector control for channel 0 only, so
// a class 2.0 device outside the family that answers the list stalls it or
// answers with its connector block. Jacks only describe the terminal: it
// goes on without them.
NTSTATUS UnansweredUac2List(CUacEntity* terminal, NTSTATUS status) {
    InterfaceRef<IUsbAudioDevice> usb(terminal->Device(), IID_IUsbAudioDevice);
    const ULONG interfaceNumber = usb.get() != NULL ? usb->GetAudioControlInterfaceNumber() : 0;
    DbgPrint("interface %u, entity %u: the device does not answer the jack list (status %x); the terminal has "
             "no jacks\n",
             (unsigned)interfaceNumber, (unsigned)terminal->EntityId(), (unsigned)status);
    return STATUS_SUCCESS;
}
}  // namespace

JACK_INFO DecodeJack(ULONG channelMapping, ULONG config, BOOLEAN uac2) {
    const bool misc = (config & 0xF00) != 0;
    JACK_INFO jack = {};
    jack.ChannelMapping = channelMapping;
    jack.Color = JACK_COLOR_TABLE[(config >> 12) & 0xF];
    jack.ConnectionType = (config >> 16) & 0xFF;
    jack.GeoLocation = (config >> 24) & 0xF;
    jack.GenLocation = config >> 28;
    jack.PortConnection = 0;
    jack.NoPresenceDetect = 0;
    jack.IsConnected = misc ? 1 : 0;
    jack.PresenceDetect = (!uac2 && !misc) ? 1 : 0;
    return jack;
}

void FreeJackArray(JACK_ARRAY* jacks) {
    if (jacks->Records != NULL) {
        ExFreePool(jacks->Records);
    }
    jacks->Records = NULL;
    jacks->Count = 0;
}

// The list is read twice: 9 bytes for the count (only the count byte of
// this answer is used), then 1 + 8n bytes into a zeroed buffer.
NTSTATUS ReadJackList(CUacEntity* terminal, BOOLEAN uac2, JACK_ARRAY* jacks) {
    UCHAR first[kFirstJackReadBytes];
    ULONG received = 0;
    NTSTATUS status = terminal->SendRequest(ListRequest(uac2), 0, first, sizeof(first), &received);
    if (NT_SUCCESS(status) && received < 1) {
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        return uac2 ? UnansweredUac2List(terminal, status) : STATUS_SUCCESS;
    }
    ULONG count = first[0];
    if (count == 0) {
        return STATUS_SUCCESS;
    }
    const ULONG listBytes = 1 + kJackEntryBytes * count;
    const ULONG tag = uac2 ? UAC2_NODE_TAG : UAC1_NODE_TAG;
    UCHAR* list = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, listBytes, tag));
    JACK_INFO* records = static_cast<JACK_INFO*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, count * sizeof(JACK_INFO), tag));
    status = STATUS_INSUFFICIENT_RESOURCES;
    if (list != NULL && records != NULL) {
        status = terminal->SendRequest(ListRequest(uac2), 0, list, listBytes);
        if (!NT_SUCCESS(status) && uac2) {
            status = UnansweredUac2List(terminal, status);
            count = 0;
        }
    }
    if (NT_SUCCESS(status) && count != 0) {
        for (ULONG i = 0; i < count; ++i) {
            const UCHAR* entry = list + 1 + kJackEntryBytes * i;
            records[i] = DecodeJack(ReadLe32(entry), ReadLe32(entry + 4), uac2);
        }
        jacks->Records = records;
        jacks->Count = count;
        records = NULL;
    }
    if (list != NULL) {
        ExFreePoolWithTag(list, tag);
    }
    if (records != NULL) {
        ExFreePoolWithTag(records, tag);
    }
    return status;
}

BOOLEAN TerminalTypeHasJacks(USHORT terminalType) {
    return (terminalType >= 0x0201 && terminalType <= 0x0206) ||
           (terminalType >= 0x0401 && terminalType <= 0x0405) || terminalType == 0x0601 ||
           terminalType == 0x0603 || terminalType == 0x0605;
}

NTSTATUS ReadJackConnections(CUacEntity* terminal, BOOLEAN uac2, JACK_ARRAY* jacks, JACK_INFO* out) {
    UCHAR answer[kConnectionStatusBytes];
    NTSTATUS result = terminal->SendRequest(
        uac2 ? UAC2_TERMINAL_GET_CONNECTOR : UAC1_TERMINAL_GET_CONNECTION, 0, answer, sizeof(answer));
    const ULONG mask = NT_SUCCESS(result) ? ReadLe32(answer + 1) : 0;
    for (ULONG i = 0; i < jacks->Count; ++i) {
        JACK_INFO& jack = jacks->Records[i];
        ULONG connected;
        if ((jack.ChannelMapping & mask) != 0) {
            connected = 1;
        } else if (uac2 || jack.PresenceDetect == 1) {
            connected = 0;
        } else {
            connected = 1;
            result = STATUS_SUCCESS;
        }
        jack.IsConnected = connected;
        out[i] = jack;
    }
    return result;
}

void SetUnselectedJacks(const JACK_ARRAY* jacks, ULONG setJackConnect, JACK_INFO* out) {
    for (ULONG i = 0; i < jacks->Count; ++i) {
        out[i] = jacks->Records[i];
        out[i].IsConnected = setJackConnect != 0 ? 1 : 0;
    }
}
