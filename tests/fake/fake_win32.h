// A scriptable stand-in for the part of Win32 the tool calls. A test sets up a
// machine (processors, processes, registry, files) as plain data, runs the
// tool, and reads back every box, affinity change and process start.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace fake {

struct Process {
  std::string name;  // bytes of the executable's file name
  DWORD pid = 0;
  DWORD open_error = 0;             // OpenProcess fails with this code
  bool open_gives_invalid = false;  // ... returning INVALID_HANDLE_VALUE, not NULL
  DWORD set_error = 0;              // SetProcessAffinityMask fails with this code
  DWORD_PTR mask = 0;               // its affinity; 0 until the tool sets one
};

struct Value {
  DWORD type = REG_SZ;
  std::string bytes;  // stored exactly: add the terminator yourself
};

// Builds a REG_SZ value that holds `text` and its terminator.
Value Sz(const std::string& text);

struct File {
  DWORD start_error = 0;  // CreateProcessA fails with this code
};

struct Box {
  std::string text;
  std::string caption;
  HWND owner;
  UINT style;
};

struct AffinitySet {
  DWORD pid;
  DWORD_PTR mask;
  bool succeeded;
};

struct Start {
  bool has_application_name;
  std::string application_name;
  std::string command_line;
  bool default_security;  // no process or thread attributes
  BOOL inherit_handles;
  DWORD creation_flags;
  bool default_environment_and_directory;
  bool startup_info_unchanged;  // exactly what GetStartupInfoA gave
  std::string started_file;     // empty when the call failed
  DWORD pid;
};

struct World {
  // The machine.
  DWORD_PTR system_mask = 0x3;
  DWORD_PTR process_mask = 0x3;
  DWORD affinity_query_error = 0;
  std::vector<Process> processes;
  // Per CreateToolhelp32Snapshot call, in order: non-zero fails that call.
  std::vector<DWORD> snapshot_errors;
  // Keys by path below HKEY_LOCAL_MACHINE; parents of a listed key exist too.
  std::map<std::string, std::map<std::string, Value>> registry;
  // Existing files by full path.
  std::map<std::string, File> files;
  std::string current_directory = "C:\\Users\\tovu";
  DWORD full_path_error = 0;   // GetFullPathNameA fails with this code
  DWORD target_pin_error = 0;  // pinning a started process fails with this code
  // Runs while box number `index` (from 0) is up, before the user's OK.
  std::function<void(size_t index)> on_box;

  // What the tool did.
  std::vector<std::string> calls;  // every platform call, by name, in order
  std::vector<Box> boxes;
  std::vector<AffinitySet> affinity_sets;
  std::vector<Start> starts;
  std::vector<std::string> full_path_inputs;
  std::vector<std::string> opened_keys;  // paths, in order
  std::vector<DWORD> waited_pids;
  std::vector<std::string> misuse;  // handles closed twice, bad arguments, ...
  int exit_calls = 0;

  std::vector<std::string> BoxTexts() const;
  // Masks the tool set successfully, in order.
  std::vector<DWORD_PTR> MasksSet() const;
  size_t CallCount(const std::string& name) const;
  // Handles and keys still open, besides the started target's pair.
  std::vector<std::string> Leaks() const;
  Process* FindProcess(DWORD pid);
};

// A new machine with two processors and nothing else; returns it.
World& Reset();
World& Current();

// The full path GetFullPathNameA forms from `path` with `current` as the
// current directory.
std::string ResolveFullPath(const std::string& path, const std::string& current);

// A machine of `count` processes named `name`, pids 100, 101, ...
std::vector<Process> Named(const std::string& name, size_t count);

}  // namespace fake
