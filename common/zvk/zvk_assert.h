// Contract checks of the headphone engine. A broken contract calls the
// assertion hook with the contract's text and never stops the caller; each
// check site then takes its own safe path (skip the work, bypass). Tests
// install a recorder; the driver keeps the default, EmptyFunction of the
// DSP building blocks, which does nothing.
#pragma once

using ZvkAssertHook = void (*)(const char* expression, const char* file, int line);

// The hook in force; never null. Set only while no engine runs.
extern ZvkAssertHook g_pZvkAssertHook;

// Installs hook (null restores the default) and returns the previous one.
ZvkAssertHook ZvkSetAssertHook(ZvkAssertHook hook);

// True when the contract holds; otherwise reports it and returns false.
inline bool ZvkCheck(bool holds, const char* expression, const char* file, int line) {
    if (!holds) g_pZvkAssertHook(expression, file, line);
    return holds;
}

#define ZVK_CHECK(text, cond) ZvkCheck((cond), (text), __FILE__, __LINE__)
