// The tool's texts, written here in UTF-8 and converted to code page 932 when
// the tests run, so a wrong byte in the tool cannot hide behind a copied one.
#pragma once

#include <string>
#include <vector>

#include "fake/fake_win32.h"

namespace texts {

std::string Cp932(const std::string& utf8);

// Each formatted as the tool formats it; `code` is shown as a signed decimal.
std::string Caption();
std::string ErrorOccurred(DWORD code);
std::string NotNeeded();
std::string CannotOpen(DWORD code);
std::string CannotSet(DWORD code);
std::string Pinned();
std::string Restored();
std::string PathFailed(DWORD code, const std::string& path);
std::string StartFailed(DWORD code, const std::string& path);
std::string PinFailed(DWORD code);
std::string NotFound();

// Every text above, with `code` and `path` where the tool puts its arguments.
std::vector<std::string> Every(DWORD code, const std::string& path);

}  // namespace texts
