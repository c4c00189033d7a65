// The table of builders with codec registers.
#include "topology/chip_registers_registry.h"

#include <atomic>

namespace {

struct OWNER {
    std::atomic<const void*> Builder;
    std::atomic<IChipRegisters*> Registers;
};

OWNER g_Owners[CHIP_REGISTER_OWNERS];

}  // namespace

NTSTATUS RegisterChipRegisters(const void* builder, IChipRegisters* registers) {
    if (builder == NULL || registers == NULL) return STATUS_INVALID_PARAMETER;
    for (OWNER& owner : g_Owners) {
        const void* empty = NULL;
        // The slot is claimed with a marker first, so a lookup never pairs
        // the builder with another owner's registers.
        if (!owner.Builder.compare_exchange_strong(empty, &owner, std::memory_order_acq_rel)) continue;
        owner.Registers.store(registers, std::memory_order_release);
        owner.Builder.store(builder, std::memory_order_release);
        return STATUS_SUCCESS;
    }
    return STATUS_INSUFFICIENT_RESOURCES;
}

void UnregisterChipRegisters(const void* builder) {
    for (OWNER& owner : g_Owners) {
        if (builder == NULL || owner.Builder.load(std::memory_order_acquire) != builder) continue;
        owner.Registers.store(NULL, std::memory_order_release);
        owner.Builder.store(NULL, std::memory_order_release);
        return;
    }
}

IChipRegisters* QueryChipRegisters(const void* builder) {
    if (builder == NULL) return NULL;
    for (OWNER& owner : g_Owners)
        if (owner.Builder.load(std::memory_order_acquire) == builder)
            return owner.Registers.load(std::memory_order_acquire);
    return NULL;
}
