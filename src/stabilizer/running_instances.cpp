#include "driver/driver.h"
#include "stabilizer/stabilizer.h"

namespace {

const char kTargetExeName[] = "Tovu.exe";

// エラーが発生しました：%d\n ("an error occurred: code")
const char kErrorOccurred[] =
    "\x83\x47\x83\x89\x81\x5B\x82\xAA\x94\xAD\x90\xB6\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x46%d\n";
// このPCにはこのプログラムは必要ありません\n ("this PC does not need this program")
const char kNotNeeded[] =
    "\x82\xB1\x82\xCCPC\x82\xC9\x82\xCD\x82\xB1\x82\xCC\x83\x76\x83\x8D\x83\x4F\x83\x89\x83\x80"
    "\x82\xCD\x95\x4B\x97\x76\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1\n";
// 開けません(%d)\n ("cannot open (code)")
const char kCannotOpen[] = "\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1(%d)\n";
// 設定できません(%d)\n ("cannot set (code)")
const char kCannotSet[] = "\x90\xDD\x92\xE8\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1(%d)\n";
// 設定しました。\nOKを押すと元に戻します ("set; OK restores")
const char kPinned[] =
    "\x90\xDD\x92\xE8\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42\n"
    "OK\x82\xF0\x89\x9F\x82\xB7\x82\xC6\x8C\xB3\x82\xC9\x96\xDF\x82\xB5\x82\xDC\x82\xB7";
// 元に戻しました。\nOKを押すと終了します。 ("restored; OK ends the tool")
const char kRestored[] =
    "\x8C\xB3\x82\xC9\x96\xDF\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42\n"
    "OK\x82\xF0\x89\x9F\x82\xB7\x82\xC6\x8F\x49\x97\xB9\x82\xB5\x82\xDC\x82\xB7\x81\x42";

const int kPinPass = 0;
const int kRestorePass = 1;

// The next processor for the pin pass. Masks are 32 bits (one processor group on
// a 32-bit process), so bit 31 doubles to 0. Only the unbroken run of
// processors from 0 is used: once the doubled bit, or the current one, is not
// in the system, start again at processor 0.
DWORD_PTR NextPinMask(DWORD_PTR pin_mask, DWORD_PTR system_mask) {
  const DWORD_PTR doubled = static_cast<DWORD_PTR>(pin_mask << 1);
  return (doubled & system_mask) != 0 && (pin_mask & system_mask) != 0 ? doubled : 1;
}

// Gives one matching process `mask`. False when it could not be opened, which
// leaves its processor to the next process.
bool SetInstanceAffinity(DWORD process_id, DWORD_PTR mask) {
  HANDLE process = OpenProcess(PROCESS_SET_INFORMATION, FALSE, process_id);
  if (process == nullptr || process == INVALID_HANDLE_VALUE) {
    ShowToolMessage(kCannotOpen, GetLastError());
    return false;
  }
  if (SetProcessAffinityMask(process, mask) == FALSE) {
    ShowToolMessage(kCannotSet, GetLastError());
  }
  CloseHandle(process);
  return true;
}

// One walk over a fresh process list. False when the list cannot be taken.
bool RunPass(int pass, DWORD_PTR system_mask, bool* found_any) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    ShowToolMessage(kErrorOccurred, GetLastError());
    return false;
  }
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  DWORD_PTR pin_mask = 1;
  for (BOOL more = Process32First(snapshot, &entry); more != FALSE;
       more = Process32Next(snapshot, &entry)) {
    if (CompareNameNoCase(entry.szExeFile, kTargetExeName) != 0) {
      continue;
    }
    *found_any = true;
    const DWORD_PTR mask = pass == kRestorePass ? system_mask : pin_mask;
    if (SetInstanceAffinity(entry.th32ProcessID, mask)) {
      pin_mask = NextPinMask(pin_mask, system_mask);
    }
  }
  CloseHandle(snapshot);
  return true;
}

}  // namespace

bool StabilizeRunningInstances(void) {
  DWORD_PTR process_mask = 0;
  DWORD_PTR system_mask = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) == FALSE) {
    ShowToolMessage(kErrorOccurred, GetLastError());
    return true;
  }
  if (system_mask == 1) {
    ShowToolMessage(kNotNeeded);
    return true;
  }
  bool found_any = false;
  for (int pass = kPinPass;; pass = kRestorePass) {
    if (!RunPass(pass, system_mask, &found_any)) {
      return false;
    }
    if (!found_any) {
      return false;
    }
    if (pass == kRestorePass) {
      ShowToolMessage(kRestored);
      return true;
    }
    // The user's OK on this box is what starts the restore pass.
    ShowToolMessage(kPinned);
  }
}
