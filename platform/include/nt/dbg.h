// Kernel debugger output. The stand-in appends every message to a capture
// buffer that tests read (sim/debug.h) and echoes it to stderr when asked
// (environment variable ZK_DEBUG_PRINT=1 or sim::SetDebugEcho).
#pragma once

#include "nt/types.h"

#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3

// Formats as RtlStringCchPrintfA does (%d %i %u %x %X %c %s %ws %S %p with
// flags, width, precision and the kernel's size prefixes). One message keeps
// at most 512 bytes, as on the platform; a format the formatter refuses
// (e.g. %wZ) is captured as its format text. Returns STATUS_SUCCESS.
ULONG DbgPrint(PCSTR Format, ...);
// Every level is captured (the platform's per-component filter is not
// emulated).
ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);

#define KdPrint(args) DbgPrint args
#define KdPrintEx(args) DbgPrintEx args

// No debugger is attached: a breakpoint bugchecks.
[[noreturn]] VOID DbgBreakPoint();
#define KdBreakPoint DbgBreakPoint
