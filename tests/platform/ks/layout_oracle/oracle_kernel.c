/* Kernel-mode half of the layout oracle: the port-class descriptor,
   automation and request structures of portcls.h and the pin descriptor
   of ks.h, compiled as C (the cross compiler's kernel headers are C). */
#include <assert.h>
#include <stddef.h>
#include <ntddk.h>

/* Names these kernel headers use without declaring them in kernel mode;
   placeholders only, no layout below depends on them. */
typedef WCHAR TCHAR;
typedef struct { ULONG Placeholder; } KSRTAUDIO_HWLATENCY;
typedef struct { ULONG Placeholder; } KSRTAUDIO_HWREGISTER;

#include <portcls.h>

#include ORACLE_CHECKS
