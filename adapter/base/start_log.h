// The debugger line of a step that ended a device start. Every step of
// the start that can fail says which step it was, where it applies (the
// device, an Audio Control or Audio Streaming interface) and its status,
// in one shape:
//
//   "start: the descriptor read failed (status c0000001); the device is not started"
//   "interface 2: the stream's buffers failed (status c000009a); the device is not started"
//
// A step that fails inside another logs once, where it failed; the steps
// around it pass its status on without a line of their own.
#pragma once

#include "nt/types.h"

// Both return status unchanged and print only when it is a failure, so a
// step can be logged where its result is returned.
NTSTATUS LogStartFailure(const char* step, NTSTATUS status);
NTSTATUS LogInterfaceStartFailure(ULONG interfaceNumber, const char* step, NTSTATUS status);
