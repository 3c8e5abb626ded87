// Watches for the tool's message boxes, for the end-to-end tests only. Runs in
// the same Wine prefix as the tool. For every box captioned "安定化ツール" it
// appends one JSON line to %TOVU_E2E_LOG%\watcher.jsonl: the box's texts
// (UTF-8), buttons, icons, owner, place on screen and its OK button's, and the
// affinity of every running Tovu.exe at that moment. With TOVU_E2E_ACK=1 it then waits for the
// test's ack-<n> file (time for a screenshot and the Linux-side witness)
// before it presses OK. A query-<n> file asks for the Tovu.exe affinities at
// once; watcher-stop ends it.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const wchar_t kCaption[] = L"\u5B89\u5B9A\u5316\u30C4\u30FC\u30EB";  // 安定化ツール

std::wstring g_dir;
FILE* g_log = nullptr;

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return "";
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], size,
                      nullptr, nullptr);
  return out;
}

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::wstring WindowText(HWND hwnd) {
  wchar_t buffer[2048];
  const int length = GetWindowTextW(hwnd, buffer, 2048);
  return std::wstring(buffer, static_cast<size_t>(length > 0 ? length : 0));
}

bool Exists(const std::wstring& name) {
  return GetFileAttributesW((g_dir + L"\\" + name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteLine(const std::string& line) {
  std::fputs((line + "\n").c_str(), g_log);
  std::fflush(g_log);
}

// Every running Tovu.exe and its affinity, read through Win32.
std::string Targets() {
  std::string out = "[";
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (lstrcmpiW(entry.szExeFile, L"Tovu.exe") != 0) continue;
    DWORD_PTR mask = 0;
    DWORD_PTR system = 0;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, entry.th32ProcessID);
    const bool ok = process != nullptr && GetProcessAffinityMask(process, &mask, &system);
    if (process != nullptr) CloseHandle(process);
    char item[96];
    std::snprintf(item, sizeof(item), "%s{\"pid\":%lu,\"mask\":%ld}", out.size() > 1 ? "," : "",
                  entry.th32ProcessID, ok ? static_cast<long>(mask) : -1L);
    out += item;
  }
  CloseHandle(snapshot);
  return out + "]";
}

struct Controls {
  std::vector<std::string> texts;
  std::vector<std::string> buttons;
  int icons = 0;
};

BOOL CALLBACK CollectControl(HWND child, LPARAM param) {
  Controls* controls = reinterpret_cast<Controls*>(param);
  wchar_t kind[64];
  GetClassNameW(child, kind, 64);
  const LONG style = GetWindowLongW(child, GWL_STYLE);
  if (lstrcmpiW(kind, L"Static") == 0) {
    if ((style & SS_TYPEMASK) == SS_ICON) {
      // Wine keeps a hidden, empty icon control in every box.
      if ((style & WS_VISIBLE) && SendMessageW(child, STM_GETICON, 0, 0) != 0) ++controls->icons;
    } else {
      const std::wstring text = WindowText(child);
      if (!text.empty()) controls->texts.push_back(Utf8(text));
    }
  } else if (lstrcmpiW(kind, L"Button") == 0 && (style & WS_VISIBLE)) {
    char item[160];
    std::snprintf(item, sizeof(item), "{\"id\":%d,\"text\":%s}", GetDlgCtrlID(child),
                  Json(Utf8(WindowText(child))).c_str());
    controls->buttons.push_back(item);
  }
  return TRUE;
}

std::string JoinArray(const std::vector<std::string>& items, bool quote) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i)
    out += (i ? "," : "") + (quote ? Json(items[i]) : items[i]);
  return out + "]";
}

BOOL CALLBACK NeedsPaint(HWND child, LPARAM param) {
  if (GetUpdateRect(child, nullptr, FALSE)) *reinterpret_cast<bool*>(param) = true;
  return TRUE;
}

// Whether the box and its controls have been painted: none has an update
// region left. A box is reported only then, so that a screenshot shows it.
bool Painted(HWND box) {
  bool pending = GetUpdateRect(box, nullptr, FALSE) != FALSE;
  EnumChildWindows(box, NeedsPaint, reinterpret_cast<LPARAM>(&pending));
  return !pending;
}

BOOL CALLBACK CollectBox(HWND hwnd, LPARAM param) {
  if (IsWindowVisible(hwnd) && WindowText(hwnd) == kCaption) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
  }
  return TRUE;
}

void Report(HWND box, int index) {
  Controls controls;
  EnumChildWindows(box, CollectControl, reinterpret_cast<LPARAM>(&controls));
  RECT rect = {};
  GetWindowRect(box, &rect);
  RECT ok = {};
  GetWindowRect(GetDlgItem(box, IDOK), &ok);
  char head[320];
  std::snprintf(head, sizeof(head),
                "{\"kind\":\"box\",\"index\":%d,\"owner\":%d,\"rect\":[%ld,%ld,%ld,%ld],"
                "\"ok_rect\":[%ld,%ld,%ld,%ld],\"icons\":%d,",
                index, GetWindow(box, GW_OWNER) != nullptr ? 1 : 0, rect.left, rect.top, rect.right,
                rect.bottom, ok.left, ok.top, ok.right, ok.bottom, controls.icons);
  WriteLine(std::string(head) + "\"caption\":" + Json(Utf8(WindowText(box))) + ",\"texts\":" +
            JoinArray(controls.texts, true) + ",\"buttons\":" + JoinArray(controls.buttons, false) +
            ",\"targets\":" + Targets() + "}");
}

void AnswerQueries() {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((g_dir + L"\\query-*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    WriteLine("{\"kind\":\"query\",\"name\":" + Json(Utf8(name)) + ",\"targets\":" + Targets() +
              "}");
    DeleteFileW((g_dir + L"\\" + name).c_str());
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

}  // namespace

int main() {
  wchar_t dir[MAX_PATH];
  GetEnvironmentVariableW(L"TOVU_E2E_LOG", dir, MAX_PATH);
  g_dir = dir;
  const bool wait_for_ack = GetEnvironmentVariableW(L"TOVU_E2E_ACK", nullptr, 0) > 0;
  g_log = _wfopen((g_dir + L"\\watcher.jsonl").c_str(), L"ab");
  if (g_log == nullptr) return 1;
  WriteLine("{\"kind\":\"ready\"}");

  std::vector<HWND> handled;
  int index = 0;
  const DWORD start = GetTickCount();
  while (!Exists(L"watcher-stop") && GetTickCount() - start < 600000) {
    AnswerQueries();
    std::vector<HWND> boxes;
    EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&boxes));
    for (HWND box : boxes) {
      bool seen = false;
      for (HWND old : handled) seen = seen || old == box;
      if (seen) continue;
      const DWORD shown = GetTickCount();
      while (!Painted(box) && GetTickCount() - shown < 10000) Sleep(20);
      Report(box, index);
      if (wait_for_ack) {
        const std::wstring ack = L"ack-" + std::to_wstring(index);
        const DWORD asked = GetTickCount();
        while (!Exists(ack) && GetTickCount() - asked < 60000) Sleep(20);
      }
      PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
      handled.push_back(box);
      ++index;
    }
    // forget boxes that are gone, so a reused handle is seen again
    std::vector<HWND> alive;
    for (HWND old : handled) {
      if (IsWindow(old)) alive.push_back(old);
    }
    handled.swap(alive);
    Sleep(50);
  }
  std::fclose(g_log);
  return 0;
}
