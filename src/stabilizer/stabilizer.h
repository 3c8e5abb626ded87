// Pins running target processes one processor each, and gives them back.
#pragma once

#include "platform/win32.h"

// True when the run is finished; false when the launcher has to start the
// target (none was running, or the process list could not be read).
bool StabilizeRunningInstances(void);

// Zero when `a` and `b` are the same name with ASCII case folded by bit 0x20;
// otherwise the signed difference of the first bytes that differ.
int CompareNameNoCase(LPCSTR a, LPCSTR b);
