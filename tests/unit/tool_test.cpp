#include "unit/tool_test.h"

#include <gmock/gmock.h>

void ToolTest::TearDown() {
  EXPECT_THAT(world->misuse, ::testing::IsEmpty());
  EXPECT_THAT(world->Leaks(), ::testing::IsEmpty());
}

void ToolTest::Install(size_t index, const fake::Value& icon) {
  fake::InstallProduct(*world, index, icon);
}

void ToolTest::AddFile(const std::string& path, DWORD start_error) {
  world->files[path] = fake::File{start_error};
}
