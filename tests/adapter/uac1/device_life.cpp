// One device life on its own kernel scope, and seeded configuration
// mutations.
#include "tests/adapter/uac1/device_life.h"

#include <memory>
#include <random>
#include <vector>

#include "adapter/audio_hal.h"
#include "adapter/device_context.h"
#include "adapter/driver_entry.h"
#include "platform/portcls/sim_portcls.h"
#include "sim/executor.h"
#include "sim/pool.h"
#include "sim/registry.h"
#include "platform/usb/usb_port.h"

namespace uac1test {

const char16_t kNeutralModelString[] = u"GENERIC-UAC1";

namespace {

// The adapter through Init, Start and Stop; the release destroys it with
// the model, whose threads have ended by then.
void Live(simusb::SimUsbPort& port, uint64_t failAllocation, LifeOutcome* outcome) {
    if (port.harness().LoadDriver(DriverEntry) != STATUS_SUCCESS || port.harness().AddDevice() != STATUS_SUCCESS) {
        outcome->problems = "driver load or AddDevice failed\n";
        return;
    }
    sim::PoolResetCounters();
    if (failAllocation != 0) sim::PoolFailNth(failAllocation);
    PUNKNOWN adapter = NULL;
    outcome->init = CreateUsbAudioHal(&adapter);
    if (!NT_SUCCESS(outcome->init)) return;
    IAudioHal* hal = NULL;
    outcome->init = adapter->QueryInterface(IID_IAudioHal, reinterpret_cast<PVOID*>(&hal));
    if (NT_SUCCESS(outcome->init)) {
        hal->Release();
        PDEVICE_CONTEXT context = GetDeviceContext(port.harness().TopDevice());
        outcome->init = hal->Init(NULL, port.harness().TopDevice(), context->LowerDevice, context->Pdo);
        if (NT_SUCCESS(outcome->init)) outcome->start = hal->Start();
        hal->Stop();
    }
    adapter->Release();
    sim::PoolClearFailures();
}

}  // namespace

LifeOutcome RunDeviceLife(const simusb::DescriptorSet& set, uint64_t failAllocation, uint64_t* attempts) {
    LifeOutcome outcome;
    sim::PoolClearFailures();
    auto scope = std::make_unique<sim::KernelScope>();
    sim::RegistryReset();
    sim::PcResetState();
    {
        simusb::SimUsbPort port(set);
        Live(port, failAllocation, &outcome);
        if (attempts != nullptr) *attempts = sim::PoolAllocationAttempts();
    }
    sim::PcResetState();
    outcome.problems += scope->Finish().problems;
    return outcome;
}

simusb::DescriptorSet DeviceAround(const simusb::Bytes& configuration) {
    simusb::DeviceFields fields;
    fields.idVendor = 0x1209;
    fields.idProduct = 0x7A2F;
    simusb::DescriptorSet set;
    set.device = simusb::BuildDeviceDescriptor(fields);
    set.configuration = configuration;
    set.strings[0] = simusb::BuildLanguageIds({0x0409});
    set.strings[0x50] = simusb::BuildStringDescriptor(kNeutralModelString);
    return set;
}


// ---- mutations -----------------------------------------------------------------------

namespace {

// One descriptor as the walker saw it: offset, and the subclass of the
// interface it follows (1 Audio Control, 2 Audio Streaming, else 0).
struct Seen {
    size_t at;
    uint8_t subclass;
};

std::vector<Seen> Walk(const simusb::Bytes& b) {
    std::vector<Seen> seen;
    uint8_t subclass = 0;
    for (size_t at = 0; at + 2 <= b.size() && b[at] >= 2 && at + b[at] <= b.size(); at += b[at]) {
        if (b[at + 1] == 4 && b[at] >= 9) subclass = b[at + 5] == 1 ? b[at + 6] : 0;
        seen.push_back({at, subclass});
    }
    return seen;
}

// Offsets of every byte of one kind, over the descriptors that have it.
std::vector<size_t> Fields(const simusb::Bytes& b, MutationKind kind) {
    std::vector<size_t> fields;
    for (const Seen& s : Walk(b)) {
        const uint8_t* d = &b[s.at];
        const size_t length = d[0];
        const bool acUnit = d[1] == 0x24 && s.subclass == 1 && length >= 4;
        const bool asDescriptor = d[1] == 0x24 && s.subclass == 2 && length >= 4;
        switch (kind) {
        case MutationKind::BLength: fields.push_back(s.at); break;
        case MutationKind::PinCount:
            if (acUnit && (d[2] == 4 || d[2] == 5) && length > 4) fields.push_back(s.at + 4);
            break;
        case MutationKind::ControlSize:
            if (acUnit && d[2] == 6 && length > 5) fields.push_back(s.at + 5);
            break;
        case MutationKind::RateCount:
            if (asDescriptor && d[2] == 2 && length > 7) fields.push_back(s.at + 7);
            break;
        case MutationKind::EndpointCount:
            if (d[1] == 4 && length >= 9) fields.push_back(s.at + 4);
            break;
        case MutationKind::EntityId:
            if (acUnit && d[2] >= 2 && d[2] <= 8) {
                fields.push_back(s.at + 3);
                if (d[2] == 3 && length > 7) fields.push_back(s.at + 7);
                if (d[2] == 6 && length > 4) fields.push_back(s.at + 4);
                if ((d[2] == 4 || d[2] == 5) && length > 5)
                    for (size_t i = 0; i < d[4] && 5 + i < length; ++i) fields.push_back(s.at + 5 + i);
            }
            if (asDescriptor && d[2] == 1) fields.push_back(s.at + 3);
            break;
        default: break;
        }
    }
    return fields;
}

void SetTotal(simusb::Bytes* b, size_t total) {
    if (b->size() < 4) return;
    (*b)[2] = (uint8_t)total;
    (*b)[3] = (uint8_t)(total >> 8);
}

template <class T>
T Pick(std::mt19937& random, const std::vector<T>& values) {
    return values[std::uniform_int_distribution<size_t>(0, values.size() - 1)(random)];
}

}  // namespace

const char* MutationName(MutationKind kind) {
    static const char* const names[] = {"bLength",     "bNrInPins", "bControlSize", "bSamFreqType", "bNumEndpoints",
                                        "id",          "wTotalLength", "truncation", "byte flips"};
    return kind < MutationKind::Count ? names[(int)kind] : "?";
}

simusb::Bytes Mutate(const simusb::Bytes& configuration, MutationKind kind, uint32_t seed) {
    std::mt19937 random(seed);
    simusb::Bytes b = configuration;
    if (b.empty()) return b;
    auto any = [&](size_t limit) { return std::uniform_int_distribution<size_t>(0, limit)(random); };
    switch (kind) {
    case MutationKind::TotalLength: {
        const size_t size = b.size();
        SetTotal(&b, Pick<size_t>(random, {0, 9, size - 1, size + 1, any(size), 0xFFFF}));
        return b;
    }
    case MutationKind::Truncation: {
        const size_t cut = any(b.size() - 1);
        b.resize(cut);
        if (random() % 2 == 0) SetTotal(&b, cut);
        return b;
    }
    case MutationKind::ByteFlips: {
        const int flips = 1 + (int)(random() % 4);
        for (int i = 0; i < flips; ++i) b[any(b.size() - 1)] ^= (uint8_t)(1u << (random() % 8));
        return b;
    }
    default: break;
    }
    const std::vector<size_t> fields = Fields(b, kind);
    if (fields.empty()) return b;
    const size_t at = Pick(random, fields);
    const uint8_t old = b[at];
    const uint8_t randomByte = (uint8_t)random();
    b[at] = Pick<uint8_t>(random, {0, 1, 2, 3, (uint8_t)(old - 1), (uint8_t)(old + 1), 9, 10, 13, 0xFF, randomByte});
    // An id sometimes names its own entity (a self-source) or another one.
    if (kind == MutationKind::EntityId && random() % 3 == 0) {
        const std::vector<size_t> ids = Fields(configuration, MutationKind::EntityId);
        b[at] = configuration[Pick(random, ids)];
    }
    return b;
}

std::string HexBytes(const simusb::Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
        out += (i % 32 == 31) ? '\n' : ' ';
    }
    return out;
}

}  // namespace uac1test
