#include "driver/driver.h"
#include "launcher/launcher.h"
#include "stabilizer/stabilizer.h"

extern "C" void ToolEntry(void) {
  if (!StabilizeRunningInstances()) {
    LaunchInstalledTarget();
  }
  // Returning from a no-CRT entry point only ends this thread; on Windows 10 and
  // later the loader's worker threads would keep the process alive for a while.
  ExitProcess(0);
}
