// UAC 2.0 clock source entity.
#include "topology/uac2_clock_source.h"

#include "nt/dbg.h"
#include "nt/pool.h"
#include "nt/rtl.h"
#include "topology/switch_nodes.h"
#include "topology/value_units.h"

namespace {
constexpr UCHAR kClockSourceSubtype = 10;
constexpr ULONG kMinimumLength = 8;
// The first answer: wNumSubRanges and one subrange.
constexpr ULONG kFirstRangeBytes = 14;
constexpr ULONG kSubrangeBytes = 12;

ULONG Le16(const BYTE* p) { return (ULONG)p[0] | (ULONG)p[1] << 8; }
ULONG Le32(const BYTE* p) { return Le16(p) | Le16(p + 2) << 16; }
}  // namespace

NTSTATUS CUac2ClockSource::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    NTSTATUS status = CUacEntity::NonDelegatingQueryInterface(iid, out);
    if (NT_SUCCESS(status) || out == NULL) return status;
    if (IsEqualGUID(iid, IID_IClockSource)) return ReturnInterface(static_cast<IClockSource*>(this), out);
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CUac2ClockSource::Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder) {
    NTSTATUS status = CheckEntityDescriptor(descriptor, device, builder, kClockSourceSubtype, kMinimumLength);
    if (NT_SUCCESS(status)) status = SetDescriptor(descriptor, device);
    if (NT_SUCCESS(status)) status = CreateNodes(builder);
    if (NT_SUCCESS(status)) ChainNodes();
    return status;
}

NTSTATUS CUac2ClockSource::CreateNodes(IAudioHal* builder) {
    if (builder == NULL || m_Descriptor == NULL) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = TakeIdentity(0, NULL);
    if (!NT_SUCCESS(status)) return status;
    ULONG nextId = builder->GetUnitCount();
    IUnknown* self = static_cast<IClockSource*>(this);
    return CreateNode<CClockNode>(builder, UAC2_NODE_TAG, &nextId, false,
                                  [self](CClockNode* node) { return node->InitFromEntity(self); });
}

NTSTATUS CUac2ClockSource::GetSampleRateCount(ULONG* count) {
    if (count == NULL) return STATUS_INVALID_PARAMETER;
    UCHAR first[kFirstRangeBytes] = {};
    NTSTATUS status = SendRequest(UAC2_CS_GET_FREQ_RANGE, 0, first, sizeof(first));
    if (NT_SUCCESS(status)) *count = Le16(first);
    return status;
}

// The list is asked for with exactly the bytes of the subranges wanted and
// must arrive whole; a second answer that counts fewer subranges than the
// first gives only those.
NTSTATUS CUac2ClockSource::GetSampleRates(ULONG* count, ULONG* rates) {
    if (count == NULL) return STATUS_INVALID_PARAMETER;
    ULONG n = 0;
    NTSTATUS status = GetSampleRateCount(&n);
    if (!NT_SUCCESS(status)) return status;
    if (n > CLOCK_MAX_RATES) {
        DbgPrint("clock %u lists %u subranges, more than the %u rates taken\n", (unsigned)EntityId(), (unsigned)n,
                 (unsigned)CLOCK_MAX_RATES);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG wanted = *count < n ? *count : n;
    if (wanted != 0 && rates == NULL) return STATUS_INVALID_PARAMETER;
    const ULONG bytes = 2 + kSubrangeBytes * wanted;
    auto* list = static_cast<BYTE*>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, UAC2_NODE_TAG));
    if (list == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(list, bytes);
    status = SendRequest(UAC2_CS_GET_FREQ_RANGE, 0, list, bytes);
    if (NT_SUCCESS(status)) {
        const ULONG returned = Le16(list);
        if (returned < wanted) wanted = returned;
        for (ULONG i = 0; i < wanted; ++i) {
            const BYTE* subrange = list + 2 + kSubrangeBytes * i;
            const ULONG minimum = Le32(subrange), maximum = Le32(subrange + 4), resolution = Le32(subrange + 8);
            if (minimum == maximum && resolution == 0) {
                rates[i] = maximum;
            } else {
                DbgPrint("clock %u subrange %u {%u, %u, %u} is no single rate; only discrete rates are taken\n",
                         (unsigned)EntityId(), (unsigned)i, (unsigned)minimum, (unsigned)maximum,
                         (unsigned)resolution);
                status = STATUS_INVALID_PARAMETER;
            }
        }
        *count = wanted;
    }
    ExFreePoolWithTag(list, UAC2_NODE_TAG);
    return status;
}

NTSTATUS CUac2ClockSource::GetSampleRate(ULONG* rate) {
    if (rate == NULL) return STATUS_INVALID_PARAMETER;
    UCHAR bytes[4] = {};
    NTSTATUS status = SendRequest(UAC2_CS_GET_FREQ, 0, bytes, sizeof(bytes));
    if (NT_SUCCESS(status)) *rate = Le32(bytes);
    return status;
}

NTSTATUS CUac2ClockSource::SetSampleRate(ULONG rate) {
    UCHAR bytes[4] = {(UCHAR)rate, (UCHAR)(rate >> 8), (UCHAR)(rate >> 16), (UCHAR)(rate >> 24)};
    return SendRequest(UAC2_CS_SET_FREQ, 0, bytes, sizeof(bytes));
}

NTSTATUS CUac2ClockSource::GetClockValid(BYTE* valid) {
    if (valid == NULL) return STATUS_INVALID_PARAMETER;
    UCHAR byte = 0;
    NTSTATUS status = SendRequest(UAC2_CS_GET_VALID, 0, &byte, 1);
    if (NT_SUCCESS(status)) *valid = byte;
    return status;
}
