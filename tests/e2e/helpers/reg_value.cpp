// Writes or removes registry values below HKEY_LOCAL_MACHINE with exact bytes,
// for the end-to-end tests only (`wine reg add` always adds a terminator).
//   reg_value set KEY NAME TYPE HEXBYTES
//   reg_value delete KEY [KEY ...]   (keys without subkeys, from both views)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "delete") == 0) {
    // From both registry views on 64-bit Windows; 32-bit Windows ignores the flags.
    int failures = 0;
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
      for (int i = 2; i < argc; ++i) {
        const LSTATUS status = RegDeleteKeyExA(HKEY_LOCAL_MACHINE, argv[i], view, 0);
        failures += status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? 0 : 1;
      }
    }
    return failures == 0 ? 0 : 1;
  }
  if (argc == 6 && std::strcmp(argv[1], "set") == 0) {
    std::vector<BYTE> bytes;
    for (const char* hex = argv[5]; hex[0] != '\0' && hex[1] != '\0'; hex += 2) {
      const char pair[3] = {hex[0], hex[1], '\0'};
      bytes.push_back(static_cast<BYTE>(std::strtoul(pair, nullptr, 16)));
    }
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, argv[2], 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
      std::fprintf(stderr, "cannot create %s\n", argv[2]);
      return 1;
    }
    const LSTATUS status =
        RegSetValueExA(key, argv[3], 0, std::strtoul(argv[4], nullptr, 10),
                       bytes.empty() ? nullptr : bytes.data(), static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? 0 : 1;
  }
  std::fprintf(stderr, "usage: reg_value set KEY NAME TYPE HEX | delete KEY...\n");
  return 2;
}
