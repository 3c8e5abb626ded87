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

enum Pass { kPinPass, kRestorePass };
enum PassResult { kNoProcessList, kNoTargetFound, kTargetFound };

// The next processor for the pin pass. Masks are 32 bits (one processor group on
// a 32-bit process), so bit 31 doubles to 0; past the last processor the system
// has, start again at processor 0.
DWORD_PTR NextPinMask(DWORD_PTR pin_mask, DWORD_PTR system_mask) {
  const DWORD_PTR doubled = static_cast<DWORD_PTR>(pin_mask << 1);
  return (doubled & system_mask) != 0 ? doubled : 1;
}

// Null when the process cannot be opened (another user's, or one with higher
// rights), after saying so.
HANDLE OpenInstance(DWORD process_id) {
  HANDLE process = OpenProcess(PROCESS_SET_INFORMATION, FALSE, process_id);
  if (process == nullptr || process == INVALID_HANDLE_VALUE) {
    ShowToolMessage(kCannotOpen, GetLastError());
    return nullptr;
  }
  return process;
}

// One walk over a fresh process list: the pin pass gives each target process
// the next processor, the restore pass gives every one the whole system.
PassResult RunPass(Pass pass, DWORD_PTR system_mask) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    ShowToolMessage(kErrorOccurred, GetLastError());
    return kNoProcessList;
  }
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  DWORD_PTR pin_mask = 1;
  PassResult result = kNoTargetFound;
  for (BOOL more = Process32First(snapshot, &entry); more != FALSE;
       more = Process32Next(snapshot, &entry)) {
    if (CompareNameNoCase(entry.szExeFile, kTargetExeName) != 0) {
      continue;
    }
    result = kTargetFound;
    HANDLE process = OpenInstance(entry.th32ProcessID);
    if (process == nullptr) {
      continue;  // its processor goes to the next process
    }
    const DWORD_PTR mask = pass == kRestorePass ? system_mask : pin_mask;
    if (SetProcessAffinityMask(process, mask) == FALSE) {
      ShowToolMessage(kCannotSet, GetLastError());
    }
    CloseHandle(process);
    pin_mask = NextPinMask(pin_mask, system_mask);
  }
  CloseHandle(snapshot);
  return result;
}

}  // namespace

bool StabilizeRunningInstances(void) {
  DWORD_PTR process_mask = 0;
  DWORD_PTR system_mask = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) == FALSE) {
    ShowToolMessage(kErrorOccurred, GetLastError());
    return true;
  }
  // With threads in more than one processor group (over 64 processors) the
  // query succeeds with empty masks: nothing could be pinned or given back.
  if (system_mask == 0) {
    ShowToolMessage(kErrorOccurred, ERROR_NOT_SUPPORTED);
    return true;
  }
  if (system_mask == 1) {
    ShowToolMessage(kNotNeeded);
    return true;
  }
  if (RunPass(kPinPass, system_mask) != kTargetFound) {
    return false;
  }
  // The user's OK on this box is what starts the restore pass.
  ShowToolMessage(kPinned);
  if (RunPass(kRestorePass, system_mask) == kNoProcessList) {
    return false;
  }
  ShowToolMessage(kRestored);
  return true;
}
