// Placeholder bodies for entry-table cells whose real body is built later.
// spNotBuilt<Fn> has the row's exact signature, reads and writes nothing and
// answers SP_STS_NOT_BUILT, a code no primitive returns otherwise. Whoever
// fills the last placeholder cell deletes this header and the code.
#pragma once

#include "primitives/convert/sp_types.h"

constexpr SpStatus SP_STS_NOT_BUILT = -1000;

template <typename Fn>
struct SpNotBuiltBody;

template <typename... Args>
struct SpNotBuiltBody<SpStatus(Args...)> {
    static SpStatus Call(Args...) { return SP_STS_NOT_BUILT; }
};

// One address per signature, the same in every translation unit, so the
// identity test can tell a placeholder cell from a real body.
template <typename Fn>
constexpr Fn* spNotBuilt = &SpNotBuiltBody<Fn>::Call;
