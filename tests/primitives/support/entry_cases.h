// Every built primitive with a status, called through a uniform shape: the
// pointer arguments come from `p` in argument order (p[k] may be NULL), the
// length from `len`; other arguments are fixed valid values. Interleave and
// deinterleave turn p[0] into an array of three channel pointers inside it.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "primitives/convert/sp_types.h"

namespace sptest {

using EntryCall = SpStatus (*)(void* const* p, int len);

struct EntryCase {
    const char* name;
    int pointerSlots;
    EntryCall call;
    // Table cells of the entry (null for bodies that are not entries).
    const void* const* row;
};

const std::vector<EntryCase>& builtEntryCases();

// GoogleTest prints a case by its name.
inline void PrintTo(const EntryCase& e, std::ostream* os) { *os << e.name; }

}  // namespace sptest
