#include "driver/driver.h"

namespace {

// 安定化ツール ("stabilisation tool"), the caption of every box.
const char kCaption[] = "\x88\xC0\x92\xE8\x89\xBB\x83\x63\x81\x5B\x83\x8B";

// wvsprintfA never writes more than 1,024 bytes, terminator included.
const int kMessageBufferSize = 1024;

}  // namespace

int ShowToolMessage(LPCSTR format, ...) {
  char text[kMessageBufferSize];
  va_list args;
  va_start(args, format);
  wvsprintfA(text, format, args);
  va_end(args);
  // A box that cannot be shown is passed over: the caller goes on as after OK.
  return MessageBoxA(nullptr, text, kCaption, MB_OK);
}
