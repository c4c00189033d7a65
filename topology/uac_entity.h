// UAC entities: one object per class-specific Audio Control descriptor (a
// unit, a terminal or a clock source). An entity keeps a copy of its
// descriptor, sends the class and vendor requests of its controls, creates
// the nodes (pins and nodes of the topology) that stand for it in the
// model's unit list and wires them to each other and to the nodes of its
// source entities.
//
// Life: the model's Audio Control parser constructs an entity (outer NULL,
// index = the entity list's length), calls the concrete class's Init
// (descriptor checks, SetDescriptor, CreateNodes, ChainNodes) and keeps it
// in its entity list; once every descriptor is parsed it gives the first
// node of each entity its sources (ConnectSources). The builder given to
// Init and CreateNodes is the model itself, a CAudioHal: the nodes join its
// unit list through CAudioHal::AddUnit. All at PASSIVE_LEVEL; entities take
// no lock and their requests are synchronous.
//
// Device answers are untrusted: a GET's buffer is zeroed first, and a GET
// that transfers fewer bytes than asked for fails with
// STATUS_UNSUCCESSFUL unless the caller takes the count itself.
#pragma once

#include "adapter/audio_hal.h"
#include "adapter/base/list.h"
#include "topology/uac_controls.h"
#include "topology/uac_requests.h"
#include "topology/unit_base.h"

// Entities' descriptor copies and node lists.
inline constexpr ULONG UAC_ENTITY_TAG = MakePoolTag("AUAT");
// Nodes and arrays of the UAC 1.0 and 2.0 entities.
inline constexpr ULONG UAC1_NODE_TAG = MakePoolTag("UA10");
inline constexpr ULONG UAC2_NODE_TAG = MakePoolTag("UA20");

// Descriptor type of the class-specific Audio Control descriptors.
#define UAC_CS_INTERFACE 0x24

// Byte 3 of every entity descriptor: its unit, terminal or clock id.
#define UAC_ENTITY_ID_OFFSET 3

// Level encodings of the device: two-byte values are signed 1/256 dB,
// one-byte values (bass, mid, treble) signed 1/4 dB; levels are 1/65536
// dB. Only a SET maps minus infinity (to 0x8000): a GET of 0x8000 is
// -128 dB, 0xFF800000. Conversions multiply, never shift a negative value.
LONG DeviceWordToLevel(USHORT value);
USHORT LevelToDeviceWord(LONG level);
LONG DeviceByteToLevel(UCHAR value);
UCHAR LevelToDeviceByte(LONG level);

// The one debugger line that tells why a descriptor set is refused (the
// start then fails): the interface, the entity id (for an Audio Streaming
// descriptor, the terminal it links), the descriptor subtype and the rule.
VOID LogDescriptorRefusal(ULONG interfaceNumber, ULONG entityId, ULONG subtype, const char* rule);
// The same for an entity's own descriptor (bLength >= 3; the id is read
// only when the descriptor holds it), with the Audio Control interface
// number of device (0 when it answers no IUsbAudioDevice).
VOID LogEntityRefusal(const BYTE* descriptor, const void* device, const char* rule);

// Checks the Init pattern's arguments: none NULL, bLength at least
// minLength (and 3), descriptor type 0x24 and the class's subtype. A
// descriptor that fails is logged as refused.
NTSTATUS CheckEntityDescriptor(const BYTE* descriptor, const void* device, const void* builder,
                               UCHAR subtype, ULONG minLength);

class CUacEntity : public CUacUnitBase {
public:
    // Unit id = index and kind 0 until CreateNodes takes them from the
    // descriptor.
    CUacEntity(PUNKNOWN outer, ULONG index);
    // Frees the descriptor copy and releases every node of the list.
    ~CUacEntity() override;

    // Copies bLength bytes of the descriptor (paged, "AUAT") and creates the
    // node list; keeps the device (the model's IAudioHal, not counted): the
    // transport is queried from it for every request.
    virtual NTSTATUS SetDescriptor(const BYTE* descriptor, IUnknown* device);
    // A change the device reported: re-reads the affected node and names
    // it. The default names the only node of a one-node entity.
    virtual NTSTATUS OnControlChange(ULONG controlSelector, ULONG channel, ULONG* nodeId);

    // Takes a reference on the node.
    NTSTATUS AddNode(IUacUnit* node);
    NTSTATUS GetNodeCount(ULONG* count);
    // Without a reference.
    NTSTATUS GetNode(ULONG index, IUacUnit** node);
    // The unit id of the entity's output node (the last one).
    NTSTATUS GetLastNodeId(ULONG* id);
    // Gives the first node the output nodes of the source entities.
    NTSTATUS ConnectSources(ULONG count, const ULONG* sourceNodeIds);
    // Chains the nodes in creation order; output pins all hang off their
    // common predecessor.
    void ChainNodes();

    // One request of the catalogue to this entity (wIndex: the entity id
    // and the Audio Control interface number). value is wValue for the
    // requests that take it from the caller. transferred NULL: a short GET
    // fails; else the caller gets the count and judges it.
    NTSTATUS SendRequest(UAC_REQUEST request, USHORT value, PVOID buffer, ULONG length,
                         ULONG* transferred = NULL);

    const BYTE* Descriptor() const { return m_Descriptor; }
    UCHAR EntityId() const { return m_Descriptor ? m_Descriptor[UAC_ENTITY_ID_OFFSET] : 0; }
    IUnknown* Device() const { return m_Device; }

protected:
    // Step 1 of every CreateNodes: unit id and kind from the descriptor,
    // then the sources (a failure of SetSourceIds is returned).
    NTSTATUS TakeIdentity(ULONG sourceCount, const BYTE* sourceIds);

    // Step 3: allocates a node of class Node (tag, unit id *nextId, then
    // extra constructor arguments), lets init initialise it, adds it to the
    // builder's unit list (*nextId grows once that succeeded) and to this
    // entity. Returns the first failure; an allocation failure gives
    // STATUS_INSUFFICIENT_RESOURCES, or skips an optional node (success).
    template <class Node, class Init, class... Args>
    NTSTATUS CreateNode(IAudioHal* builder, ULONG tag, ULONG* nextId, bool optional, Init init,
                        Args... args) {
        Node* node = new (NonPagedPoolNx, tag) Node(NULL, *nextId, args...);
        if (node == NULL) {
            return optional ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        }
        IUacUnit* unit = static_cast<IUacUnit*>(node);
        unit->AddRef();
        NTSTATUS status = init(node);
        if (NT_SUCCESS(status)) {
            status = AddUnitToBuilder(builder, unit);
            if (NT_SUCCESS(status)) {
                ++*nextId;
                status = AddNode(unit);
            }
        }
        unit->Release();
        return status;
    }

    // The first node of kind `kind` (without a reference), or NULL.
    IUacUnit* FindNodeOfKind(ULONG kind);

    IUnknown* m_Device;
    BYTE* m_Descriptor;
    CList* m_Nodes;

private:
    // CAudioHal::AddUnit of the model that builds the units.
    static NTSTATUS AddUnitToBuilder(IAudioHal* builder, IUacUnit* unit);
};
