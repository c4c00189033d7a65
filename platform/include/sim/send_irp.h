// Sending one IRP the way the I/O, PnP and power managers do, and checking
// the driver's side of the completion contract. Used by the PnP and ioctl
// harnesses; tests may use it directly for other requests.
#pragma once

#include <functional>

#include "nt/io.h"

namespace sim {

struct IrpOutcome {
    NTSTATUS returned;         // what the top driver's dispatch routine returned
    IO_STATUS_BLOCK ioStatus;  // the IRP's status when it completed
    bool completed;            // false: still pending when the wait timed out
    bool pendingReturned;      // the top driver had marked it pending
};

using IrpFiller = std::function<void(PIRP irp, PIO_STACK_LOCATION sp)>;

// Allocates an IRP for the top of `device`'s stack, lets `fill` set the IRP
// and the stack location the top driver sees (MajorFunction, parameters,
// FileObject, IoStatus, flags), sends it from the calling thread (which must
// be at PASSIVE_LEVEL) and waits for a pending IRP on the virtual clock, at
// most `timeout` (100 ns units). Then it checks, with a report
// (sim/violation.h) for each broken rule:
//   - a pending return comes with IoMarkIrpPending, and the IRP completes;
//   - any other return finds the IRP already completed, without the
//     pending mark, with IoStatus.Status equal to the returned status.
// The IRP is freed before returning (an IRP that never completes is left
// alone, and reported). Completing an IRP twice bugchecks in
// IoCompleteRequest.
IrpOutcome SendIrp(PDEVICE_OBJECT device, const IrpFiller& fill,
                   LONGLONG timeout = 60 * 10000000LL);

}  // namespace sim
