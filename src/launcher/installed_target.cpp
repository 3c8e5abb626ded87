#include "driver/driver.h"
#include "launcher/launcher.h"

namespace {

const char kUninstallRoot[] = "software\\microsoft\\windows\\currentversion\\uninstall";
const char kIconValueName[] = "displayicon";

// Uninstall entries of the two products that install the target, in the order
// they are tried.
const char* const kProductCodeList[] = {
    "{4C7B02E8-96D5-4A1F-B3E0-5D28A9C61F3D}", "{4C7B02E8-96D5-4A1F-B3E0-5D28A9C61F31}",
    "{4C7B02E8-96D5-4A1F-B3E0-5D28A9C61F34}", "{4C7B02E8-96D5-4A1F-B3E0-5D28A9C61F3A}",
    "{4C7B02E8-96D5-4A1F-B3E0-5D28A9C61F37}", "{4C7B02E8-96D5-4A1F-B3E0-5D28A9C61F36}",
    "{4C7B02E8-96D5-4A1F-B3E0-5D28A9C61F39}",
};

// Resolving the joined path drops the icon file's name (and an icon index such
// as ",0" after it), which leaves the target beside the icon file.
const char kTargetPathSuffix[] = "\\..\\Tovu.exe";

// 失敗しました。%d\n%s ("failed: code, path")
const char kPathFailed[] = "\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42%d\n%s";
// 実行に失敗しました。%d\n%s ("starting failed: code, path")
const char kStartFailed[] =
    "\x8E\xC0\x8D\x73\x82\xC9\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42%d\n%s";
// 安定化に失敗しました。 %d ("stabilisation failed: code")
const char kPinFailed[] =
    "\x88\xC0\x92\xE8\x89\xBB\x82\xC9\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42 %d";
// Fenwolkも\nBrisdaneも見つかりませんでした ("neither Fenwolk nor Brisdane was found")
const char kNotFound[] =
    "Fenwolk\x82\xE0\nBrisdane\x82\xE0\x8C\xA9\x82\xC2\x82\xA9\x82\xE8\x82\xDC\x82\xB9\x82\xF1"
    "\x82\xC5\x82\xB5\x82\xBD";

const DWORD kIconValueMaxBytes = 256;
const DWORD kIconPathBufferSize = 356;
const DWORD kFullPathBufferSize = MAX_PATH;
// The full path in double quotes.
const DWORD kCommandLineBufferSize = kFullPathBufferSize + 2;

static_assert(kIconValueMaxBytes + sizeof(kTargetPathSuffix) <= kIconPathBufferSize,
              "the longest icon path still takes the suffix and its terminator");

enum LaunchResult { kNoAttempt, kAttemptFailed, kStarted };

// A handle that stayed 0 and the predefined roots (HKEY_LOCAL_MACHINE) are not
// ours to close.
bool IsClosableKey(HKEY key) { return (reinterpret_cast<uintptr_t>(key) & 0x7FFFFFF0) != 0; }

void CloseKeyIfClosable(HKEY key) {
  if (IsClosableKey(key)) {
    RegCloseKey(key);
  }
}

DWORD TextLength(const char* text) {
  DWORD length = 0;
  while (text[length] != '\0') {
    ++length;
  }
  return length;
}

// Reads the entry's icon path, exactly as stored, into `icon_path`. False when
// the value is missing, empty, longer than the buffer takes or not REG_SZ.
bool ReadIconPath(HKEY product_key, char* icon_path) {
  DWORD type = 0;
  DWORD size = kIconValueMaxBytes;
  if (RegQueryValueExA(product_key, kIconValueName, nullptr, &type,
                       reinterpret_cast<LPBYTE>(icon_path), &size) != ERROR_SUCCESS ||
      size == 0 || type != REG_SZ) {
    return false;
  }
  // A REG_SZ need not end in a terminator: keep only the bytes just read, never
  // an earlier code's text or stale stack.
  icon_path[size] = '\0';
  return true;
}

void AppendText(char* text, const char* tail) {
  char* end = text + TextLength(text);
  do {
    *end++ = *tail;
  } while (*tail++ != '\0');
}

// Starts the resolved target with its path as application name and, quoted, as
// the command line: unquoted, a path with blanks such as "C:\Program Files\..."
// could start C:\Program.exe instead. `length` is what GetFullPathNameA
// returned, already checked to fit the full path buffer.
bool StartTarget(const char* full_path, DWORD length, PROCESS_INFORMATION* process) {
  char command_line[kCommandLineBufferSize];
  command_line[0] = '"';
  for (DWORD i = 0; i < length; ++i) {
    command_line[1 + i] = full_path[i];
  }
  command_line[1 + length] = '"';
  command_line[2 + length] = '\0';

  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  GetStartupInfoA(&startup);
  return CreateProcessA(full_path, command_line, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                        nullptr, nullptr, &startup, process) != FALSE;
}

// Resolves the target beside the entry's icon path, starts it pinned to
// processor 0 and waits for it to exit.
LaunchResult LaunchFromProductKey(HKEY product_key) {
  char icon_path[kIconPathBufferSize];
  if (!ReadIconPath(product_key, icon_path)) {
    return kNoAttempt;
  }
  AppendText(icon_path, kTargetPathSuffix);

  char full_path[kFullPathBufferSize];
  const DWORD length = GetFullPathNameA(icon_path, kFullPathBufferSize, full_path, nullptr);
  if (length == 0) {
    ShowToolMessage(kPathFailed, GetLastError(), icon_path);
    return kAttemptFailed;
  }
  // A path that does not fit comes back as the size it needs, with the buffer
  // left unfilled.
  if (length >= kFullPathBufferSize) {
    ShowToolMessage(kPathFailed, ERROR_FILENAME_EXCED_RANGE, icon_path);
    return kAttemptFailed;
  }

  PROCESS_INFORMATION process = {};
  if (!StartTarget(full_path, length, &process)) {
    ShowToolMessage(kStartFailed, GetLastError(), full_path);
    return kAttemptFailed;
  }
  // Until this call the target runs on every processor the tool may use.
  if (SetProcessAffinityMask(process.hProcess, 1) == FALSE) {
    ShowToolMessage(kPinFailed, GetLastError());
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  // The target's handles go with the tool, which ends right after this wait.
  return kStarted;
}

LaunchResult TryProductCode(HKEY uninstall_key, const char* product_code) {
  HKEY product_key = nullptr;
  LaunchResult result = kNoAttempt;
  if (RegOpenKeyExA(uninstall_key, product_code, 0, KEY_READ, &product_key) == ERROR_SUCCESS) {
    result = LaunchFromProductKey(product_key);
  }
  CloseKeyIfClosable(product_key);
  return result;
}

}  // namespace

void LaunchInstalledTarget(void) {
  // When the root cannot be opened the handle stays 0 and every code below
  // fails to open, which ends in the not-found message.
  HKEY uninstall_key = nullptr;
  RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallRoot, 0, KEY_READ, &uninstall_key);

  bool attempt_made = false;
  bool started = false;
  for (const char* product_code : kProductCodeList) {
    const LaunchResult result = TryProductCode(uninstall_key, product_code);
    started = result == kStarted;
    if (started) {
      break;
    }
    attempt_made = attempt_made || result == kAttemptFailed;
  }
  // After a failed attempt, that failure's message is the last word.
  if (!started && !attempt_made) {
    ShowToolMessage(kNotFound);
  }
  CloseKeyIfClosable(uninstall_key);
}
