// A USB stream stand-in for the wave stream's own tests: a stream engine
// (formats, FindFormat, the named callback object) that answers
// ICyclicControl with the client protocol's bookkeeping but no USB: a
// client registers its callback on the engine's callback object, acquire
// answers 5 frames per transfer and frame 100, run marks the client
// running and publishes CYCLIC_MSG_FORMAT with the changed bit, stop and
// release undo. The test then sends the messages a USB stream would, in
// the order it chooses. Every call is logged ("register", "acquire",
// "run", "stop", "release", "unregister", "content:<id>"); scripted
// statuses make acquire or run fail, and Fail makes any client slot
// fail by its log name. The device-core fake model holds it as an engine
// that installs no wave subdevice (InstallsNothing).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "adapter/base/unknown.h"
#include "stream/usb/cyclic_control.h"

namespace wavefakes {

class FakeCyclicEngine : public ICyclicControl, public IDrmContentForward, public CStreamEngine {
public:
    static FakeCyclicEngine* Create(bool capture, const std::vector<WAVEFORMATEXTENSIBLE>& formats);

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    NTSTATUS RegisterClient(ULONG priority, WAVEFORMATEXTENSIBLE* format, ULONG framesPerTransfer, ULONG transfers,
                            PCALLBACK_FUNCTION callback, PVOID context, PCYCLIC_CLIENT* client) override;
    NTSTATUS UnregisterClient(PVOID handle) override;
    NTSTATUS ClientRun(PVOID handle, ULONG startFrame, PULONG framesPerTransfer, IDspNode* node) override;
    NTSTATUS ClientStop(PVOID handle, IDspNode* node) override;
    NTSTATUS ClientAcquire(PVOID handle, PULONG framesPerTransfer, PULONG frameNumber) override;
    NTSTATUS ClientRelease(PVOID handle) override;
    NTSTATUS SelectAlternateSetting(UCHAR, PCYCLIC_CLIENT) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS FreeTransfers() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AbortPipe() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS RecoverFromError() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS ResetAlternateSetting() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS Restart() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SubmitTransfer() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS OnTransferComplete(PDEVICE_OBJECT, PIRP, PUSB_TRANSFER_CONTEXT) override { return STATUS_NOT_IMPLEMENTED; }
    VOID StreamThread() override {}
    NTSTATUS Open(PCYCLIC_CLIENT, PULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS Close() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS Run(ULONG, BOOLEAN) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS Stop() override { return STATUS_NOT_IMPLEMENTED; }
    BOOLEAN IsAltSettingValid(UCHAR, ULONG) override { return TRUE; }
    NTSTATUS SetContentId(ULONG contentId, PCDRMRIGHTS rights) override;
    NTSTATUS SetTopology(PUNKNOWN port, PUNKNOWN miniport) override;
    NTSTATUS InstallMiniport(PDEVICE_OBJECT fdo, PIRP irp, PUNKNOWN adapter) override;
    NTSTATUS RemoveMiniport(PDEVICE_OBJECT fdo) override;

    // ---- what a USB stream would send (from the calling thread, raised to
    // DISPATCH_LEVEL except FORMAT). owner NULL: the registered client.
    void SendBytesDone(ULONG bytes, PCYCLIC_CLIENT owner = nullptr);
    void SendFill(PUCHAR buffer, ULONG length, PCYCLIC_CLIENT owner = nullptr);
    void SendCapture(PUCHAR buffer, ULONG length, PCYCLIC_CLIENT owner = nullptr);
    void SendFormat(PCYCLIC_CLIENT owner, ULONG framesPerTransfer, ULONG transfers, bool changed);

    // A record of another client (say, an ASIO pin at priority 5) to name
    // as the owner in messages; freed with the engine.
    PCYCLIC_CLIENT ForeignClient(const WAVEFORMATEXTENSIBLE& format, ULONG framesPerTransfer = 5,
                                 ULONG transfers = 3);

    std::vector<std::string> Calls();
    void ClearCalls();
    size_t RegisteredClients();
    PCYCLIC_CLIENT Registered();  // the registered client, or NULL

    NTSTATUS AcquireStatus = STATUS_SUCCESS;
    NTSTATUS RunStatus = STATUS_SUCCESS;
    // Per-slot failures by log name ("register", "unregister", "acquire",
    // "run", "stop", "release"): the slot answers the status, changing
    // nothing.
    void Fail(const std::string& slot, NTSTATUS status);
    bool InstallsNothing = false;

private:
    explicit FakeCyclicEngine(bool capture);
    ~FakeCyclicEngine() override;
    void Note(const std::string& call);
    NTSTATUS Scripted(const std::string& slot);
    void Publish(CYCLIC_CONTROL_MSG* message, bool raise);

    std::mutex m_LogLock;
    std::vector<std::string> m_Calls;
    PCYCLIC_CLIENT m_Client = nullptr;
    std::vector<PCYCLIC_CLIENT> m_Foreign;
    std::vector<std::pair<std::string, NTSTATUS>> m_Failures;
};

}  // namespace wavefakes
