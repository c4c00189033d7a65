// A scripted entity for the node tests: the control interfaces a node
// binds to (switches, levels, selector, clock source), with values per
// (control selector, channel), a range, refusals and a record of what was
// sent. It keeps the device side of the contract: a refused or failed
// request changes nothing and leaves the caller's output alone.
#pragma once

#include <map>
#include <set>
#include <utility>
#include <vector>

#include "adapter/base/unknown.h"
#include "topology/uac_controls.h"

namespace uactest {

struct SentValue {
    ULONG cs;
    ULONG channel;
    LONG value;
    bool operator==(const SentValue& o) const { return cs == o.cs && channel == o.channel && value == o.value; }
};

class FakeEntity : public IBoolControl, public ILevelControl, public IMuxUnit, public IClockSource,
                   public CUacUnitBase {
public:
    // One reference; the test releases it after the nodes.
    static FakeEntity* Create(ULONG channels = 2);

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // IBoolControl / ILevelControl: channel indexes below `channels`.
    NTSTATUS GetBool(ULONG cs, ULONG channel, UCHAR* value) override;
    NTSTATUS SetBool(ULONG cs, ULONG channel, UCHAR value) override;
    NTSTATUS GetBoolChannelCount(ULONG cs, ULONG* count) override;
    NTSTATUS CreateNodes(IAudioHal*) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS GetLevel(ULONG cs, ULONG channel, LONG* level) override;
    NTSTATUS SetLevel(ULONG cs, ULONG channel, LONG level) override;
    NTSTATUS GetLevelRange(ULONG cs, LONG* maximum, LONG* minimum, LONG* step) override;
    NTSTATUS GetLevelChannelCount(ULONG cs, ULONG* count) override;

    // IMuxUnit (the selector entity): inputs 1..inputs.
    NTSTATUS GetValue(ULONG* input) override;
    NTSTATUS SetValue(ULONG input) override;
    NTSTATUS GetInputCount(ULONG* count) override;
    NTSTATUS AddListener(IMuxListener*) override { return STATUS_NOT_IMPLEMENTED; }

    // IClockSource (the clock source entity).
    NTSTATUS GetSampleRates(ULONG* count, ULONG* rates) override;
    NTSTATUS GetSampleRateCount(ULONG* count) override;
    NTSTATUS SetSampleRate(ULONG rate) override;
    NTSTATUS GetSampleRate(ULONG* rate) override;
    NTSTATUS GetClockValid(BYTE* valid) override;
    NTSTATUS Init(ULONG, const ULONG*) override { return STATUS_SUCCESS; }

    void SetSources(ULONG count) {
        std::vector<ULONG> ids(count, 9);
        SetSourceIds(count, ids.data());
    }

    ULONG channels;
    LONG maximum = 0, minimum = -128 * 65536, step = 256;
    std::map<std::pair<ULONG, ULONG>, LONG> values;  // device values by (cs, channel)
    NTSTATUS setStatus = STATUS_SUCCESS;             // every SET (switch, level, input, rate)
    std::set<ULONG> refusedChannels;                 // SETs on these channels fail
    NTSTATUS getStatus = STATUS_SUCCESS;             // every GET
    std::vector<SentValue> sent;                     // SETs that reached the entity
    bool answerBool = true, answerLevel = true;
    ULONG inputs = 3;
    ULONG input = 1;
    std::vector<ULONG> rates;
    ULONG rate = 0;
    BYTE clockValid = 1;

private:
    explicit FakeEntity(ULONG channelCount) : CUacUnitBase(NULL, 77, 6), channels(channelCount) {}
    NTSTATUS Set(ULONG cs, ULONG channel, LONG value);
    NTSTATUS Get(ULONG cs, ULONG channel, LONG* value);
};

}  // namespace uactest
