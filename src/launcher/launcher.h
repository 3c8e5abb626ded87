// Finds the installed target, starts it pinned to processor 0 and waits for it.
#pragma once

#include "platform/win32.h"

// Returns once the started target has exited, or once every product code has
// been tried without a start.
void LaunchInstalledTarget(void);
