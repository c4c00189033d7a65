// The generic UAC 1.0 model with recording stream objects, for the model's
// tests: the streams are the real UAC 1.0 render and capture streams, but
// their wave-subdevice operations (install, remove, name, power) are
// recorded and answered with a scripted status instead of reaching the
// port-class driver, and their formats, units and processing nodes can be
// read back.
#pragma once

#include <string>
#include <vector>

#include "adapter/model/uac1_hal.h"
#include "adapter/model/uac2_hal.h"
#include "stream/usb/cyclic_control.h"

namespace uac1fakes {

// Calls on the recording streams since the last ResetStreams():
// "install:<interface>", "remove:<interface>", "name:<interface>:<name>",
// "power:<interface>:<D state>". Appended under a lock (streams may be
// called from several threads); read it when they are quiet.
std::vector<std::string>& StreamLog();

// What the recording streams answer (STATUS_SUCCESS by default), and how
// long (virtual milliseconds) an install or removal takes.
struct StreamScript {
    NTSTATUS install = STATUS_SUCCESS;
    NTSTATUS remove = STATUS_SUCCESS;
    NTSTATUS power = STATUS_SUCCESS;
    ULONG holdMs = 0;
    // The endpoint type the streams report; kOwnEndpointType: their own.
    static constexpr ULONG kOwnEndpointType = ~0u;
    ULONG endpointType = kOwnEndpointType;
};
StreamScript& Streams();
// Installs and removals that began while another was still in progress,
// on any recording stream of the model's wave subdevices.
int OverlappingSubdeviceCalls();
void ResetStreams();

// What a test reads from a recording stream.
struct StreamView {
    virtual ~StreamView() = default;
    virtual ULONG InterfaceNumber() const = 0;
    virtual ULONG TerminalId() const = 0;
    virtual ULONG DspNodeCount() const = 0;
    // The stream's own format entries (format and alternate setting).
    virtual std::vector<CYCLIC_FORMAT_ENTRY> FormatEntries() const = 0;
};
// The view of an engine of the recording model (NULL for any other).
const StreamView* ViewOf(IStreamEngine* engine);

// The factory-table form; chipVariant is ignored.
NTSTATUS CreateRecordingUac1Hal(PUNKNOWN* model, PUNKNOWN outer, USHORT vendorId, USHORT productId,
                                UCHAR chipVariant);

class CRecordingUac1Hal : public CUac1Hal {
public:
    using CUac1Hal::CUac1Hal;

protected:
    NTSTATUS CreateStream(BOOLEAN capture, ULONG interfaceNumber, ULONG terminalNodeId,
                          CCyclicControl** stream) override;
};

// The UAC 2.0 model with the recording forms of its own streams.
NTSTATUS CreateRecordingUac2Hal(PUNKNOWN* model, PUNKNOWN outer, USHORT vendorId, USHORT productId,
                                UCHAR chipVariant);

class CRecordingUac2Hal : public CUac2Hal {
public:
    using CUac2Hal::CUac2Hal;

protected:
    NTSTATUS CreateUac2Stream(BOOLEAN capture, ULONG interfaceNumber, ULONG terminalNodeId, ULONG clockUnitId,
                              CCyclicControl** stream) override;
};

}  // namespace uac1fakes
