// Property routing and buffering of the kernel-streaming front end.
#include "platform/ks/property_frontend.h"

#include <cstring>
#include <memory>

namespace {

const PCAUTOMATION_TABLE* RequestTable(const PCFILTER_DESCRIPTOR* d, bool topology, ULONG nodeId,
                                       NTSTATUS* status) {
    *status = STATUS_SUCCESS;
    if (!topology) {
        return d->AutomationTable;
    }
    if (nodeId >= d->NodeCount) {
        *status = STATUS_INVALID_DEVICE_REQUEST;
        return NULL;
    }
    const PCNODE_DESCRIPTOR* node = reinterpret_cast<const PCNODE_DESCRIPTOR*>(
        reinterpret_cast<const UCHAR*>(d->Nodes) + (SIZE_T)nodeId * d->NodeSize);
    return node->AutomationTable;
}

bool IsSingleVerb(ULONG verb) {
    return verb == KSPROPERTY_TYPE_GET || verb == KSPROPERTY_TYPE_SET ||
           verb == KSPROPERTY_TYPE_BASICSUPPORT;
}

// Routes the request; on success *item is the handler's item.
NTSTATUS Route(const KsTarget& target, const UCHAR* input, ULONG inputLength, KSPROPERTY* property,
               ULONG* nodeId, const PCPROPERTY_ITEM** item) {
    if (inputLength < sizeof(KSPROPERTY)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    memcpy(property, input, sizeof(KSPROPERTY));
    bool topology = (property->Flags & KSPROPERTY_TYPE_TOPOLOGY) != 0;
    if (topology && inputLength < sizeof(KSNODEPROPERTY)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    if (!IsSingleVerb(property->Flags & ~KSPROPERTY_TYPE_TOPOLOGY)) {
        return STATUS_INVALID_PARAMETER;
    }
    *nodeId = KSFILTER_NODE;
    if (topology) {
        memcpy(nodeId, input + offsetof(KSNODEPROPERTY, NodeId), sizeof(ULONG));
    }
    if (target.Descriptor == NULL) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status;
    const PCAUTOMATION_TABLE* table = RequestTable(target.Descriptor, topology, *nodeId, &status);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *item = KsFindPropertyItem(table, property->Set, property->Id);
    if (*item == NULL) {
        return STATUS_NOT_FOUND;
    }
    ULONG verb = property->Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
    if (((*item)->Flags & verb) == 0 || (*item)->Handler == NULL) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return STATUS_SUCCESS;
}

void CopyBack(KsPropertyResult* result, const UCHAR* value, ULONG outLen, bool isSet) {
    if (isSet) {
        return;
    }
    if (result->Status == STATUS_SUCCESS || NT_SUCCESS(result->Status) ||
        result->Status == STATUS_BUFFER_OVERFLOW) {
        ULONG n = result->ValueSize < outLen ? result->ValueSize : outLen;
        if (n != 0) {
            memcpy(result->Output.data(), value, n);
        }
    }
}

}  // namespace

template <class Item>
static const Item* FindItem(const Item* items, ULONG count, ULONG itemSize, const GUID& set, ULONG id) {
    if (items == NULL || itemSize < sizeof(Item)) {
        return NULL;
    }
    for (ULONG i = 0; i < count; ++i) {
        const Item* item =
            reinterpret_cast<const Item*>(reinterpret_cast<const UCHAR*>(items) + (SIZE_T)i * itemSize);
        if (item->Set != NULL && IsEqualGUID(*item->Set, set) && item->Id == id) {
            return item;
        }
    }
    return NULL;
}

const PCPROPERTY_ITEM* KsFindPropertyItem(const PCAUTOMATION_TABLE* table, const GUID& set, ULONG id) {
    return table ? FindItem(table->Properties, table->PropertyCount, table->PropertyItemSize, set, id) : NULL;
}

const PCEVENT_ITEM* KsFindEventItem(const PCAUTOMATION_TABLE* table, const GUID& set, ULONG id) {
    return table ? FindItem(table->Events, table->EventCount, table->EventItemSize, set, id) : NULL;
}

KsPropertyResult KsProperty(const KsTarget& target, const void* input, ULONG inputLength, ULONG outLen,
                            const void* setBytes, UCHAR marker) {
    KsPropertyResult result = {STATUS_SUCCESS, 0, 0, false, std::vector<UCHAR>(outLen, marker), {}};
    const UCHAR* in = static_cast<const UCHAR*>(input);
    if (setBytes != NULL && outLen != 0) {
        memcpy(result.Output.data(), setBytes, outLen);
    }
    KSPROPERTY property = {};
    ULONG nodeId = KSFILTER_NODE;
    const PCPROPERTY_ITEM* item = NULL;
    result.Status = Route(target, in, inputLength, &property, &nodeId, &item);
    if (!NT_SUCCESS(result.Status)) {
        return result;
    }
    bool topology = (property.Flags & KSPROPERTY_TYPE_TOPOLOGY) != 0;
    ULONG headerSize = topology ? (ULONG)sizeof(KSNODEPROPERTY) : (ULONG)sizeof(KSPROPERTY);
    ULONG instanceSize = inputLength - headerSize;
    std::unique_ptr<UCHAR[]> instance(instanceSize ? new UCHAR[instanceSize] : nullptr);
    std::unique_ptr<UCHAR[]> value(outLen ? new UCHAR[outLen] : nullptr);
    if (instanceSize) {
        memcpy(instance.get(), in + headerSize, instanceSize);
    }
    if (outLen) {
        memcpy(value.get(), result.Output.data(), outLen);
    }
    PCPROPERTY_REQUEST request = {};
    request.MajorTarget = target.MajorTarget;
    request.Node = nodeId;
    request.PropertyItem = item;
    request.Verb = property.Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
    request.InstanceSize = instanceSize;
    request.Instance = instance.get();
    request.ValueSize = outLen;
    request.Value = value.get();
    result.Status = item->Handler(&request);
    result.HandlerCalled = true;
    result.ValueSize = request.ValueSize;
    if (instanceSize && memcmp(instance.get(), in + headerSize, instanceSize) != 0) {
        result.Fault = "handler changed the instance data";
    }
    if (NT_SUCCESS(result.Status) && request.ValueSize > outLen) {
        result.Fault = "handler succeeded with ValueSize " + std::to_string(request.ValueSize) +
                       " above the buffer length " + std::to_string(outLen);
    }
    bool copies = NT_SUCCESS(result.Status) || result.Status == STATUS_BUFFER_OVERFLOW;
    result.Information = copies ? request.ValueSize : 0;
    CopyBack(&result, value.get(), outLen, request.Verb == KSPROPERTY_TYPE_SET);
    return result;
}

KsPropertyResult KsProperty(const KsTarget& target, const std::vector<UCHAR>& input, ULONG outLen,
                            const std::vector<UCHAR>* setBytes, UCHAR marker) {
    const void* set = NULL;
    std::vector<UCHAR> padded;
    if (setBytes != NULL) {
        padded = *setBytes;
        padded.resize(outLen, marker);
        set = padded.data();
    }
    return KsProperty(target, input.data(), (ULONG)input.size(), outLen, set, marker);
}

NTSTATUS KsDispatchProperty(const KsTarget& target, const void* input, ULONG inputLength, PVOID output,
                            ULONG outLen, ULONG_PTR* information) {
    KsPropertyResult result = KsProperty(target, input, inputLength, outLen, output);
    if (outLen != 0 && output != NULL) {
        memcpy(output, result.Output.data(), outLen);
    }
    if (information != NULL) {
        *information = result.Information;
    }
    return result.Status;
}
