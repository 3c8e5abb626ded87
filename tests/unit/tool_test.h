// The fixture of the tests that run the tool against the fake machine.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "fake/fake_win32.h"
#include "fake/products.h"

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
