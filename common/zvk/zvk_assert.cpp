#include "common/zvk/zvk_assert.h"

namespace {
void IgnoreBreach(const char*, const char*, int) {}
}  // namespace

ZvkAssertHook g_pZvkAssertHook = IgnoreBreach;

ZvkAssertHook ZvkSetAssertHook(ZvkAssertHook hook) {
    ZvkAssertHook previous = g_pZvkAssertHook;
    g_pZvkAssertHook = hook ? hook : IgnoreBreach;
    return previous;
}
