// Cache-size probe of the CPU builds' fill and zero kernels, its descriptor
// table, and the non-temporal path counters.
#include "primitives/convert/cpuid.h"
#include "primitives/convert/sp_cpu.h"

std::atomic<uint64_t> spNtCalls[SP_NT_COUNTER_COUNT];

// Leaf-2 level-2 and level-3 cache descriptors of 512 KiB and more, from the
// largest size down.
const SpCacheDescriptor spCacheDescriptors[SP_CACHE_DESCRIPTOR_COUNT + 1] = {
    {0x4D, 0x16}, {0x4C, 0x34}, {0x4B, 0x15}, {0x47, 0x15}, {0x4E, 0x33}, {0x4A, 0x33}, {0x49, 0x14},
    {0x29, 0x14}, {0x46, 0x14}, {0x48, 0x32}, {0x25, 0x13}, {0x7D, 0x13}, {0x85, 0x13}, {0x45, 0x13},
    {0x23, 0x12}, {0x87, 0x12}, {0x7C, 0x12}, {0x78, 0x12}, {0x84, 0x12}, {0x44, 0x12}, {0x22, 0x11},
    {0x7B, 0x11}, {0x80, 0x11}, {0x86, 0x11}, {0x3E, 0x11}, {0x7F, 0x11}, {0x83, 0x11}, {0x43, 0x11},
    {0x00, 0x00},
};

uint64_t spCacheProbe() {
    using sp::cpu::query;
    if (!sp::cpu::isAcceptedVendor(query(0))) return 0;
    SpCpuidRecord l2 = query(2);
    if ((l2.eax & 0xFF) != 1) return 0;
    const uint32_t regs[4] = {l2.eax, l2.ebx, l2.ecx, l2.edx};
    uint8_t bytes[15];
    int count = 0;
    for (int r = 0; r < 4; ++r) {
        if (regs[r] & 0x80000000u) continue;
        for (int b = (r == 0 ? 1 : 0); b < 4; ++b) bytes[count++] = (uint8_t)(regs[r] >> (8 * b));
    }
    for (const SpCacheDescriptor* d = spCacheDescriptors; d->descriptor != 0; ++d)
        for (int i = 0; i < count; ++i)
            if (bytes[i] == d->descriptor) return (uint64_t)(d->sizeCode >> 4) << ((d->sizeCode & 15) + 18);
    return 0;
}
