// Drives StabilizeRunningInstances over fuzzed process lists, failures in
// either pass, processes that come and go while a box is up, and any system
// mask.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fake/fake_win32.h"
#include "fuzz/invariant.h"
#include "stabilizer/stabilizer.h"
#include "unit/texts.h"

namespace {

std::string ProcessName(FuzzedDataProvider& data) {
  switch (data.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return "Tovu.exe";
    case 1: {  // the target's name with some bytes changed in case or value
      std::string name = "Tovu.exe";
      for (char& c : name) {
        if (data.ConsumeBool())
          c = static_cast<char>(c ^ (data.ConsumeBool() ? 0x20 : data.ConsumeIntegral<char>()));
      }
      return name + data.ConsumeBytesAsString(data.ConsumeIntegralInRange<size_t>(0, 3));
    }
    default:
      return data.ConsumeBytesAsString(data.ConsumeIntegralInRange<size_t>(0, 300));
  }
}

fake::Process MakeProcess(FuzzedDataProvider& data, DWORD pid) {
  fake::Process process;
  process.name = ProcessName(data);
  process.pid = pid;
  if (data.ConsumeIntegralInRange(0, 7) == 0) {
    process.open_error = data.ConsumeIntegral<DWORD>() | 1;
    process.open_gives_invalid = data.ConsumeBool();
  }
  if (data.ConsumeIntegralInRange(0, 7) == 0) process.set_error = data.ConsumeIntegral<DWORD>() | 1;
  return process;
}

DWORD_PTR SystemMask(FuzzedDataProvider& data) {
  const DWORD_PTR typical[] = {1, 0x3, 0xF, 0xFF, 0xB, 0xFFFFFFFF, 0x80000001, 0x6, 0x2, 0};
  return data.ConsumeBool() ? typical[data.ConsumeIntegralInRange<size_t>(0, 9)]
                            : data.ConsumeIntegral<DWORD_PTR>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider data(bytes, size);
  fake::World& world = fake::Reset();
  world.system_mask = SystemMask(data);
  world.process_mask = world.system_mask;
  if (data.ConsumeIntegralInRange(0, 15) == 0)
    world.affinity_query_error = data.ConsumeIntegral<DWORD>();
  for (int pass = 0; pass < 2; ++pass) {
    world.snapshot_errors.push_back(
        data.ConsumeIntegralInRange(0, 7) == 0 ? data.ConsumeIntegral<DWORD>() | 1 : 0);
  }
  DWORD next_pid = 8;
  const size_t count = data.ConsumeIntegralInRange<size_t>(0, 300);
  for (size_t i = 0; i < count && data.remaining_bytes() > 0; ++i) {
    world.processes.push_back(MakeProcess(data, next_pid));
    next_pid += 4;
  }
  // While a box is up, processes may end and others start.
  size_t entries_seen = world.processes.size();
  world.on_box = [&](size_t) {
    const size_t ended = data.ConsumeIntegralInRange<size_t>(0, world.processes.size());
    world.processes.erase(world.processes.begin(),
                          world.processes.begin() + static_cast<long>(ended));
    const size_t started = data.ConsumeIntegralInRange<size_t>(0, 4);
    for (size_t i = 0; i < started; ++i) {
      world.processes.push_back(MakeProcess(data, next_pid));
      next_pid += 4;
    }
    entries_seen += world.processes.size();
  };

  StabilizeRunningInstances();

  RequireCommonInvariants(world);
  const bool query_succeeded = world.affinity_query_error == 0;
  if (query_succeeded && world.system_mask == 0) {
    // No usable processor set: one error box, nothing pinned.
    static const std::string kNotSupported = texts::ErrorOccurred(50);
    FUZZ_REQUIRE(world.BoxTexts() == std::vector<std::string>{kNotSupported});
    FUZZ_REQUIRE(world.CallCount("CreateToolhelp32Snapshot") == 0);
  }
  // Which pass each affinity change belongs to follows from the snapshots
  // taken before it.
  size_t snapshots = 0;
  size_t set_index = 0;
  DWORD_PTR previous_pin = 0;
  for (const std::string& call : world.calls) {
    if (call == "CreateToolhelp32Snapshot") ++snapshots;
    if (call != "SetProcessAffinityMask") continue;
    const fake::AffinitySet& set = world.affinity_sets[set_index++];
    if (snapshots == 1) {
      // Processor 0 first; then the next processor up while the system has it,
      // and processor 0 again where it does not.
      const DWORD_PTR doubled = static_cast<DWORD_PTR>(previous_pin << 1);
      const bool system_has_next = previous_pin != 0 && (doubled & world.system_mask) != 0;
      FUZZ_REQUIRE(set.mask == (system_has_next ? doubled : 1));
      previous_pin = set.mask;
    } else {
      FUZZ_REQUIRE(snapshots == 2 && set.mask == world.system_mask);
    }
  }
  FUZZ_REQUIRE(snapshots <= 2);
  FUZZ_REQUIRE(world.boxes.size() <= entries_seen + 3);
  FUZZ_REQUIRE(world.starts.empty());
  return 0;
}
