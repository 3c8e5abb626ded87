#include "unit/texts.h"

#include <iconv.h>

#include <stdexcept>

namespace texts {

std::string Cp932(const std::string& utf8) {
  iconv_t converter = iconv_open("CP932", "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("no CP932 in iconv");
  std::string in = utf8;
  std::string out(in.size() * 2 + 1, '\0');
  char* in_ptr = in.data();
  char* out_ptr = out.data();
  size_t in_left = in.size();
  size_t out_left = out.size();
  const size_t result = iconv(converter, &in_ptr, &in_left, &out_ptr, &out_left);
  iconv_close(converter);
  if (result == static_cast<size_t>(-1)) throw std::runtime_error("not CP932: " + utf8);
  out.resize(out.size() - out_left);
  return out;
}

namespace {
std::string Code(DWORD code) { return std::to_string(static_cast<int32_t>(code)); }
}  // namespace

std::string Caption() { return Cp932("安定化ツール"); }
std::string ErrorOccurred(DWORD code) {
  return Cp932("エラーが発生しました：" + Code(code) + "\n");
}
std::string NotNeeded() { return Cp932("このPCにはこのプログラムは必要ありません\n"); }
std::string CannotOpen(DWORD code) { return Cp932("開けません(" + Code(code) + ")\n"); }
std::string CannotSet(DWORD code) { return Cp932("設定できません(" + Code(code) + ")\n"); }
std::string Pinned() { return Cp932("設定しました。\nOKを押すと元に戻します"); }
std::string Restored() { return Cp932("元に戻しました。\nOKを押すと終了します。"); }
// The path is already in code page 932: only the fixed text is converted.
std::string PathFailed(DWORD code, const std::string& path) {
  return Cp932("失敗しました。" + Code(code) + "\n") + path;
}
std::string StartFailed(DWORD code, const std::string& path) {
  return Cp932("実行に失敗しました。" + Code(code) + "\n") + path;
}
std::string PinFailed(DWORD code) { return Cp932("安定化に失敗しました。 " + Code(code)); }
std::string NotFound() { return Cp932("Fenwolkも\nBrisdaneも見つかりませんでした"); }

std::vector<std::string> Every(DWORD code, const std::string& path) {
  return {Caption(),
          ErrorOccurred(code),
          NotNeeded(),
          CannotOpen(code),
          CannotSet(code),
          Pinned(),
          Restored(),
          PathFailed(code, path),
          StartFailed(code, path),
          PinFailed(code),
          NotFound()};
}

}  // namespace texts
