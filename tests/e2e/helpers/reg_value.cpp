// Writes or removes registry values below HKEY_LOCAL_MACHINE with exact bytes,
// for the end-to-end tests only (`wine reg add` always adds a terminator).
//   reg_value OPERATION [OPERATION ...], each one of
//     delete KEY [KEY ...]      (keys without subkeys, from both views)
//     view 32|64                (where the sets after it write, on 64-bit Windows)
//     set KEY NAME TYPE HEXBYTES
// A program start costs seconds under emulation, so a scenario's setup goes
// in one run.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

bool IsOperation(const char* word) {
  return std::strcmp(word, "delete") == 0 || std::strcmp(word, "view") == 0 ||
         std::strcmp(word, "set") == 0;
}

bool Delete(const char* name) {
  // From both registry views on 64-bit Windows; 32-bit Windows ignores the flags.
  bool ok = true;
  for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    const LSTATUS status = RegDeleteKeyExA(HKEY_LOCAL_MACHINE, name, view, 0);
    ok = ok && (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND);
  }
  return ok;
}

bool Set(char** args, REGSAM view) {
  std::vector<BYTE> bytes;
  for (const char* hex = args[3]; hex[0] != '\0' && hex[1] != '\0'; hex += 2) {
    const char pair[3] = {hex[0], hex[1], '\0'};
    bytes.push_back(static_cast<BYTE>(std::strtoul(pair, nullptr, 16)));
  }
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, args[0], 0, nullptr, 0, KEY_WRITE | view, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    std::fprintf(stderr, "cannot create %s\n", args[0]);
    return false;
  }
  const LSTATUS status =
      RegSetValueExA(key, args[1], 0, std::strtoul(args[2], nullptr, 10),
                     bytes.empty() ? nullptr : bytes.data(), static_cast<DWORD>(bytes.size()));
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
  int failures = 0;
  REGSAM view = 0;  // the program's own
  int i = 1;
  while (i < argc) {
    if (std::strcmp(argv[i], "delete") == 0) {
      for (++i; i < argc && !IsOperation(argv[i]); ++i) failures += Delete(argv[i]) ? 0 : 1;
    } else if (std::strcmp(argv[i], "view") == 0 && i + 1 < argc) {
      view = std::strcmp(argv[i + 1], "64") == 0 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
      i += 2;
    } else if (std::strcmp(argv[i], "set") == 0 && i + 4 < argc) {
      failures += Set(argv + i + 1, view) ? 0 : 1;
      i += 5;
    } else {
      std::fprintf(stderr,
                   "usage: reg_value delete KEY... | view 32|64 | set KEY NAME TYPE HEX [...]\n");
      return 2;
    }
  }
  return failures == 0 ? 0 : 1;
}
