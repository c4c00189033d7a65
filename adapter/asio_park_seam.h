// A test's look into the parking of an ASIO stop request: the hook runs on
// the parking thread, under the device lock, once the request is published
// and before its cancel routine is set, so a test can bring other threads
// into that window. NULL outside tests.
#pragma once

#include "nt/irp.h"

typedef VOID (*PASIO_PARK_HOOK)(PIRP irp, PVOID context);

extern PASIO_PARK_HOOK g_AsioParkHook;
extern PVOID g_AsioParkHookContext;
