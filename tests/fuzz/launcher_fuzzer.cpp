// Drives a whole LaunchInstalledTarget over a registry, a current directory and
// a file system that the fuzzer builds.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fake/fake_win32.h"
#include "fake/products.h"
#include "fuzz/invariant.h"
#include "launcher/launcher.h"

namespace {

using fake::kProductCodes;
using fake::kUninstallRoot;
const char kSuffix[] = "\\..\\Tovu.exe";

// Pieces that real icon paths and hostile ones are made of; "\x83\x5C" is a
// Shift-JIS character whose trail byte is a backslash.
const char* const kFragments[] = {
    "C:\\",
    "D:",
    "\\",
    "/",
    "..",
    ".",
    " ",
    "\"",
    "Apps",
    "Program Files",
    "Fen Wolk",
    "main.exe",
    ",0",
    ",-101",
    "Tovu.exe",
    "\x83\x5C",
    "\x83\x5C\x83\x74\x83\x67",
    "\x81",
    "\\\\",
    "%ProgramFiles%",
    "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
};

std::string ValueBytes(FuzzedDataProvider& data) {
  switch (data.ConsumeIntegralInRange(0, 2)) {
    case 0:
      return data.ConsumeBytesAsString(data.ConsumeIntegralInRange<size_t>(0, 300));
    default: {
      std::string text;
      const size_t pieces = data.ConsumeIntegralInRange<size_t>(0, 24);
      for (size_t i = 0; i < pieces; ++i) {
        text += kFragments[data.ConsumeIntegralInRange<size_t>(0, std::size(kFragments) - 1)];
      }
      if (data.ConsumeBool()) text += '\0';
      return text.substr(0, 300);
    }
  }
}

DWORD ValueType(FuzzedDataProvider& data) {
  const DWORD types[] = {REG_SZ, REG_SZ, REG_SZ, 2 /* EXPAND_SZ */, 7 /* MULTI_SZ */, 3, 4, 0};
  return data.ConsumeBool() ? types[data.ConsumeIntegralInRange<size_t>(0, 7)]
                            : data.ConsumeIntegral<DWORD>();
}

// The text the tool may take from a value: what the query returns, up to the
// first terminator.
std::string UsableText(const fake::Value& value) {
  return value.bytes.substr(0, value.bytes.find('\0'));
}

bool IsUsable(const fake::Value& value) {
  return value.type == REG_SZ && !value.bytes.empty() && value.bytes.size() <= 256;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider data(bytes, size);
  fake::World& world = fake::Reset();
  const std::string directories[] = {"C:\\Users\\tovu", "D:\\", "C:\\" + std::string(240, 'c'),
                                     "C:\\\x83\x5C\x83\x74\x83\x67"};
  world.current_directory = directories[data.ConsumeIntegralInRange(0, 3)];
  if (data.ConsumeIntegralInRange(0, 15) == 0)
    world.full_path_error = data.ConsumeIntegral<DWORD>() | 1;
  if (data.ConsumeIntegralInRange(0, 7) == 0)
    world.target_pin_error = data.ConsumeIntegral<DWORD>() | 1;
  const std::string root =
      data.ConsumeIntegralInRange(0, 15) == 0 ? "software\\elsewhere" : kUninstallRoot;
  world.files["C:\\Program.exe"] = {};  // planted where an unquoted path would find it

  fake::Value values[7];
  bool present[7] = {};
  for (int i = 0; i < 7; ++i) {
    present[i] = data.ConsumeBool();
    if (!present[i]) continue;
    values[i].type = ValueType(data);
    values[i].bytes = ValueBytes(data);
    world.registry[root + "\\" + kProductCodes[i]]["displayicon"] = values[i];
    if (data.ConsumeBool()) {
      const std::string target =
          fake::ResolveFullPath(UsableText(values[i]) + kSuffix, world.current_directory);
      world.files[target] = {data.ConsumeBool() ? 0u : data.ConsumeIntegral<DWORD>() | 1};
    }
  }

  LaunchInstalledTarget();

  RequireCommonInvariants(world);
  // Every path resolved is a usable value's text plus the suffix, code by code.
  std::vector<std::string> expected_inputs;
  for (int i = 0; i < 7; ++i) {
    if (present[i] && root == kUninstallRoot && IsUsable(values[i])) {
      expected_inputs.push_back(UsableText(values[i]) + kSuffix);
    }
  }
  FUZZ_REQUIRE(world.full_path_inputs.size() <= expected_inputs.size());
  for (size_t i = 0; i < world.full_path_inputs.size(); ++i) {
    FUZZ_REQUIRE(world.full_path_inputs[i] == expected_inputs[i]);
  }
  // At most one start, of exactly the resolved path, quoted on its command line.
  size_t started = 0;
  for (const fake::Start& start : world.starts) {
    FUZZ_REQUIRE(start.has_application_name);
    FUZZ_REQUIRE(start.command_line == "\"" + start.application_name + "\"");
    FUZZ_REQUIRE(start.application_name.size() < MAX_PATH);
    bool from_a_value = false;
    for (const std::string& input : world.full_path_inputs) {
      from_a_value |=
          fake::ResolveFullPath(input, world.current_directory) == start.application_name;
    }
    FUZZ_REQUIRE(from_a_value);
    if (!start.started_file.empty()) {
      ++started;
      FUZZ_REQUIRE(start.started_file == start.application_name);
    }
  }
  FUZZ_REQUIRE(started <= 1);
  FUZZ_REQUIRE(world.waited_pids.size() == started);
  for (const fake::AffinitySet& set : world.affinity_sets) FUZZ_REQUIRE(set.mask == 1);
  FUZZ_REQUIRE(world.affinity_sets.size() == started);
  // Each attempt is reported once; the not-found box only when nothing was tried.
  const size_t attempts = world.full_path_inputs.size();
  if (attempts == 0) {
    FUZZ_REQUIRE(world.boxes.size() == 1 && world.starts.empty());
  } else if (started == 0) {
    FUZZ_REQUIRE(world.boxes.size() == attempts);
  } else {
    FUZZ_REQUIRE(world.boxes.size() == attempts - 1 + (world.target_pin_error != 0 ? 1u : 0u));
  }
  return 0;
}
