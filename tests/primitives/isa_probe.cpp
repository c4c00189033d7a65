// Links every body and kernel of the primitives into one program, so that
// the instruction-set check sees the copies the linker kept.
#include <cstdint>
#include <cstdio>

#include "primitives/convert/entry_table_a.h"
#include "primitives/convert/sp_cpu.h"
#include "primitives/vector/entry_table_b.h"
#include "primitives/vector/sp_vec_cpu.h"

#define SP_ADDRESS_ONE(fullName, result, params) reinterpret_cast<const void*>(&fullName),
#define SP_ADDRESS(builds, name, result, params) SP_CPU_FOR_BUILDS(builds, SP_ADDRESS_ONE, name, result, params)

int main() {
    const void* const everything[] = {SP_CPU_LIST(SP_ADDRESS) SP_VEC_CPU_LIST(SP_ADDRESS) & spEntryTableA, &spEntryTableB,
                                      reinterpret_cast<const void*>(&spInitCpu)};
    uintptr_t sum = 0;
    for (const void* p : everything) sum ^= reinterpret_cast<uintptr_t>(p);
    std::printf("%zu addresses, checksum %zx\n", sizeof everything / sizeof everything[0], (size_t)sum);
    return 0;
}
