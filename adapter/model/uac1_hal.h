// CUac1Hal: the device-family model of a generic USB Audio Class 1.0
// device, and the base of the remapped and chip-family UAC 1.0 models.
//
// Files: uac1_hal.cpp (factory, capabilities, start and stop, output-type
// changes, power), uac1_hardware.cpp (InitHardware and its capability
// words), uac1_ac_parser.cpp (Audio Control descriptors, extra units),
// uac1_as_parser.cpp (Audio Streaming descriptors and formats, with the
// tables in uac1_format_tables.cpp), uac1_status_thread.cpp (the status
// interrupt), uac_hal.cpp and uac_stream_path.cpp (the shared base).
//
// What the family members change is data or one override: the entity
// class per (subtype, id) (EntityRows), the stream object per direction
// (CreateStream), InitHardware and the parsers themselves.
//
// Levels and locks: everything runs at PASSIVE_LEVEL. ModelLock (a
// kernel mutex, recursive for its owner) serialises the two paths that
// remove and install wave subdevices: UpdateSubdevices (a topology
// property thread) and OnUnitChanged (the status thread), and the engine
// loop of PowerChangeState. It is never held while Stop waits for the
// status thread.
#pragma once

#include "adapter/base/mutex_lock.h"
#include "adapter/uac_hal.h"
#include "nt/ps.h"

class CUacEntity;
class CCyclicControl;
struct IUsbAudioDevice;

inline constexpr ULONG UAC1_MODEL_TAG = MakePoolTag("UAC1");
// InitHardware's string and request blocks.
inline constexpr ULONG UAC1_TEMP_TAG = MakePoolTag("temp");

// The generic UAC 1.0 slot of the adapter's factory table (chipVariant is
// not used by this model).
NTSTATUS CreateUac1Hal(PUNKNOWN* model, PUNKNOWN outer, USHORT vendorId, USHORT productId, UCHAR chipVariant);

class CUac1Hal;

// Makes, initialises and stores the entity of one Audio Control descriptor
// (construction argument: index, the entity list's length).
typedef NTSTATUS (*PFN_MAKE_ENTITY)(CUac1Hal* model, const UCHAR* descriptor, ULONG index);

// Entity class of a descriptor subtype; Id UAC_ANY_ENTITY_ID matches every
// id. The first matching row of a model's table wins.
#define UAC_ANY_ENTITY_ID 0x100
typedef struct _UAC_ENTITY_ROW {
    UCHAR Subtype;
    USHORT Id;
    PFN_MAKE_ENTITY Make;
} UAC_ENTITY_ROW;

// Constructs Entity (outer NULL, index), initialises it from the
// descriptor with the model as device and builder, and stores it: the
// PFN_MAKE_ENTITY of a class whose Init takes (descriptor, device, builder).
template <class Entity>
NTSTATUS MakeUac1Entity(CUac1Hal* model, const UCHAR* descriptor, ULONG index);

class CUac1Hal : public CUacHal {
public:
    CUac1Hal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId);
    // Stop (waits for the status thread), then the entities, units and
    // engines go with the bases.
    ~CUac1Hal() override;

    // ---- IAudioHal ----------------------------------------------------------
    // Creates the entity list, then CAudioHal::Init (InitHardware, ConnectUnits).
    NTSTATUS Init(PRESOURCELIST resources, PDEVICE_OBJECT fdo, PDEVICE_OBJECT lowerDevice,
                  PDEVICE_OBJECT pdo) override;
    // Selects the Audio Control interface and starts the status thread when
    // it has an interrupt IN pipe of packet size 2; then every unit's Start.
    NTSTATUS Start() override;
    // Every unit's Stop, then ends the status thread and waits for it.
    // Always STATUS_SUCCESS.
    NTSTATUS Stop() override;
    // Capability words and the descriptor parsers.
    NTSTATUS InitHardware() override;
    NTSTATUS GetEndpointCapabilities(BOOLEAN isCapture, ULONG endpointType, ENDPOINT_CAPS* caps) override;

    // ---- IAdapterPowerManagement ----------------------------------------------
    VOID PowerChangeState(POWER_STATE newState) override;

    // ---- IUacHal -----------------------------------------------------------------
    // Re-registers, under its new name, each engine whose output type changed.
    NTSTATUS UpdateSubdevices(ULONG unitId) override;
    NTSTATUS ParseAudioControl(const UCHAR* acInterfaceDescriptor, ULONG bytesToEnd) override;
    NTSTATUS ParseAudioStreaming(const USB_CONFIGURATION_DESCRIPTOR* configuration,
                                 const UCHAR* firstAsInterfaceDescriptor, ULONG bytesToEnd) override;
    NTSTATUS InitChip() override { return STATUS_SUCCESS; }

    // ---- status thread (uac1_status_thread.cpp) ------------------------------
    static VOID InterruptThreadStart(PVOID model);
    // One change the device reported for an entity: re-read and notify, or
    // re-install the wave subdevices for a terminal. Takes ModelLock.
    NTSTATUS OnUnitChanged(ULONG entityId);

    // ---- extra units (uac1_ac_parser.cpp) ----------------------------------------
    NTSTATUS AddExtraUnits(CCyclicControl* engine);
    NTSTATUS AddTwoTerminalUnits(CCyclicControl* engine);
    NTSTATUS AddDspMuteNode(ULONG id, ULONG sourceId, ULONG channels, CCyclicControl* engine);
    NTSTATUS AddMuxUnit(ULONG id, ULONG sourceCount, const ULONG* sourceIds, CCyclicControl* engine);

    // Formats of one FORMAT_TYPE descriptor: one or two
    // per sample rate, each carrying the alternate setting.
    NTSTATUS AddFormatsForRates(CCyclicControl* engine, const UCHAR* formatTypeDescriptor, USHORT formatTag,
                                UCHAR alternateSetting, WAVEFORMATEXTENSIBLE* format);

    // For the entity rows: the model's IAudioHal, which the entities keep as
    // their device and use as their builder.
    IAudioHal* AudioHal() { return static_cast<IAudioHal*>(this); }
    ULONG PoolTag() const { return m_PoolTag; }

protected:
    // The entity table of the Audio Control parser.
    virtual const UAC_ENTITY_ROW* EntityRows(ULONG* count);
    // The stream object of an Audio Streaming interface, initialised, with
    // one reference.
    virtual NTSTATUS CreateStream(BOOLEAN capture, ULONG interfaceNumber, ULONG terminalNodeId,
                                  CCyclicControl** stream);
    // CreateStream's common tail: takes a reference on created (NULL: no
    // memory) and initialises it; *stream on success.
    NTSTATUS FinishStream(CCyclicControl* created, BOOLEAN capture, CCyclicControl** stream);
    // Whether the data endpoint of the setting carries the largest packet
    // the stream sends for the format at the device's speed; when it does
    // not, one debugger line says the format is skipped.
    static BOOLEAN EndpointCarries(CCyclicControl* engine, const WAVEFORMATEX& format, UCHAR alternateSetting);

    // InitHardware: the words of a model string as read (received bytes).
    NTSTATUS ReadCapabilityWords(IUsbAudioDevice* usb, const UCHAR* string, ULONG received);

    // Audio Control parser steps.
    NTSTATUS AddAudioControlEntity(const UCHAR* descriptor, ULONG length);
    NTSTATUS LinkEntitySources();
    virtual NTSTATUS CheckRequiredEntities();
    // The output terminal id whose speaker type (0x0301) the parser takes
    // as headphones (0x0302) on this device, or UAC_ANY_ENTITY_ID for none.
    virtual ULONG MislabelledTerminal();
    // Channels a render format of a FORMAT_TYPE with this bNrChannels is
    // offered with.
    virtual UCHAR RenderFormatChannels(UCHAR deviceChannels) { return deviceChannels; }
    NTSTATUS ConnectTerminalTo(ULONG pinId, ULONG sourceId);
    UCHAR* PatchableDescriptor(const UCHAR* descriptor) { return const_cast<UCHAR*>(descriptor); }

    // Audio Streaming parser: one interface group (uac1_as_parser.cpp).
    struct STREAMING_GROUP;
    NTSTATUS ParseStreamingGroup(const UCHAR* group, ULONG bytes, const UCHAR** end);
    NTSTATUS OnAsGeneral(const UCHAR* descriptor, STREAMING_GROUP* group);
    NTSTATUS OnFormatType(const UCHAR* descriptor, STREAMING_GROUP* group);
    NTSTATUS TerminalTypePass();

    // Start and the status thread.
    NTSTATUS SelectControlInterface(IUsbAudioDevice* usb);
    NTSTATUS StartStatusThread();
    // Clears StopEvent and ThreadExitedEvent, starts a system thread at
    // `start` with this model as its context, keeps its object in
    // StatusThread and sets its priority. The class 2.0 interrupt thread and
    // the remapped family's jack poller start through it too.
    NTSTATUS StartModelThread(PKSTART_ROUTINE start, KPRIORITY priority);
    VOID EndStatusThread();
    struct STATUS_RUN;
    VOID InterruptThread();
    VOID FollowStatusTransfers(STATUS_RUN* run);
    BOOLEAN SubmitStatusTransfer(STATUS_RUN* run);
    VOID AbortStatusTransfer(STATUS_RUN* run);
    NTSTATUS ReinstallSubdevice(IStreamEngine* engine, PWSTR nameBuffer, ULONG unitId);
    // The last step of ReinstallSubdevice, once the engine has its new
    // name: installs its wave subdevice.
    virtual NTSTATUS InstallRenamed(IStreamEngine* engine, ULONG unitId);
    NTSTATUS ReadBackNodes(CUacEntity* entity);

    CMutexLock ModelLock;
    ULONG m_PoolTag;
};

template <class Entity>
NTSTATUS MakeUac1Entity(CUac1Hal* model, const UCHAR* descriptor, ULONG index) {
    Entity* entity = new (NonPagedPoolNx, model->PoolTag()) Entity(NULL, index);
    if (entity == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    entity->AddRef();
    NTSTATUS status = entity->Init(descriptor, model->AudioHal(), model->AudioHal());
    if (NT_SUCCESS(status)) status = model->AddEntity(entity);
    entity->Release();
    return status;
}
