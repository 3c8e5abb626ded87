// The tool's texts, written here in UTF-8 and converted to code page 932 when
// the tests run, so a wrong byte in the tool cannot hide behind a copied one.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "fake/fake_win32.h"
#include "fake/products.h"

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

}  // namespace texts

// Shared by the tests of whole runs: a fresh fake machine per test, and at the
// end no handle or key left open and no call made with wrong arguments.
class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override { world = &fake::Reset(); }
  void TearDown() override;

  // Registers `icon` as the "displayicon" of product code `index` (0 to 6).
  void Install(size_t index, const fake::Value& icon);
  void AddFile(const std::string& path, DWORD start_error = 0);

  fake::World* world = nullptr;
};

using fake::kProductCodes;
using fake::kUninstallRoot;
