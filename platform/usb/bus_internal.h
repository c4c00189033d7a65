// Private records of the simulated bus (bus.h): pipes and pending
// transfers. Only the bus's own source files include this.
#pragma once

#include <deque>

#include "platform/usb/bus.h"

namespace simusb {

// Microframes are 125 us of virtual time (1250 units of 100 ns).
constexpr LONGLONG kTicksPerMicroframe = 1250;
constexpr int64_t kMicroframesPerFrame = 8;

struct BusPipe {
    uintptr_t handle = 0;
    EndpointInfo endpoint;
    USBD_PIPE_TYPE type = UsbdPipeTypeControl;
    UCHAR interfaceNumber = 0;
    bool valid = true;
    // Isochronous slots: microframes between packets, packets per frame
    // (0 when packets are further apart than one frame), bytes per packet.
    int64_t step = kMicroframesPerFrame;
    ULONG packetsPerFrame = 1;
    ULONG payload = 0;
    // The slot after the last scheduled packet (ASAP continues there).
    bool haveNext = false;
    int64_t nextSlot = 0;
    // Pending transfers in submission order; completion follows it.
    std::deque<BusTransfer*> queue;
    bool completing = false, again = false;

    bool in() const { return (endpoint.address & 0x80) != 0; }
};

struct BusTransfer {
    enum Kind {
        ControlLate,   // answered; completes at `due`
        ControlNever,  // the device never answers
        RuleHeld,      // a NoAnswer fault rule holds it
        RuleDelayed,   // a Late fault rule carries it out at `due`
        Isoch,
        BulkOrInterrupt,
    } kind = ControlNever;
    uint64_t serial = 0;
    PIRP irp = nullptr;
    PURB urb = nullptr;
    BusPipe* pipe = nullptr;
    uint8_t* buffer = nullptr;
    ULONG length = 0;
    LONGLONG due = 0;
    // Control requests: the data stage and the device's answer.
    bool in = false;
    std::vector<uint8_t> data;
    ControlResult result;
    // Isochronous: the first packet's slot and the time of submission
    // (packets whose slot had begun by then are late).
    int64_t firstSlot = 0;
    LONGLONG submitted = 0;
    // Bulk or interrupt IN: bytes of the device message copied in.
    ULONG received = 0;

    bool traffic() const { return kind != BulkOrInterrupt; }
};

// Where the data of a transfer lives: the buffer, else the MDL's system
// address. NULL when neither is given.
uint8_t* TransferAddress(PVOID buffer, PMDL mdl);

// Completes an IRP (and its URB, when there is one) with the given status.
NTSTATUS CompleteUrb(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status);

}  // namespace simusb
