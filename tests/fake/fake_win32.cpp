#include "fake/fake_win32.h"

#include <algorithm>
#include <cstring>

namespace fake {
namespace {

// What GetLastError gives after a call that succeeded: a tool that reads the
// code one call too late shows this instead of the real one.
const DWORD kStaleError = 0x7E57;

const DWORD kErrorFileNotFound = 2;
const DWORD kErrorAccessDenied = 5;
const DWORD kErrorInvalidHandle = 6;
const DWORD kErrorNoMoreFiles = 18;
const DWORD kErrorBadLength = 24;
const DWORD kErrorInvalidParameter = 87;
const DWORD kErrorMoreData = 234;

enum class Kind { kSnapshot, kProcess, kTarget, kThread };

struct Handle {
  explicit Handle(Kind k) : kind(k) {}
  Kind kind;
  DWORD pid = 0;
  DWORD access = 0;
  std::vector<Process> entries;  // a snapshot's copy of the process list
  size_t cursor = 0;
};

struct State {
  World world;
  std::map<uintptr_t, Handle> handles;
  std::map<uintptr_t, std::string> keys;  // open key -> its path
  uintptr_t next_handle = 0x100;
  uintptr_t next_key = 0x1000;
  DWORD next_pid = 5000;
  DWORD last_error = 0;
  size_t snapshot_calls = 0;
  bool startup_given = false;
  STARTUPINFOA startup_given_out = {};
};

State& S() {
  static State state;
  return state;
}

BOOL Fail(DWORD error) {
  S().last_error = error;
  return FALSE;
}

template <typename T>
T Succeed(T result) {
  S().last_error = kStaleError;
  return result;
}

void Called(const char* name) { S().world.calls.push_back(name); }

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

HANDLE NewHandle(Handle handle) {
  const uintptr_t value = S().next_handle;
  S().next_handle += 4;
  S().handles.emplace(value, std::move(handle));
  return reinterpret_cast<HANDLE>(value);
}

Handle* FindHandle(HANDLE handle) {
  auto it = S().handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == S().handles.end() ? nullptr : &it->second;
}

void FillEntry(const Process& process, LPPROCESSENTRY32 entry) {
  const DWORD size = entry->dwSize;
  std::memset(entry, 0, sizeof(*entry));
  entry->dwSize = size;
  entry->th32ProcessID = process.pid;
  entry->cntThreads = 1;
  const size_t length = std::min(process.name.size(), sizeof(entry->szExeFile) - 1);
  std::memcpy(entry->szExeFile, process.name.data(), length);
}

bool IsLeadByte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// Splits at backslashes that are characters of their own (not a double-byte
// character's trail byte), as the ANSI functions see a code-page-932 path.
std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < path.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(path[i]);
    if (IsLeadByte(byte) && i + 1 < path.size()) {
      parts.back() += path.substr(i, 2);
      ++i;
    } else if (byte == '\\' || byte == '/') {
      parts.emplace_back();
    } else {
      parts.back() += static_cast<char>(byte);
    }
  }
  return parts;
}

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The full path Windows forms: absolute, "." and ".." resolved, repeated
// separators collapsed; ".." never climbs above the drive's root.
std::string FullPath(const std::string& input, const std::string& current) {
  std::string root;
  std::string rest;
  if (input.size() >= 2 && IsDriveLetter(input[0]) && input[1] == ':') {
    root = input.substr(0, 2);
    rest = input.substr(2);
    if (rest.empty() || (rest[0] != '\\' && rest[0] != '/')) {
      rest = Lower(root) == Lower(current.substr(0, 2)) ? current.substr(2) + "\\" + rest
                                                        : "\\" + rest;
    }
  } else if (!input.empty() && (input[0] == '\\' || input[0] == '/')) {
    root = current.substr(0, 2);
    rest = input;
  } else {
    root = current.substr(0, 2);
    rest = current.substr(2) + "\\" + input;
  }
  std::vector<std::string> kept;
  for (const std::string& part : SplitPath(rest)) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    kept.push_back(part);
  }
  std::string full = root;
  for (const std::string& part : kept) full += "\\" + part;
  return kept.empty() ? full + "\\" : full;
}

const File* FindFile(const std::string& path) {
  for (const auto& [name, file] : S().world.files) {
    if (Lower(name) == Lower(path)) return &file;
  }
  return nullptr;
}

bool HasExtension(const std::string& path) {
  const size_t slash = path.find_last_of('\\');
  const size_t dot = path.find_last_of('.');
  return dot != std::string::npos && (slash == std::string::npos || dot > slash);
}

// Which file a command line without an application name starts: a quoted
// first token as it stands, otherwise each longer run up to a blank, ".exe"
// added when it has no extension.
std::string FileFromCommandLine(const std::string& command_line) {
  if (!command_line.empty() && command_line[0] == '"') {
    const size_t end = command_line.find('"', 1);
    return command_line.substr(1, end == std::string::npos ? std::string::npos : end - 1);
  }
  size_t end = 0;
  while (true) {
    end = command_line.find(' ', end);
    std::string candidate = command_line.substr(0, end);
    if (!HasExtension(candidate)) candidate += ".exe";
    if (FindFile(candidate) != nullptr || end == std::string::npos) return candidate;
    ++end;
  }
}

bool KeyExists(const std::string& path) {
  const std::string lower = Lower(path);
  for (const auto& [key, values] : S().world.registry) {
    const std::string listed = Lower(key);
    if (listed == lower ||
        (listed.size() > lower.size() && listed.compare(0, lower.size(), lower) == 0 &&
         listed[lower.size()] == '\\')) {
      return true;
    }
  }
  return false;
}

const std::map<std::string, Value>* KeyValues(const std::string& path) {
  for (const auto& [key, values] : S().world.registry) {
    if (Lower(key) == Lower(path)) return &values;
  }
  return nullptr;
}

std::string Basename(const std::string& path) {
  const size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void AppendNumber(std::string& out, int value) {
  // INT_MIN has no positive twin; go through 64 bits.
  long long wide = value;
  if (wide < 0) {
    out += '-';
    wide = -wide;
  }
  out += std::to_string(wide);
}

}  // namespace

std::string ResolveFullPath(const std::string& path, const std::string& current) {
  return FullPath(path, current);
}

Value Sz(const std::string& text) { return Value{REG_SZ, text + std::string(1, '\0')}; }

std::vector<Process> Named(const std::string& name, size_t count) {
  std::vector<Process> processes;
  for (size_t i = 0; i < count; ++i) {
    Process process;
    process.name = name;
    process.pid = static_cast<DWORD>(100 + i);
    processes.push_back(process);
  }
  return processes;
}

World& Reset() {
  S() = State{};
  return S().world;
}

World& Current() { return S().world; }

std::vector<std::string> World::BoxTexts() const {
  std::vector<std::string> texts;
  for (const Box& box : boxes) texts.push_back(box.text);
  return texts;
}

std::vector<DWORD_PTR> World::MasksSet() const {
  std::vector<DWORD_PTR> masks;
  for (const AffinitySet& set : affinity_sets) {
    if (set.succeeded) masks.push_back(set.mask);
  }
  return masks;
}

size_t World::CallCount(const std::string& name) const {
  return static_cast<size_t>(std::count(calls.begin(), calls.end(), name));
}

std::vector<std::string> World::Leaks() const {
  std::vector<std::string> leaks;
  for (const auto& [value, handle] : S().handles) {
    if (handle.kind == Kind::kSnapshot) leaks.push_back("snapshot");
    if (handle.kind == Kind::kProcess) leaks.push_back("process " + std::to_string(handle.pid));
  }
  for (const auto& [value, path] : S().keys) leaks.push_back("key " + path);
  return leaks;
}

Process* World::FindProcess(DWORD pid) {
  for (Process& process : processes) {
    if (process.pid == pid) return &process;
  }
  return nullptr;
}

}  // namespace fake

using fake::Kind;
using fake::S;

extern "C" {

HANDLE WINAPI GetCurrentProcess(void) {
  fake::Called("GetCurrentProcess");
  return INVALID_HANDLE_VALUE;  // the pseudo handle for "this process"
}

BOOL WINAPI GetProcessAffinityMask(HANDLE process, PDWORD_PTR process_mask,
                                   PDWORD_PTR system_mask) {
  fake::Called("GetProcessAffinityMask");
  fake::World& world = S().world;
  if (process != INVALID_HANDLE_VALUE) world.misuse.push_back("affinity query of another process");
  if (world.affinity_query_error != 0) return fake::Fail(world.affinity_query_error);
  *process_mask = world.process_mask;
  *system_mask = world.system_mask;
  return fake::Succeed(TRUE);
}

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD pid) {
  fake::Called("CreateToolhelp32Snapshot");
  fake::World& world = S().world;
  const size_t call = S().snapshot_calls++;
  if (flags != TH32CS_SNAPPROCESS || pid != 0)
    world.misuse.push_back("snapshot of more than processes");
  if (call < world.snapshot_errors.size() && world.snapshot_errors[call] != 0) {
    fake::Fail(world.snapshot_errors[call]);
    return INVALID_HANDLE_VALUE;
  }
  fake::Handle handle(Kind::kSnapshot);
  handle.entries = world.processes;
  return fake::Succeed(fake::NewHandle(handle));
}

static BOOL WalkSnapshot(HANDLE snapshot, LPPROCESSENTRY32 entry, bool first) {
  fake::Handle* handle = fake::FindHandle(snapshot);
  if (handle == nullptr || handle->kind != Kind::kSnapshot)
    return fake::Fail(fake::kErrorInvalidHandle);
  if (entry->dwSize != sizeof(PROCESSENTRY32)) return fake::Fail(fake::kErrorBadLength);
  handle->cursor = first ? 0 : handle->cursor + 1;
  if (handle->cursor >= handle->entries.size()) return fake::Fail(fake::kErrorNoMoreFiles);
  fake::FillEntry(handle->entries[handle->cursor], entry);
  return fake::Succeed(TRUE);
}

BOOL WINAPI Process32First(HANDLE snapshot, LPPROCESSENTRY32 entry) {
  fake::Called("Process32First");
  return WalkSnapshot(snapshot, entry, true);
}

BOOL WINAPI Process32Next(HANDLE snapshot, LPPROCESSENTRY32 entry) {
  fake::Called("Process32Next");
  return WalkSnapshot(snapshot, entry, false);
}

HANDLE WINAPI OpenProcess(DWORD access, BOOL inherit, DWORD pid) {
  fake::Called("OpenProcess");
  fake::World& world = S().world;
  if (access != PROCESS_SET_INFORMATION)
    world.misuse.push_back("asked for more than PROCESS_SET_INFORMATION");
  if (inherit) world.misuse.push_back("inheritable process handle");
  fake::Process* process = world.FindProcess(pid);
  if (process == nullptr) {
    fake::Fail(fake::kErrorInvalidParameter);
    return nullptr;
  }
  if (process->open_error != 0) {
    fake::Fail(process->open_error);
    return process->open_gives_invalid ? INVALID_HANDLE_VALUE : nullptr;
  }
  fake::Handle handle(Kind::kProcess);
  handle.pid = pid;
  handle.access = access;
  return fake::Succeed(fake::NewHandle(handle));
}

BOOL WINAPI SetProcessAffinityMask(HANDLE process, DWORD_PTR mask) {
  fake::Called("SetProcessAffinityMask");
  fake::World& world = S().world;
  fake::Handle* handle = fake::FindHandle(process);
  if (handle == nullptr || (handle->kind != Kind::kProcess && handle->kind != Kind::kTarget)) {
    world.misuse.push_back("affinity set on a handle that is no process");
    return fake::Fail(fake::kErrorInvalidHandle);
  }
  fake::Process* target = world.FindProcess(handle->pid);
  DWORD error = 0;
  if ((handle->access & PROCESS_SET_INFORMATION) == 0) {
    error = fake::kErrorAccessDenied;
  } else if (mask == 0 || (mask & ~world.system_mask) != 0) {
    error = fake::kErrorInvalidParameter;  // as Windows: a processor the system lacks
  } else if (handle->kind == Kind::kTarget && world.target_pin_error != 0) {
    error = world.target_pin_error;
  } else if (target != nullptr && target->set_error != 0) {
    error = target->set_error;
  }
  world.affinity_sets.push_back({handle->pid, mask, error == 0});
  if (error != 0) return fake::Fail(error);
  if (target != nullptr) target->mask = mask;
  return fake::Succeed(TRUE);
}

BOOL WINAPI CloseHandle(HANDLE object) {
  fake::Called("CloseHandle");
  if (S().handles.erase(reinterpret_cast<uintptr_t>(object)) == 0) {
    S().world.misuse.push_back("closed a handle that was not open");
    return fake::Fail(fake::kErrorInvalidHandle);
  }
  return fake::Succeed(TRUE);
}

DWORD WINAPI GetLastError(void) { return S().last_error; }

DWORD WINAPI GetFullPathNameA(LPCSTR name, DWORD length, LPSTR buffer, LPSTR* file_part) {
  fake::Called("GetFullPathNameA");
  fake::World& world = S().world;
  world.full_path_inputs.push_back(name);
  if (file_part != nullptr) world.misuse.push_back("asked for the file part");
  if (world.full_path_error != 0) return static_cast<DWORD>(fake::Fail(world.full_path_error));
  const std::string full = fake::FullPath(name, world.current_directory);
  if (full.size() + 1 > length) return fake::Succeed(static_cast<DWORD>(full.size() + 1));
  std::memcpy(buffer, full.c_str(), full.size() + 1);
  return fake::Succeed(static_cast<DWORD>(full.size()));
}

void WINAPI GetStartupInfoA(LPSTARTUPINFOA startup) {
  fake::Called("GetStartupInfoA");
  if (startup->cb != sizeof(STARTUPINFOA))
    S().world.misuse.push_back("start-up record of the wrong size");
  static char desktop[] = "WinSta0\\Default";
  startup->lpDesktop = desktop;
  startup->dwFlags = 0x1;  // STARTF_USESHOWWINDOW
  startup->wShowWindow = 1;
  S().startup_given = true;
  S().startup_given_out = *startup;
}

BOOL WINAPI CreateProcessA(LPCSTR application_name, LPSTR command_line,
                           LPSECURITY_ATTRIBUTES process_attributes,
                           LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles,
                           DWORD creation_flags, LPVOID environment, LPCSTR current_directory,
                           LPSTARTUPINFOA startup, LPPROCESS_INFORMATION information) {
  fake::Called("CreateProcessA");
  fake::World& world = S().world;
  fake::Start start{};
  start.has_application_name = application_name != nullptr;
  start.application_name = application_name != nullptr ? application_name : "";
  start.command_line = command_line != nullptr ? command_line : "";
  start.default_security = process_attributes == nullptr && thread_attributes == nullptr;
  start.inherit_handles = inherit_handles;
  start.creation_flags = creation_flags;
  start.default_environment_and_directory = environment == nullptr && current_directory == nullptr;
  start.startup_info_unchanged =
      S().startup_given && std::memcmp(startup, &S().startup_given_out, sizeof(STARTUPINFOA)) == 0;

  const std::string file = application_name != nullptr
                               ? std::string(application_name)
                               : fake::FileFromCommandLine(start.command_line);
  const fake::File* found = fake::FindFile(file);
  const DWORD error = found == nullptr ? fake::kErrorFileNotFound : found->start_error;
  if (error != 0) {
    world.starts.push_back(start);
    return fake::Fail(error);
  }
  fake::Process process;
  process.name = fake::Basename(file);
  process.pid = S().next_pid++;
  world.processes.push_back(process);
  start.started_file = file;
  start.pid = process.pid;
  world.starts.push_back(start);

  fake::Handle target(Kind::kTarget);
  target.pid = process.pid;
  target.access = 0x1FFFFF;  // PROCESS_ALL_ACCESS
  fake::Handle thread(Kind::kThread);
  thread.pid = process.pid;
  information->hProcess = fake::NewHandle(target);
  information->hThread = fake::NewHandle(thread);
  information->dwProcessId = process.pid;
  information->dwThreadId = process.pid + 1;
  return fake::Succeed(TRUE);
}

DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  fake::Called("WaitForSingleObject");
  fake::World& world = S().world;
  fake::Handle* handle = fake::FindHandle(object);
  if (handle == nullptr || handle->kind != Kind::kTarget) {
    world.misuse.push_back("waited on something other than the started target");
    return fake::Succeed(0xFFFFFFFFu);  // WAIT_FAILED
  }
  if (milliseconds != INFINITE) world.misuse.push_back("wait with a time limit");
  world.waited_pids.push_back(handle->pid);
  // The target runs until it exits; then it is gone from the process list.
  const DWORD pid = handle->pid;
  world.processes.erase(std::remove_if(world.processes.begin(), world.processes.end(),
                                       [pid](const fake::Process& p) { return p.pid == pid; }),
                        world.processes.end());
  return fake::Succeed(0u);  // WAIT_OBJECT_0
}

void WINAPI ExitProcess(UINT) {
  fake::Called("ExitProcess");
  ++S().world.exit_calls;
}

LSTATUS WINAPI RegOpenKeyExA(HKEY parent, LPCSTR sub_key, DWORD options, REGSAM access,
                             PHKEY result) {
  fake::Called("RegOpenKeyExA");
  fake::World& world = S().world;
  if (options != 0 || access != KEY_READ)
    world.misuse.push_back("key opened for more than reading");
  std::string path;
  if (parent == HKEY_LOCAL_MACHINE) {
    path = sub_key;
  } else {
    auto it = S().keys.find(reinterpret_cast<uintptr_t>(parent));
    if (it == S().keys.end()) return fake::kErrorInvalidHandle;
    path = it->second + "\\" + sub_key;
  }
  if (!fake::KeyExists(path)) return fake::kErrorFileNotFound;
  const uintptr_t value = S().next_key;
  S().next_key += 0x10;
  S().keys.emplace(value, path);
  world.opened_keys.push_back(path);
  *result = reinterpret_cast<HKEY>(value);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD size) {
  fake::Called("RegQueryValueExA");
  fake::World& world = S().world;
  if (reserved != nullptr) world.misuse.push_back("reserved pointer passed");
  auto it = S().keys.find(reinterpret_cast<uintptr_t>(key));
  if (it == S().keys.end()) return fake::kErrorInvalidHandle;
  const auto* values = fake::KeyValues(it->second);
  const fake::Value* value = nullptr;
  if (values != nullptr) {
    for (const auto& [value_name, stored] : *values) {
      if (fake::Lower(value_name) == fake::Lower(name)) value = &stored;
    }
  }
  if (value == nullptr) return fake::kErrorFileNotFound;
  const DWORD stored_size = static_cast<DWORD>(value->bytes.size());
  if (type != nullptr) *type = value->type;
  if (data != nullptr && *size < stored_size) {
    *size = stored_size;
    return fake::kErrorMoreData;
  }
  if (data != nullptr) std::memcpy(data, value->bytes.data(), stored_size);
  *size = stored_size;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
  fake::Called("RegCloseKey");
  if (S().keys.erase(reinterpret_cast<uintptr_t>(key)) == 0) {
    S().world.misuse.push_back("closed a key that was not open");
    return fake::kErrorInvalidHandle;
  }
  return ERROR_SUCCESS;
}

int WINAPI wvsprintfA(LPSTR out, LPCSTR format, va_list args) {
  fake::Called("wvsprintfA");
  // Only what the tool's texts use: %d, %s and %%.
  std::string text;
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%' || p[1] == '\0') {
      text += *p;
      continue;
    }
    ++p;
    if (*p == 'd') {
      fake::AppendNumber(text, va_arg(args, int));
    } else if (*p == 's') {
      text += va_arg(args, const char*);
    } else {
      text += *p;
    }
  }
  // USER32's limit: 1,024 bytes with the terminator.
  const size_t length = std::min<size_t>(text.size(), 1023);
  std::memcpy(out, text.data(), length);
  out[length] = '\0';
  return static_cast<int>(length);
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
  fake::Called("MessageBoxA");
  fake::World& world = S().world;
  world.boxes.push_back({text, caption, owner, style});
  if (world.on_box) world.on_box(world.boxes.size() - 1);
  return 1;  // IDOK
}

}  // extern "C"
