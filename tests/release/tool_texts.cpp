// Prints every text the tool can show, one a line as hex bytes (code page
// 932), with the error code 2147483647 and the path "\x01" as arguments, for
// the check of the readme a user receives.
#include <cstdio>
#include <string>

#include "unit/texts.h"

int main() {
  for (const std::string& text : texts::Every(0x7FFFFFFF, "\x01")) {
    for (const char byte : text) std::printf("%02x", static_cast<unsigned char>(byte));
    std::printf("\n");
  }
  return 0;
}
