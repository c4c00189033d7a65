// Fixture of the UAC entity tests: a simulated UAC 1.0 device on the PnP
// harness with the driver's FDO loaded (its "Settings" key is real), the
// adapter's USB transport to the device behind a recording IUsbAudioDevice,
// and a device-family model (a CAudioHal with an IUacHal recorder) that
// builds the units. Entities are made from the device's own descriptor
// bytes the way the model's parser makes them: Init in descriptor order,
// then ConnectSources with the source entities' output nodes, then the
// terminal-type pass and the Apply pass.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adapter/base/unknown.h"
#include "adapter/audio_hal.h"
#include "adapter/family_choice.h"
#include "adapter/uac_hal.h"
#include "adapter/usb/usb_audio_device.h"
#include "adapter/usb/usb_transport.h"
#include "tests/support/kernel_test.h"
#include "topology/uac_entity.h"
#include "platform/usb/usb_port.h"

namespace uactest {

extern const std::u16string kSettingsKey;

using Bytes = std::vector<uint8_t>;
using UrbImage = std::array<uint8_t, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)>;

// Jack configuration words: colour code, connection type, geometric and
// general location, misc bits (0xF00: the jack cannot detect presence).
constexpr ULONG JackConfig(ULONG colour, ULONG connection, ULONG geo, ULONG misc = 0) {
    return colour << 12 | connection << 16 | geo << 24 | misc;
}

// Level of n dB in 1/65536 dB.
constexpr LONG Db(double n) { return (LONG)(n * 65536.0); }

// The test device, Audio Control interface 0:
//   IT 1 USB streaming -> FU 2 [mute master, volume ch 1 and 2]
//     -> OT 3 speaker (the device lists {headphones, speaker} behind it)
//   IT 4 microphone (two jacks) -> FU 5 [mute, volume master]
//   IT 7 line connector;  SU 6 {5, 7} -> OT 8 USB streaming
simusb::DescriptorSet BuildTestDevice();

// A class-specific Audio Control descriptor: subtype and id, bytes after.
Bytes Descriptor(UCHAR subtype, UCHAR id, const Bytes& rest);

// The adapter's IUsbAudioDevice as the entities use it: every URB passes
// the real transport; its 136-byte image is kept first.
class RecordingUsbDevice final : public IUsbAudioDevice {
public:
    explicit RecordingUsbDevice(CUsbTransport& transport) : m_Transport(transport) {}

    NTSTATUS QueryInterface(REFIID iid, PVOID* out) override;
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }

    PUSB_CONFIGURATION_DESCRIPTOR GetConfigurationDescriptor() override { return NULL; }
    USBD_CONFIGURATION_HANDLE GetConfigurationHandle() override { return NULL; }
    UCHAR GetAudioControlInterfaceNumber() override { return m_Transport.GetAudioControlInterfaceNumber(); }
    NTSTATUS SetDevicePresent(BOOLEAN present) override { return m_Transport.SetDevicePresent(present); }
    NTSTATUS CallLowerDriver(PIRP irp) override { return m_Transport.CallLowerDriver(irp); }
    NTSTATUS SubmitUrbSync(PURB urb) override;
    NTSTATUS GetCurrentFrameNumber(PULONG frame) override { return m_Transport.GetCurrentFrameNumber(frame); }
    PIRP AllocateIrp() override { return m_Transport.AllocateIrp(); }
    NTSTATUS FreeIrp(PIRP irp) override { return m_Transport.FreeIrp(irp); }
    BOOLEAN IsHighSpeed() override { return m_Transport.IsHighSpeed(); }
    BOOLEAN CheckPresenceAndRecover() override { return m_Transport.CheckPresenceAndRecover(); }
    BOOLEAN CyclePortOnce() override { return m_Transport.CyclePortOnce(); }
    PDEVICE_OBJECT GetLowerDeviceObject() override { return m_Transport.GetLowerDeviceObject(); }
    LONG BusyAddRef() override { return m_Transport.BusyAddRef(); }
    LONG BusyRelease() override { return m_Transport.BusyRelease(); }
    NTSTATUS CreateFamilyModel() override { return STATUS_NOT_SUPPORTED; }

    std::vector<UrbImage> urbs;

private:
    CUsbTransport& m_Transport;
};

// The device-family model: the unit list and callback object of
// CAudioHal, the transport through its outer (the adapter in the driver),
// and an IUacHal that records UpdateSubdevices.
class TestModel : public IUacHal, public CAudioHal {
public:
    static TestModel* Create(IUsbAudioDevice* usb);

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    NTSTATUS InitHardware() override { return STATUS_SUCCESS; }
    NTSTATUS UpdateSubdevices(ULONG unitId) override;
    NTSTATUS GetCallbackObject(PVOID* object) override;
    NTSTATUS ParseAudioControl(const UCHAR*, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS ParseAudioStreaming(const USB_CONFIGURATION_DESCRIPTOR*, const UCHAR*, ULONG) override {
        return STATUS_SUCCESS;
    }
    NTSTATUS InitChip() override { return STATUS_SUCCESS; }

    // The entities in parse order, each holding one reference (released
    // before the units, as the model's destructor does).
    std::vector<CUacEntity*> entities;
    bool answerUacHal = true;
    bool answerUsb = true;
    NTSTATUS updateStatus = STATUS_SUCCESS;
    NTSTATUS callbackStatus = STATUS_SUCCESS;
    std::vector<ULONG> updates;  // UpdateSubdevices calls

private:
    TestModel(IUsbAudioDevice* usb) : CAudioHal(NULL), m_Usb(usb) {}
    ~TestModel() override;
    IUsbAudioDevice* m_Usb;
};

class UacTest : public sim::KernelTest {
protected:
    virtual simusb::DescriptorSet Descriptors() { return BuildTestDevice(); }
    // Whether InitEntity and BuildAll make the UAC 2.0 entities.
    virtual bool IsUac2() const { return false; }
    // The device's state beyond its descriptors (BuildTestDevice's): output
    // terminal 3 lists {headphones, speaker} (headphones selected) with one
    // jack for headphones and two for the speaker; the microphone's two
    // jacks (the first connected); the line input's jack.
    virtual void ConfigureDevice();
    void SetUp() override;
    void TearDown() override;

    simusb::SimDevice& device() { return m_Port->device(); }
    simusb::UacModel& uac() { return device().model(); }
    PDEVICE_OBJECT Fdo();

    // The device leaves and comes back in its start state (a fresh port,
    // driver, transport and model); the registry stays.
    void Replug();
    // A fresh model (the previous one, if any, is released first).
    void NewModel();
    // Builds every entity of the device's Audio Control interface, connects
    // them, runs the terminal-type pass and ConnectUnits (the Apply pass);
    // the status of the first failure.
    NTSTATUS BuildAll();
    // Inits one entity from a descriptor into the model; its status.
    virtual NTSTATUS InitEntity(const Bytes& descriptor, CUacEntity** entity = nullptr);
    // The entity with that descriptor id, the unit with that unit id.
    CUacEntity* Entity(UCHAR id);
    IUacUnit* Unit(ULONG unitId);
    // The first unit of a kind after the unit list's index `from`.
    IUacUnit* UnitOfKind(ULONG kind, ULONG from = 0);
    template <class I>
    I* As(IUacUnit* unit, REFIID iid) {
        I* out = nullptr;
        if (unit == nullptr || !NT_SUCCESS(unit->QueryInterface(iid, reinterpret_cast<PVOID*>(&out)))) return nullptr;
        out->Release();  // the model keeps it alive
        return out;
    }

    // Control requests the device saw since the last ClearLog.
    std::vector<simusb::ControlLogEntry> Log() { return device().RequestLog(); }
    void ClearLog() { device().ClearRequestLog(); }
    // SET requests (host to device) with this wValue to this entity.
    std::vector<Bytes> Sets(UCHAR entity, USHORT wValue);
    void StallRequests(UCHAR bmRequestType, UCHAR bRequest, std::optional<USHORT> wValue,
                       UCHAR entity, LONG count = -1);

    std::optional<Bytes> Stored(const std::u16string& name);
    void Store(const std::u16string& name, const Bytes& bytes, ULONG type = REG_BINARY);
    static Bytes Le32(ULONG value);

    void Plug();
    void Unplug();

    std::unique_ptr<simusb::SimUsbPort> m_Port;
    std::unique_ptr<ScopedDriverFactories> m_Factories;
    CUsbTransport* m_Transport = nullptr;
    std::unique_ptr<RecordingUsbDevice> m_Usb;
    TestModel* m_Model = nullptr;
};

}  // namespace uactest
