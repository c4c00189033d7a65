// The scripted entity.
#include "tests/topology/uac/fake_entity.h"

#include <algorithm>

namespace uactest {

FakeEntity* FakeEntity::Create(ULONG channels) {
    FakeEntity* entity = new (NonPagedPoolNx, MakePoolTag("FEnt")) FakeEntity(channels);
    if (entity != nullptr) entity->AddRef();
    return entity;
}

NTSTATUS FakeEntity::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (IsEqualGUID(iid, IID_IBoolControl) && answerBool)
        return ReturnInterface(static_cast<IBoolControl*>(this), out);
    if (IsEqualGUID(iid, IID_ILevelControl) && answerLevel)
        return ReturnInterface(static_cast<ILevelControl*>(this), out);
    if (IsEqualGUID(iid, IID_IMuxUnit)) return ReturnInterface(static_cast<IMuxUnit*>(this), out);
    if (IsEqualGUID(iid, IID_IClockSource)) return ReturnInterface(static_cast<IClockSource*>(this), out);
    return CUacUnitBase::NonDelegatingQueryInterface(iid, out);
}

NTSTATUS FakeEntity::Set(ULONG cs, ULONG channel, LONG value) {
    if (channel >= channels) return STATUS_INVALID_PARAMETER;
    if (!NT_SUCCESS(setStatus)) return setStatus;
    if (refusedChannels.count(channel)) return STATUS_UNSUCCESSFUL;
    sent.push_back({cs, channel, value});
    values[{cs, channel}] = value;
    return STATUS_SUCCESS;
}

NTSTATUS FakeEntity::Get(ULONG cs, ULONG channel, LONG* value) {
    if (channel >= channels || value == nullptr) return STATUS_INVALID_PARAMETER;
    if (!NT_SUCCESS(getStatus)) return getStatus;
    auto it = values.find({cs, channel});
    if (it == values.end()) return STATUS_UNSUCCESSFUL;
    *value = it->second;
    return STATUS_SUCCESS;
}

NTSTATUS FakeEntity::GetBool(ULONG cs, ULONG channel, UCHAR* value) {
    LONG v = 0;
    NTSTATUS status = Get(cs, channel, &v);
    if (NT_SUCCESS(status)) *value = (UCHAR)v;
    return status;
}

NTSTATUS FakeEntity::SetBool(ULONG cs, ULONG channel, UCHAR value) { return Set(cs, channel, value); }

NTSTATUS FakeEntity::GetBoolChannelCount(ULONG, ULONG* count) {
    *count = channels;
    return channels != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS FakeEntity::GetLevel(ULONG cs, ULONG channel, LONG* level) { return Get(cs, channel, level); }

NTSTATUS FakeEntity::SetLevel(ULONG cs, ULONG channel, LONG level) { return Set(cs, channel, level); }

NTSTATUS FakeEntity::GetLevelRange(ULONG, LONG* max, LONG* min, LONG* res) {
    *max = maximum;
    *min = minimum;
    *res = step;
    return STATUS_SUCCESS;
}

NTSTATUS FakeEntity::GetLevelChannelCount(ULONG cs, ULONG* count) { return GetBoolChannelCount(cs, count); }

NTSTATUS FakeEntity::GetValue(ULONG* value) {
    if (!NT_SUCCESS(getStatus)) return getStatus;
    *value = input;
    return STATUS_SUCCESS;
}

NTSTATUS FakeEntity::SetValue(ULONG value) {
    if (!NT_SUCCESS(setStatus)) return setStatus;
    sent.push_back({0, 0, (LONG)value});
    input = value;
    return STATUS_SUCCESS;
}

NTSTATUS FakeEntity::GetInputCount(ULONG* count) {
    *count = inputs;
    return STATUS_SUCCESS;
}

NTSTATUS FakeEntity::GetSampleRates(ULONG* count, ULONG* list) {
    if (*count < rates.size()) return STATUS_INVALID_PARAMETER;
    *count = (ULONG)rates.size();
    std::copy(rates.begin(), rates.end(), list);
    return STATUS_SUCCESS;
}

NTSTATUS FakeEntity::GetSampleRateCount(ULONG* count) {
    *count = (ULONG)rates.size();
    return STATUS_SUCCESS;
}

NTSTATUS FakeEntity::SetSampleRate(ULONG value) {
    if (!NT_SUCCESS(setStatus)) return setStatus;
    rate = value;
    return STATUS_SUCCESS;
}

NTSTATUS FakeEntity::GetSampleRate(ULONG* value) {
    *value = rate;
    return STATUS_SUCCESS;
}

NTSTATUS FakeEntity::GetClockValid(BYTE* valid) {
    *valid = clockValid;
    return STATUS_SUCCESS;
}

}  // namespace uactest
