// The device-family model a USB stream is given at Init, without the
// adapter and its transport: one object answering IUsbAudioDevice (over a
// simulated device plugged into the PnP harness: requests go straight to
// its PDO) and IAudioHal (GetDeviceObject). It selects the configuration
// when created, counts busy references, and writes what the streams do
// (select-interface and sampling-rate requests, presence checks, port
// cycles, busy changes, optionally each isochronous submission with its
// start frame) into a timeline that the tests' recording clients share.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "adapter/base/unknown.h"
#include "adapter/audio_hal.h"
#include "adapter/usb/usb_audio_device.h"
#include "topology/unit_base.h"
#include "tests/fakes/adapter/inert_audio_hal.h"
#include "platform/usb/usb_port.h"

namespace streamfakes {

struct TimelineEntry {
    LONGLONG time = 0;  // interrupt time, 100 ns
    std::string what;
};

// Thread-safe, ordered log of what happened when.
class Timeline {
public:
    void Add(const std::string& what);
    std::vector<TimelineEntry> Entries() const;
    std::vector<std::string> Texts() const;
    void Clear();

private:
    mutable std::mutex lock_;
    std::vector<TimelineEntry> entries_;
};

class FakeUsbModel : public IUsbAudioDevice, public fakes::InertAudioHal {
public:
    // A new model with one reference over port (which must outlive it).
    // Selects the configuration with every interface at setting 0.
    static FakeUsbModel* Create(simusb::SimUsbPort& port, Timeline* timeline);

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // ---- IUsbAudioDevice ---------------------------------------------------
    PUSB_CONFIGURATION_DESCRIPTOR GetConfigurationDescriptor() override;
    USBD_CONFIGURATION_HANDLE GetConfigurationHandle() override { return m_ConfigurationHandle; }
    UCHAR GetAudioControlInterfaceNumber() override { return 0; }
    NTSTATUS SetDevicePresent(BOOLEAN present) override;
    NTSTATUS CallLowerDriver(PIRP irp) override;
    NTSTATUS SubmitUrbSync(PURB urb) override;
    NTSTATUS GetCurrentFrameNumber(PULONG frame) override;
    PIRP AllocateIrp() override;
    NTSTATUS FreeIrp(PIRP irp) override;
    BOOLEAN IsHighSpeed() override;
    BOOLEAN CheckPresenceAndRecover() override;
    BOOLEAN CyclePortOnce() override;
    PDEVICE_OBJECT GetLowerDeviceObject() override;
    LONG BusyAddRef() override;
    LONG BusyRelease() override;
    NTSTATUS CreateFamilyModel() override { return STATUS_NOT_IMPLEMENTED; }

    // ---- IAudioHal (what the streams use) ----------------------------------
    PDEVICE_OBJECT GetDeviceObject() override;
    // The units lent with AddModelUnit, in order.
    ULONG GetUnitCount() override { return (ULONG)m_Units.size(); }
    NTSTATUS GetUnit(ULONG index, IUacUnit** unit) override;

    // ---- test controls -----------------------------------------------------
    LONG BusyCount() const { return __atomic_load_n(&m_Busy, __ATOMIC_ACQUIRE); }
    bool Present() const { return __atomic_load_n(&m_Present, __ATOMIC_ACQUIRE) != 0; }
    // Log every isochronous submission ("iso start <frame>") and every
    // frame-number query ("frame <n>").
    void LogTransfers(bool on) { __atomic_store_n(&m_LogTransfers, on, __ATOMIC_RELEASE); }
    // Keep the packet lengths of every isochronous OUT submission, in order.
    void RecordPackets(bool on) { __atomic_store_n(&m_RecordPackets, on, __ATOMIC_RELEASE); }
    std::vector<ULONG> PacketLengths() const;
    // Loopback: isochronous IRPs are kept instead of reaching the bus, and
    // CompleteQueued completes the oldest as a successful transfer (IN
    // packets filled to their slot), the way the bus below would: for the
    // benchmarks of the per-transfer path. Control requests still go down.
    void SetLoopback(bool on) { m_Loopback = on; }
    bool CompleteQueued();
    // Make the transport refuse its interfaces (QueryInterface fails).
    bool RefuseUsbInterface = false;
    // A unit of the model's list (a clock source's node, say); one
    // reference is kept until the model goes.
    void AddModelUnit(IUacUnit* unit);
    // AllocateIrp fails for the n-th call from now (0-based), once.
    void FailIrpAllocation(int nth) { m_FailIrpAt = nth; }

private:
    FakeUsbModel(simusb::SimUsbPort& port, Timeline* timeline);
    ~FakeUsbModel() override;
    NTSTATUS SelectConfiguration();
    NTSTATUS SendIoctl(ULONG ioctl, PVOID argument1);
    void Note(const std::string& what);
    void NoteUrb(PURB urb, NTSTATUS status);

    simusb::SimUsbPort& m_Port;
    Timeline* m_Timeline;
    std::vector<UCHAR> m_Configuration;
    USBD_CONFIGURATION_HANDLE m_ConfigurationHandle = NULL;
    volatile LONG m_Busy = 0;
    BOOLEAN m_Present = TRUE;
    bool m_LogTransfers = false;
    bool m_Loopback = false;
    std::vector<PIRP> m_Queued;
    bool m_RecordPackets = false;
    mutable std::mutex m_PacketLock;
    std::vector<ULONG> m_PacketLengths;
    bool m_Cycled = false;
    int m_FailIrpAt = -1;
    std::vector<IUacUnit*> m_Units;
};

}  // namespace streamfakes
