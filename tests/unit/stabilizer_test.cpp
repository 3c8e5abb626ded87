#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "stabilizer/stabilizer.h"
#include "unit/texts.h"
#include "unit/tool_test.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

class Stabilizer : public ToolTest {
 protected:
  // Masks of the processes with these pids, as they stand now.
  std::vector<DWORD_PTR> MasksOf(std::initializer_list<DWORD> pids) {
    std::vector<DWORD_PTR> masks;
    for (DWORD pid : pids) masks.push_back(world->FindProcess(pid)->mask);
    return masks;
  }
};

struct PinCase {
  DWORD_PTR system_mask;
  size_t processes;
  std::vector<DWORD_PTR> pin_masks;  // asked for, in order, whether Windows takes them or not
};
void PrintTo(const PinCase& c, std::ostream* os) {
  *os << c.processes << " on mask 0x" << std::hex << c.system_mask;
}

class PinSequence : public Stabilizer, public ::testing::WithParamInterface<PinCase> {};

std::vector<DWORD_PTR> MasksAsked(const fake::World& world) {
  std::vector<DWORD_PTR> masks;
  for (const fake::AffinitySet& set : world.affinity_sets) masks.push_back(set.mask);
  return masks;
}

TEST_P(PinSequence, PinsEachRunningInstanceToItsOwnProcessorThenRestoresTheSystemMask) {
  const PinCase& c = GetParam();
  world->system_mask = c.system_mask;
  world->processes = fake::Named("Tovu.exe", c.processes);
  std::vector<DWORD_PTR> at_pinned_box;
  world->on_box = [&](size_t index) {
    if (world->boxes[index].text == texts::Pinned()) at_pinned_box = MasksAsked(*world);
  };

  EXPECT_TRUE(StabilizeRunningInstances());

  EXPECT_EQ(at_pinned_box, c.pin_masks);
  std::vector<DWORD_PTR> expected = c.pin_masks;
  expected.insert(expected.end(), c.processes, c.system_mask);
  EXPECT_EQ(MasksAsked(*world), expected);
  // Windows refuses a processor the system lacks.
  std::vector<std::string> boxes;
  for (DWORD_PTR mask : c.pin_masks) {
    if ((mask & ~c.system_mask) != 0) boxes.push_back(texts::CannotSet(87));
  }
  boxes.push_back(texts::Pinned());
  boxes.push_back(texts::Restored());
  EXPECT_EQ(world->BoxTexts(), boxes);
}

std::vector<DWORD_PTR> Powers(int count) {
  std::vector<DWORD_PTR> masks;
  for (int i = 0; i < count; ++i) masks.push_back(static_cast<DWORD_PTR>(1u << i));
  return masks;
}

std::vector<DWORD_PTR> Then(std::vector<DWORD_PTR> masks, DWORD_PTR next) {
  masks.push_back(next);
  return masks;
}

INSTANTIATE_TEST_SUITE_P(
    SystemMasks, PinSequence,
    ::testing::Values(PinCase{0x3, 2, {0x1, 0x2}}, PinCase{0x3, 3, {0x1, 0x2, 0x1}},
                      PinCase{0xF, 2, {0x1, 0x2}}, PinCase{0xFF, 9, Then(Powers(8), 0x1)},
                      PinCase{0xFFFFFFFF, 33, Then(Powers(32), 0x1)},
                      // processors 0, 1 and 3: processor 3 is never used
                      PinCase{0xB, 5, {0x1, 0x2, 0x1, 0x2, 0x1}},
                      PinCase{0x80000003, 4, {0x1, 0x2, 0x1, 0x2}},
                      // without processor 0 the first pin is refused, and
                      // doubling still reaches processors 1 and 2
                      PinCase{0x6, 4, {0x1, 0x2, 0x4, 0x1}}, PinCase{0x2, 2, {0x1, 0x2}}));

TEST_F(Stabilizer, PassesOverProcessesWithOtherNames) {
  world->system_mask = 0xF;
  world->processes = {{"explorer.exe", 4}, {"Tovu.exe", 8}, {"Tovu.exe.bak", 9}, {"TOVU.EXE", 12}};
  EXPECT_TRUE(StabilizeRunningInstances());
  EXPECT_THAT(world->affinity_sets, ::testing::SizeIs(4));
  EXPECT_EQ(world->affinity_sets[0].pid, 8u);
  EXPECT_EQ(world->affinity_sets[1].pid, 12u);
  EXPECT_EQ(MasksOf({4, 8, 9, 12}), (std::vector<DWORD_PTR>{0, 0xF, 0, 0xF}));
}

TEST_F(Stabilizer, NoTargetRunningMeansNoMessageAndTheLauncherRuns) {
  world->processes = {{"explorer.exe", 4}, {"MyTovu.exe", 5}};
  EXPECT_FALSE(StabilizeRunningInstances());
  EXPECT_THAT(world->boxes, IsEmpty());
  EXPECT_THAT(world->affinity_sets, IsEmpty());
  EXPECT_EQ(world->CallCount("CreateToolhelp32Snapshot"), 1u);
}

TEST_F(Stabilizer, SingleProcessorPcIsToldItDoesNotNeedTheTool) {
  world->system_mask = 1;
  world->processes = fake::Named("Tovu.exe", 2);
  EXPECT_TRUE(StabilizeRunningInstances());
  EXPECT_THAT(world->BoxTexts(), ElementsAre(texts::NotNeeded()));
  EXPECT_EQ(world->CallCount("CreateToolhelp32Snapshot"), 0u);
}

TEST_F(Stabilizer, AnotherSingleProcessorMaskIsNotTreatedAsOne) {
  world->system_mask = 0x2;
  world->processes = fake::Named("Tovu.exe", 1);
  EXPECT_TRUE(StabilizeRunningInstances());
  // Processor 0 is not in the system: Windows refuses that mask.
  EXPECT_THAT(world->BoxTexts(),
              ElementsAre(texts::CannotSet(87), texts::Pinned(), texts::Restored()));
  EXPECT_THAT(MasksOf({100}), ElementsAre(0x2u));
}

TEST_F(Stabilizer, UnusableAffinityQueryEndsTheRun) {
  struct {
    const char* name;
    DWORD query_error;
    DWORD_PTR system_mask;
    std::string box;
  } cases[] = {
      {"query failed", 5, 0x3, texts::ErrorOccurred(5)},
      // more than one processor group: the query succeeds with empty masks
      {"system mask 0", 0, 0, texts::ErrorOccurred(50)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    world = &fake::Reset();
    world->affinity_query_error = c.query_error;
    world->system_mask = c.system_mask;
    world->process_mask = c.system_mask;
    world->processes = fake::Named("Tovu.exe", 2);
    EXPECT_TRUE(StabilizeRunningInstances());
    EXPECT_THAT(world->BoxTexts(), ElementsAre(c.box));
    EXPECT_EQ(world->CallCount("CreateToolhelp32Snapshot"), 0u);
    EXPECT_THAT(world->affinity_sets, IsEmpty());
  }
}

TEST_F(Stabilizer, UnopenableProcessDoesNotUseUpAProcessor) {
  for (bool invalid_handle : {false, true}) {
    SCOPED_TRACE(invalid_handle ? "INVALID_HANDLE_VALUE" : "NULL");
    world = &fake::Reset();
    world->system_mask = 0x3;
    world->processes = fake::Named("Tovu.exe", 3);
    world->processes[0].open_error = 5;
    world->processes[0].open_gives_invalid = invalid_handle;
    std::vector<DWORD_PTR> pinned;
    world->on_box = [&](size_t index) {
      if (index == 1) pinned = MasksOf({101, 102});
    };

    EXPECT_TRUE(StabilizeRunningInstances());

    EXPECT_THAT(pinned, ElementsAre(0x1u, 0x2u));
    EXPECT_THAT(world->BoxTexts(), ElementsAre(texts::CannotOpen(5), texts::Pinned(),
                                               texts::CannotOpen(5), texts::Restored()));
    EXPECT_THAT(MasksOf({101, 102}), ElementsAre(0x3u, 0x3u));
  }
}

TEST_F(Stabilizer, EveryOpenFailingStillReportsBothPasses) {
  world->processes = fake::Named("Tovu.exe", 2);
  world->processes[0].open_error = 5;
  world->processes[1].open_error = 0xC0000022;  // shown signed
  EXPECT_TRUE(StabilizeRunningInstances());
  EXPECT_THAT(world->BoxTexts(),
              ElementsAre(texts::CannotOpen(5), texts::CannotOpen(0xC0000022), texts::Pinned(),
                          texts::CannotOpen(5), texts::CannotOpen(0xC0000022), texts::Restored()));
  EXPECT_THAT(world->affinity_sets, IsEmpty());
}

TEST_F(Stabilizer, FailedAffinityStillMovesToTheNextProcessor) {
  world->system_mask = 0xF;
  world->processes = fake::Named("Tovu.exe", 3);
  world->processes[0].set_error = 5;
  std::vector<DWORD_PTR> pinned;
  world->on_box = [&](size_t index) {
    if (index == 1) pinned = MasksOf({101, 102});
  };
  EXPECT_TRUE(StabilizeRunningInstances());
  EXPECT_THAT(pinned, ElementsAre(0x2u, 0x4u));
  EXPECT_THAT(world->BoxTexts(), ElementsAre(texts::CannotSet(5), texts::Pinned(),
                                             texts::CannotSet(5), texts::Restored()));
}

TEST_F(Stabilizer, RestorePassWorksOnTheProcessesRunningAtOk) {
  world->system_mask = 0x3;
  world->processes = fake::Named("Tovu.exe", 2);
  world->on_box = [&](size_t index) {
    if (index != 0) return;
    world->processes.erase(world->processes.begin());  // pid 100 ended
    world->processes.push_back({"tovu.exe", 200});     // and another started
  };
  EXPECT_TRUE(StabilizeRunningInstances());
  EXPECT_THAT(MasksOf({101, 200}), ElementsAre(0x3u, 0x3u));
  EXPECT_EQ(world->affinity_sets.back().pid, 200u);
}

TEST_F(Stabilizer, TargetsThatEndBeforeOkStillGetTheRestoreMessage) {
  world->processes = fake::Named("Tovu.exe", 2);
  world->on_box = [&](size_t index) {
    if (index == 0) world->processes.clear();
  };
  EXPECT_TRUE(StabilizeRunningInstances());
  EXPECT_THAT(world->BoxTexts(), ElementsAre(texts::Pinned(), texts::Restored()));
  EXPECT_THAT(world->MasksSet(), ElementsAre(0x1u, 0x2u));
}

TEST_F(Stabilizer, SnapshotFailureInThePinPassHandsOverToTheLauncher) {
  world->processes = fake::Named("Tovu.exe", 1);
  world->snapshot_errors = {8};
  EXPECT_FALSE(StabilizeRunningInstances());
  EXPECT_THAT(world->BoxTexts(), ElementsAre(texts::ErrorOccurred(8)));
  EXPECT_THAT(world->affinity_sets, IsEmpty());
}

TEST_F(Stabilizer, SnapshotFailureInTheRestorePassLeavesTheProcessesPinned) {
  world->system_mask = 0xF;
  world->processes = fake::Named("Tovu.exe", 2);
  world->snapshot_errors = {0, 1450};
  EXPECT_FALSE(StabilizeRunningInstances());
  EXPECT_THAT(world->BoxTexts(), ElementsAre(texts::Pinned(), texts::ErrorOccurred(1450)));
  EXPECT_THAT(MasksOf({100, 101}), ElementsAre(0x1u, 0x2u));
}

TEST_F(Stabilizer, LongAndUnterminatedNamesAreCutAtTheRecord) {
  // A snapshot name fills at most 259 bytes and its terminator.
  world->processes = {{std::string(300, 'x'), 7}, {"Tovu.exe" + std::string(260, ' '), 8}};
  EXPECT_FALSE(StabilizeRunningInstances());
  EXPECT_THAT(world->boxes, IsEmpty());
}

}  // namespace
