// Whole runs, from the entry point to the end of the process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "driver/driver.h"
#include "unit/texts.h"
#include "unit/tool_test.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ToolRun : public ToolTest {
 protected:
  void TearDown() override {
    // The process ends right after the last box or the target's exit.
    EXPECT_EQ(world->exit_calls, 1);
    EXPECT_EQ(world->calls.back(), "ExitProcess");
    ToolTest::TearDown();
  }
};

TEST_F(ToolRun, TargetAlreadyRunningOnAFourProcessorPc) {
  world->system_mask = 0xF;
  world->processes = {{"System", 4}, {"Tovu.exe", 40}, {"explorer.exe", 41}, {"Tovu.exe", 42}};
  Install(0, fake::Sz("C:\\Fenwolk\\main.exe"));
  AddFile("C:\\Fenwolk\\Tovu.exe");
  std::vector<DWORD_PTR> at_pinned_box;
  world->on_box = [&](size_t index) {
    if (index == 0) at_pinned_box = {world->FindProcess(40)->mask, world->FindProcess(42)->mask};
  };

  ToolEntry();

  EXPECT_THAT(at_pinned_box, ElementsAre(0x1u, 0x2u));
  EXPECT_EQ(world->FindProcess(40)->mask, 0xFu);
  EXPECT_EQ(world->FindProcess(42)->mask, 0xFu);
  EXPECT_THAT(world->BoxTexts(), ElementsAre(texts::Pinned(), texts::Restored()));
  EXPECT_EQ(world->CallCount("CreateToolhelp32Snapshot"), 2u);
  EXPECT_EQ(world->CallCount("RegOpenKeyExA"), 0u) << "the launcher ran";
}

TEST_F(ToolRun, TargetNotRunningIsStartedFromTheFirstInstalledProduct) {
  world->processes = {{"explorer.exe", 41}};
  Install(1, fake::Sz("C:\\Program Files\\Brisdane\\main.exe,0"));
  Install(2, fake::Sz("C:\\Program Files\\Fenwolk\\main.exe"));
  AddFile("C:\\Program Files\\Brisdane\\Tovu.exe");
  AddFile("C:\\Program Files\\Fenwolk\\Tovu.exe");

  ToolEntry();

  ASSERT_THAT(world->starts, ::testing::SizeIs(1));
  EXPECT_EQ(world->starts[0].started_file, "C:\\Program Files\\Brisdane\\Tovu.exe");
  EXPECT_THAT(world->MasksSet(), ElementsAre(0x1u));
  EXPECT_THAT(world->waited_pids, ElementsAre(world->starts[0].pid));
  EXPECT_THAT(world->boxes, IsEmpty());
  EXPECT_EQ(world->CallCount("CreateToolhelp32Snapshot"), 1u);
}

TEST_F(ToolRun, FinishedStabiliserNeverRunsTheLauncher) {
  struct {
    const char* name;
    std::function<void(fake::World&)> setup;
  } cases[] = {
      {"single processor", [](fake::World& w) { w.system_mask = 1; }},
      {"affinity query failed", [](fake::World& w) { w.affinity_query_error = 5; }},
      {"system mask 0", [](fake::World& w) { w.system_mask = w.process_mask = 0; }},
      {"both passes done", [](fake::World& w) { w.processes = fake::Named("Tovu.exe", 1); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    world = &fake::Reset();
    c.setup(*world);
    Install(0, fake::Sz("C:\\Fenwolk\\main.exe"));
    AddFile("C:\\Fenwolk\\Tovu.exe");
    ToolEntry();
    EXPECT_EQ(world->CallCount("RegOpenKeyExA"), 0u);
    EXPECT_THAT(world->starts, IsEmpty());
    EXPECT_EQ(world->exit_calls, 1);
  }
}

TEST_F(ToolRun, UnfinishedStabiliserRunsTheLauncherOnce) {
  struct {
    const char* name;
    std::vector<DWORD> snapshot_errors;
    std::vector<std::string> boxes;
  } cases[] = {
      {"no target running", {}, {texts::NotFound()}},
      {"process list unreadable", {24}, {texts::ErrorOccurred(24), texts::NotFound()}},
      {"process list unreadable at restore",
       {0, 24},
       {texts::Pinned(), texts::ErrorOccurred(24), texts::NotFound()}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    world = &fake::Reset();
    world->snapshot_errors = c.snapshot_errors;
    if (c.snapshot_errors.size() > 1) world->processes = fake::Named("Tovu.exe", 1);
    ToolEntry();
    EXPECT_EQ(world->BoxTexts(), c.boxes);
    // The root open fails (nothing installed), then each code is tried once.
    EXPECT_EQ(world->CallCount("RegOpenKeyExA"), 8u);
    EXPECT_EQ(world->exit_calls, 1);
  }
}

TEST_F(ToolRun, EndsOnlyAfterTheStartedTargetHasExited) {
  Install(0, fake::Sz("C:\\Fenwolk\\main.exe"));
  AddFile("C:\\Fenwolk\\Tovu.exe");
  ToolEntry();
  const auto wait = std::find(world->calls.begin(), world->calls.end(), "WaitForSingleObject");
  ASSERT_NE(wait, world->calls.end());
  EXPECT_EQ(std::find(world->calls.begin(), wait, "ExitProcess"), wait);
}

}  // namespace
