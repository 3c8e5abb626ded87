// A stand-in for Tovu.exe, for the end-to-end tests only. Its very first
// instruction reads its processor affinity; then it writes one record
// (target-<pid>.txt in %TOVU_E2E_LOG%) and stays alive until the test drops a
// stop file (stop-all or stop-<pid>) or its time (%TOVU_E2E_TARGET_SECONDS%,
// default 120) runs out. Copied as C:\Program.exe it shows that it was started.
// Built for x86 and for x64; the record says which.
#include <windows.h>

namespace {

DWORD ParseSeconds(const char* text, DWORD fallback) {
  DWORD value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + static_cast<DWORD>(*text - '0');
  return value == 0 ? fallback : value;
}

bool FileExists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

extern "C" void TargetEntry(void) {
  DWORD_PTR process_mask = 0;
  DWORD_PTR system_mask = 0;
  GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask);

  char dir[MAX_PATH] = "";
  GetEnvironmentVariableA("TOVU_E2E_LOG", dir, MAX_PATH);
  char seconds_text[16] = "";
  GetEnvironmentVariableA("TOVU_E2E_TARGET_SECONDS", seconds_text, 16);
  const DWORD seconds = ParseSeconds(seconds_text, 120);
  char module[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, module, MAX_PATH);
  const DWORD pid = GetCurrentProcessId();

  char line[1024];
  wsprintfA(line, "winpid=%lu\nmask=%lu\nsystem=%lu\nbits=%d\npath=%s\n", pid,
            static_cast<unsigned long>(process_mask), static_cast<unsigned long>(system_mask),
            static_cast<int>(sizeof(void*) * 8), module);
  char record[MAX_PATH + 32];
  wsprintfA(record, "%s\\target-%lu.txt", dir, pid);
  char record_tmp[MAX_PATH + 32];
  wsprintfA(record_tmp, "%s.tmp", record);
  HANDLE file = CreateFileA(record_tmp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(lstrlenA(line)), &written, nullptr);
    CloseHandle(file);
    MoveFileA(record_tmp, record);  // the test sees the record whole or not at all
  }

  char stop_all[MAX_PATH + 16];
  wsprintfA(stop_all, "%s\\stop-all", dir);
  char stop_me[MAX_PATH + 32];
  wsprintfA(stop_me, "%s\\stop-%lu", dir, pid);
  const DWORD start = GetTickCount();
  while (!FileExists(stop_all) && !FileExists(stop_me) && GetTickCount() - start < seconds * 1000) {
    Sleep(50);
  }
  ExitProcess(0);
}
