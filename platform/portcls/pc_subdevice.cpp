// Subdevices, physical connections and the adapter's power-management
// registration of one device, with their teardown at STOP and REMOVE.
#include <algorithm>

#include "nt/rtl.h"
#include "nt/ke.h"
#include "platform/portcls/pc_port.h"

namespace pcls {

namespace {

Subdevice* FindByPort(PcDevice* device, CPortBase* port) {
    for (Subdevice& s : device->subdevices)
        if (s.port == port) return &s;
    return nullptr;
}

Subdevice* FindByName(PcDevice* device, const std::u16string& name) {
    for (Subdevice& s : device->subdevices)
        if (NamesEqual(s.name, name)) return &s;
    return nullptr;
}

void DisableLinks(std::vector<UNICODE_STRING>& links) {
    for (UNICODE_STRING& link : links) {
        IoSetDeviceInterfaceState(&link, FALSE);
        RtlFreeUnicodeString(&link);
    }
    links.clear();
}

// One enabled device interface per filter category, the subdevice name as
// reference string. On failure nothing stays enabled.
NTSTATUS EnableLinks(PcDevice* device, const PCFILTER_DESCRIPTOR* descriptor,
                     const std::u16string& name, std::vector<UNICODE_STRING>* links) {
    UNICODE_STRING reference;
    reference.Buffer = const_cast<PWSTR>(name.c_str());
    reference.Length = reference.MaximumLength = USHORT(name.size() * sizeof(WCHAR));
    for (ULONG i = 0; i < descriptor->CategoryCount; ++i) {
        UNICODE_STRING link{};
        NTSTATUS status =
            IoRegisterDeviceInterface(device->pdo, &descriptor->Categories[i], &reference, &link);
        if (NT_SUCCESS(status)) {
            links->push_back(link);
            status = IoSetDeviceInterfaceState(&link, TRUE);
            // Two categories naming the same class share one interface.
            if (status == STATUS_OBJECT_NAME_EXISTS) {
                RtlFreeUnicodeString(&links->back());
                links->pop_back();
                status = STATUS_SUCCESS;
            }
        }
        if (!NT_SUCCESS(status)) {
            DisableLinks(*links);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// Removes a registered subdevice with every connection that names it.
// Called without the device lock; takes it for the table changes only.
void RemoveSubdevice(PcDevice* device, CPortBase* port) {
    Subdevice removed;
    {
        std::lock_guard<std::mutex> guard(device->lock);
        auto& c = device->connections;
        c.erase(
            std::remove_if(c.begin(), c.end(),
                           [port](const Connection& x) { return x.from == port || x.to == port; }),
            c.end());
        auto it = std::find_if(device->subdevices.begin(), device->subdevices.end(),
                               [port](const Subdevice& s) { return s.port == port; });
        if (it == device->subdevices.end()) return;
        removed = std::move(*it);
        device->subdevices.erase(it);
        port->m_Registered = false;
    }
    DisableLinks(removed.links);
    port->DropMiniport();
    port->Release();  // the registration's reference
}

bool PinInRange(CPortBase* port, ULONG pin) {
    const PCFILTER_DESCRIPTOR* d = port->Descriptor();
    return d != nullptr && pin < d->PinCount;
}

}  // namespace

void BindPort(PcDevice* device, CPortBase* port) {
    std::lock_guard<std::mutex> guard(device->lock);
    device->boundPorts.push_back(port);
}

void UnbindPort(PcDevice* device, CPortBase* port) {
    std::lock_guard<std::mutex> guard(device->lock);
    auto& b = device->boundPorts;
    b.erase(std::remove(b.begin(), b.end(), port), b.end());
}

void TeardownDevice(PcDevice* device) {
    for (;;) {
        CPortBase* port;
        {
            std::lock_guard<std::mutex> guard(device->lock);
            if (device->subdevices.empty()) break;
            port = device->subdevices.back().port;
        }
        RemoveSubdevice(device, port);
    }
    PADAPTERPOWERMANAGEMENT power;
    std::vector<CPortBase*> bound;
    {
        std::lock_guard<std::mutex> guard(device->lock);
        power = device->power;
        device->power = nullptr;
        bound = device->boundPorts;
        // Keep each port alive while it lets go of its miniport.
        for (CPortBase* port : bound) port->AddRef();
    }
    if (power) power->Release();
    for (CPortBase* port : bound) {
        port->DropMiniport();
        port->Release();
    }
}

void ForgetDevice(PcDevice* device) {
    std::lock_guard<std::mutex> guard(device->lock);
    for (CPortBase* port : device->boundPorts) port->ForgetDevice();
    device->boundPorts.clear();
}

std::vector<PMINIPORT> RegisteredMiniports(PcDevice* device) {
    std::vector<CPortBase*> ports;
    {
        std::lock_guard<std::mutex> guard(device->lock);
        for (Subdevice& s : device->subdevices) {
            s.port->AddRef();
            ports.push_back(s.port);
        }
    }
    std::vector<PMINIPORT> miniports;
    for (CPortBase* port : ports) {
        if (PMINIPORT m = port->Miniport()) {
            m->AddRef();
            miniports.push_back(m);
        }
        port->Release();
    }
    return miniports;
}

NTSTATUS CPortBase::UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown) {
    PAGED_CODE();
    NTSTATUS status = CheckCall(sim::PcCall::UnregisterSubdevice);
    if (!NT_SUCCESS(status)) return status;
    PcDevice* device = DeviceFromFdo(DeviceObject);
    CPortBase* port = CPortBase::FromUnknown(Unknown);
    if (device == nullptr || port == nullptr) return STATUS_INVALID_PARAMETER;
    {
        std::lock_guard<std::mutex> guard(device->lock);
        if (FindByPort(device, port) == nullptr) return STATUS_NOT_FOUND;
    }
    RemoveSubdevice(device, port);
    return STATUS_SUCCESS;
}

NTSTATUS CPortBase::UnregisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown,
                                                 ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin) {
    PAGED_CODE();
    NTSTATUS status = CheckCall(sim::PcCall::UnregisterPhysicalConnection);
    if (!NT_SUCCESS(status)) return status;
    PcDevice* device = DeviceFromFdo(DeviceObject);
    CPortBase* from = CPortBase::FromUnknown(FromUnknown);
    CPortBase* to = CPortBase::FromUnknown(ToUnknown);
    if (device == nullptr || from == nullptr || to == nullptr) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(device->lock);
    auto& c = device->connections;
    auto it = std::find_if(c.begin(), c.end(), [&](const Connection& x) {
        return x.from == from && x.fromPin == FromPin && x.to == to && x.toPin == ToPin;
    });
    if (it == c.end()) return STATUS_NOT_FOUND;
    c.erase(it);
    return STATUS_SUCCESS;
}

}  // namespace pcls

using pcls::CPortBase;
using pcls::PcDevice;

NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PCWSTR Name, PUNKNOWN Unknown) {
    PAGED_CODE();
    NTSTATUS status = pcls::CheckCall(sim::PcCall::RegisterSubdevice);
    if (!NT_SUCCESS(status)) return status;
    PcDevice* device = pcls::DeviceFromFdo(DeviceObject);
    CPortBase* port = CPortBase::FromUnknown(Unknown);
    std::u16string name = pcls::ToU16(Name);
    if (device == nullptr || port == nullptr || name.empty()) return STATUS_INVALID_PARAMETER;
    // The name becomes a reference string and a file name component.
    if (name.find(u'\\') != std::u16string::npos || name.size() > 255)
        return STATUS_OBJECT_NAME_INVALID;
    const PCFILTER_DESCRIPTOR* descriptor = port->Descriptor();
    if (descriptor == nullptr || port->BoundFdo() != DeviceObject)
        return STATUS_INVALID_DEVICE_STATE;
    {
        std::lock_guard<std::mutex> guard(device->lock);
        if (port->m_Registered || pcls::FindByName(device, name))
            return STATUS_OBJECT_NAME_COLLISION;
        if (device->subdevices.size() >= device->maxObjects) return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::vector<UNICODE_STRING> links;
    status = pcls::EnableLinks(device, descriptor, name, &links);
    if (!NT_SUCCESS(status)) return status;
    port->AddRef();
    std::lock_guard<std::mutex> guard(device->lock);
    port->m_Registered = true;
    device->subdevices.push_back({name, port, std::move(links)});
    return STATUS_SUCCESS;
}

NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown,
                                      ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin) {
    PAGED_CODE();
    NTSTATUS status = pcls::CheckCall(sim::PcCall::RegisterPhysicalConnection);
    if (!NT_SUCCESS(status)) return status;
    PcDevice* device = pcls::DeviceFromFdo(DeviceObject);
    CPortBase* from = CPortBase::FromUnknown(FromUnknown);
    CPortBase* to = CPortBase::FromUnknown(ToUnknown);
    if (device == nullptr || from == nullptr || to == nullptr) return STATUS_INVALID_PARAMETER;
    if (!pcls::PinInRange(from, FromPin) || !pcls::PinInRange(to, ToPin))
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(device->lock);
    if (!pcls::FindByPort(device, from) || !pcls::FindByPort(device, to))
        return STATUS_INVALID_PARAMETER;
    for (const pcls::Connection& c : device->connections)
        if (c.from == from && c.fromPin == FromPin && c.to == to && c.toPin == ToPin)
            return STATUS_OBJECT_NAME_COLLISION;
    device->connections.push_back({from, FromPin, to, ToPin});
    return STATUS_SUCCESS;
}

NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN Unknown, PVOID pvContext1) {
    PAGED_CODE();
    NTSTATUS status = pcls::CheckCall(sim::PcCall::RegisterAdapterPowerManagement);
    if (!NT_SUCCESS(status)) return status;
    PcDevice* device = pcls::DeviceFromFdo(pvContext1);
    if (device == nullptr || Unknown == nullptr) return STATUS_INVALID_PARAMETER;
    PADAPTERPOWERMANAGEMENT power = nullptr;
    status = Unknown->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&power));
    if (!NT_SUCCESS(status)) return status;
    if (power == nullptr) return STATUS_INVALID_PARAMETER;
    PADAPTERPOWERMANAGEMENT old;
    {
        std::lock_guard<std::mutex> guard(device->lock);
        old = device->power;
        device->power = power;
    }
    if (old) old->Release();
    return STATUS_SUCCESS;
}

// ---- Views --------------------------------------------------------------

namespace sim {

std::vector<PcSubdeviceView> PcSubdevices(PDEVICE_OBJECT fdo) {
    std::vector<PcSubdeviceView> out;
    PcDevice* device = pcls::DeviceFromFdo(fdo);
    if (device == nullptr) return out;
    std::lock_guard<std::mutex> guard(device->lock);
    for (pcls::Subdevice& s : device->subdevices) {
        PcSubdeviceView view{s.name, s.port->Identity(), s.port->Kind(), s.port->Descriptor(), {}};
        for (const UNICODE_STRING& link : s.links) view.interfaceLinks.push_back(pcls::ToU16(link));
        out.push_back(std::move(view));
    }
    return out;
}

PUNKNOWN PcFindSubdevice(PDEVICE_OBJECT fdo, const std::u16string& name) {
    PcDevice* device = pcls::DeviceFromFdo(fdo);
    if (device == nullptr) return nullptr;
    std::lock_guard<std::mutex> guard(device->lock);
    pcls::Subdevice* s = pcls::FindByName(device, name);
    return s ? s->port->Identity() : nullptr;
}

std::vector<PcConnectionView> PcConnections(PDEVICE_OBJECT fdo) {
    std::vector<PcConnectionView> out;
    PcDevice* device = pcls::DeviceFromFdo(fdo);
    if (device == nullptr) return out;
    std::lock_guard<std::mutex> guard(device->lock);
    for (const pcls::Connection& c : device->connections)
        out.push_back({pcls::FindByPort(device, c.from)->name, c.fromPin,
                       pcls::FindByPort(device, c.to)->name, c.toPin});
    return out;
}

PADAPTERPOWERMANAGEMENT PcRegisteredPowerManagement(PDEVICE_OBJECT fdo) {
    PcDevice* device = pcls::DeviceFromFdo(fdo);
    if (device == nullptr) return nullptr;
    std::lock_guard<std::mutex> guard(device->lock);
    return device->power;
}

DEVICE_POWER_STATE PcDevicePowerState(PDEVICE_OBJECT fdo) {
    PcDevice* device = pcls::DeviceFromFdo(fdo);
    return device ? device->powerState : PowerDeviceUnspecified;
}

size_t PcLiveMiniports(PDEVICE_OBJECT fdo) {
    PcDevice* device = pcls::DeviceFromFdo(fdo);
    if (device == nullptr) return 0;
    std::lock_guard<std::mutex> guard(device->lock);
    size_t n = 0;
    for (CPortBase* port : device->boundPorts) n += port->HasMiniport() ? 1 : 0;
    return n;
}

std::vector<PcPortEventCall> PcPortEventLog(PUNKNOWN port) {
    auto* topology = dynamic_cast<pcls::CPortTopology*>(CPortBase::FromUnknown(port));
    return topology ? topology->EventLog() : std::vector<PcPortEventCall>{};
}

}  // namespace sim
