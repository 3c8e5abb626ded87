// Entry and the one way the tool speaks to its user.
#pragma once

#include "platform/win32.h"

// The executable's entry point: no C runtime runs before it, and the command
// line is never read.
extern "C" void ToolEntry(void);

// Formats `format` (wvsprintfA directives; 32-bit arguments) and shows it in a
// modal box with the tool's caption and a lone OK button.
int ShowToolMessage(LPCSTR format, ...);
