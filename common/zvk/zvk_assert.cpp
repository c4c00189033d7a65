#include "common/zvk/zvk_assert.h"

#include "dsp/interleave_src.h"

// The DSP code's shared do-nothing function is the default: a breach is
// ignored and the check site takes its safe path.
ZvkAssertHook g_pZvkAssertHook = EmptyFunction;

ZvkAssertHook ZvkSetAssertHook(ZvkAssertHook hook) {
    ZvkAssertHook previous = g_pZvkAssertHook;
    g_pZvkAssertHook = hook ? hook : EmptyFunction;
    return previous;
}
