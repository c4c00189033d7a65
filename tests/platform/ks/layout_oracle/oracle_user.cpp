// User-mode half of the layout oracle: the kernel-streaming structures and
// GUIDs of ks.h, ksmedia.h and mmreg.h against the stand-in's values.
#include <windows.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>

#include "oracle_common.h"
#include ORACLE_CHECKS
