#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "launcher/launcher.h"
#include "unit/texts.h"
#include "unit/tool_test.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

class Launcher : public ToolTest {
 protected:
  // The one start that went through, or a failure.
  std::string Started() {
    std::string started;
    for (const fake::Start& start : world->starts) {
      if (!start.started_file.empty()) {
        EXPECT_TRUE(started.empty()) << "a second program started";
        started = start.started_file;
      }
    }
    return started;
  }
};

struct PathCase {
  std::string icon;
  std::string target;
};
void PrintTo(const PathCase& c, std::ostream* os) { *os << '"' << c.icon << '"'; }

class TargetBesideIcon : public Launcher, public ::testing::WithParamInterface<PathCase> {};

TEST_P(TargetBesideIcon, StartsTheTargetPinnedToProcessorZeroAndWaitsForIt) {
  const PathCase& c = GetParam();
  Install(0, fake::Sz(c.icon));
  AddFile(c.target);

  LaunchInstalledTarget();

  EXPECT_THAT(world->boxes, IsEmpty());
  ASSERT_THAT(world->starts, SizeIs(1));
  const fake::Start& start = world->starts[0];
  EXPECT_EQ(start.started_file, c.target);
  EXPECT_TRUE(start.has_application_name);
  EXPECT_EQ(start.application_name, c.target);
  EXPECT_EQ(start.command_line, "\"" + c.target + "\"");
  EXPECT_TRUE(start.default_security);
  EXPECT_FALSE(start.inherit_handles);
  EXPECT_EQ(start.creation_flags, static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
  EXPECT_TRUE(start.default_environment_and_directory);
  EXPECT_TRUE(start.startup_info_unchanged);
  ASSERT_THAT(world->affinity_sets, SizeIs(1));
  EXPECT_EQ(world->affinity_sets[0].pid, start.pid);
  EXPECT_EQ(world->affinity_sets[0].mask, 1u);
  EXPECT_THAT(world->waited_pids, ElementsAre(start.pid));
  EXPECT_EQ(world->FindProcess(start.pid), nullptr) << "returned before the target exited";
}

INSTANTIATE_TEST_SUITE_P(
    IconPaths, TargetBesideIcon,
    ::testing::Values(PathCase{"C:\\Apps\\Product\\main.exe", "C:\\Apps\\Product\\Tovu.exe"},
                      PathCase{"C:\\Apps\\Product\\main.exe,0", "C:\\Apps\\Product\\Tovu.exe"},
                      PathCase{"C:\\Apps\\Fen Wolk\\main.exe,-101", "C:\\Apps\\Fen Wolk\\Tovu.exe"},
                      PathCase{"D:/Games/Tovu/icon.ico", "D:\\Games\\Tovu\\Tovu.exe"},
                      PathCase{"C:\\A\\.\\B\\..\\main.exe", "C:\\A\\Tovu.exe"},
                      // relative to the tool's current directory
                      PathCase{"Fenwolk\\main.exe", "C:\\Users\\tovu\\Fenwolk\\Tovu.exe"},
                      // "ソフト": 0x83 0x5C is one character, not a separator
                      PathCase{"C:\\\x83\x5C\x83\x74\x83\x67\\main.exe",
                               "C:\\\x83\x5C\x83\x74\x83\x67\\Tovu.exe"},
                      // the empty string: the root of the current drive
                      PathCase{"", "C:\\Tovu.exe"}));

TEST_F(Launcher, TriesTheProductCodesInTheirOwnOrder) {
  for (size_t first = 0; first < 7; ++first) {
    SCOPED_TRACE(kProductCodes[first]);
    world = &fake::Reset();
    for (size_t i = first; i < 7; ++i) {
      const std::string dir = "C:\\P" + std::to_string(i);
      Install(i, fake::Sz(dir + "\\main.exe"));
      AddFile(dir + "\\Tovu.exe");
    }
    LaunchInstalledTarget();
    EXPECT_EQ(Started(), "C:\\P" + std::to_string(first) + "\\Tovu.exe");
    // nothing after the started one is even opened
    EXPECT_THAT(world->opened_keys.back(), ::testing::EndsWith(kProductCodes[first]));
    EXPECT_THAT(world->Leaks(), IsEmpty());
  }
}

struct PassedOverCase {
  const char* what;
  fake::Value value;
};
void PrintTo(const PassedOverCase& c, std::ostream* os) { *os << c.what; }

class PassedOverValue : public Launcher, public ::testing::WithParamInterface<PassedOverCase> {};

TEST_P(PassedOverValue, IsNoAttemptAndTheNextCodeIsTried) {
  Install(0, GetParam().value);
  Install(1, fake::Sz("C:\\Second\\main.exe"));
  AddFile("C:\\First\\Tovu.exe");
  AddFile("C:\\Second\\Tovu.exe");
  LaunchInstalledTarget();
  EXPECT_EQ(Started(), "C:\\Second\\Tovu.exe");
  EXPECT_THAT(world->boxes, IsEmpty());
  EXPECT_THAT(world->full_path_inputs, ElementsAre("C:\\Second\\main.exe\\..\\Tovu.exe"));
}

TEST_P(PassedOverValue, AloneEndsInTheNotFoundMessage) {
  Install(0, GetParam().value);
  AddFile("C:\\First\\Tovu.exe");
  LaunchInstalledTarget();
  EXPECT_THAT(world->BoxTexts(), ElementsAre(texts::NotFound()));
  EXPECT_THAT(world->starts, IsEmpty());
}

const std::string kFirstIcon = std::string("C:\\First\\main.exe") + '\0';

INSTANTIATE_TEST_SUITE_P(
    Values, PassedOverValue,
    ::testing::Values(PassedOverCase{"expandable string", {2, kFirstIcon}},
                      PassedOverCase{"multi-string", {7, kFirstIcon + '\0'}},
                      PassedOverCase{"binary", {3, kFirstIcon}},
                      PassedOverCase{"dword", {4, std::string("\x01\0\0\0", 4)}},
                      PassedOverCase{"empty REG_SZ", {REG_SZ, ""}},
                      // 256 characters and the terminator: one byte more than the query takes
                      PassedOverCase{"257 bytes",
                                     {REG_SZ, "C:\\First\\" + std::string(247, 'a') + '\0'}},
                      PassedOverCase{"longer than 256 bytes",
                                     {REG_SZ, "C:\\First\\" + std::string(250, 'a') + '\0'}}),
    [](const auto& info) {
      std::string name = info.param.what;
      for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

TEST_F(Launcher, MissingValueOrKeyIsPassedOverSilently) {
  world->registry[std::string(kUninstallRoot) + "\\" + kProductCodes[0]]["DisplayName"] =
      fake::Sz("Fenwolk");
  world->registry[std::string(kUninstallRoot) + "\\{00000000-0000-0000-0000-000000000000}"]
                 ["DisplayIcon"] = fake::Sz("C:\\Other\\main.exe");
  AddFile("C:\\Other\\Tovu.exe");
  LaunchInstalledTarget();
  EXPECT_THAT(world->BoxTexts(), ElementsAre(texts::NotFound()));
  EXPECT_THAT(world->starts, IsEmpty());
}

TEST_F(Launcher, NothingInstalledShowsOnlyTheNotFoundMessage) {
  LaunchInstalledTarget();  // not even the uninstall root exists
  EXPECT_THAT(world->BoxTexts(), ElementsAre(texts::NotFound()));
  EXPECT_EQ(world->CallCount("RegCloseKey"), 0u);
}

TEST_F(Launcher, ValueOfExactly256BytesIsUsed) {
  // 255 bytes of text and the terminator, then 256 bytes with none: both fit.
  for (bool terminated : {true, false}) {
    SCOPED_TRACE(terminated ? "terminated" : "unterminated");
    world = &fake::Reset();
    const size_t text_length = terminated ? 255 : 256;
    const std::string dir = "C:\\" + std::string(text_length - 12, 'd');
    std::string value = dir + "\\main.exe";
    ASSERT_EQ(value.size(), text_length);
    if (terminated) value += '\0';
    Install(0, {REG_SZ, value});
    AddFile(dir + "\\Tovu.exe");
    LaunchInstalledTarget();
    EXPECT_EQ(Started(), dir + "\\Tovu.exe");
    EXPECT_THAT(world->boxes, IsEmpty());
  }
}

TEST_F(Launcher, UnterminatedValueKeepsOnlyTheBytesRead) {
  // The first code's longer text is left in the buffer when the second is read.
  Install(0, {REG_SZ, "C:\\A\\very\\long\\directory\\name\\main.exe"});
  Install(1, {REG_SZ, "C:\\A\\b.exe"});
  AddFile("C:\\A\\Tovu.exe");
  LaunchInstalledTarget();
  EXPECT_EQ(Started(), "C:\\A\\Tovu.exe");
  EXPECT_THAT(world->full_path_inputs,
              ElementsAre("C:\\A\\very\\long\\directory\\name\\main.exe\\..\\Tovu.exe",
                          "C:\\A\\b.exe\\..\\Tovu.exe"));
  EXPECT_THAT(world->BoxTexts(),
              ElementsAre(texts::StartFailed(2, "C:\\A\\very\\long\\directory\\name\\Tovu.exe")));
}

TEST_F(Launcher, NeverStartsAProgramAtABlankInThePath) {
  AddFile("C:\\Program.exe");
  AddFile("C:\\Program Files\\Fenwolk\\Tovu.exe");
  Install(0, fake::Sz("C:\\Program Files\\Fenwolk\\Tovu.ico"));
  LaunchInstalledTarget();
  EXPECT_EQ(Started(), "C:\\Program Files\\Fenwolk\\Tovu.exe");
  EXPECT_EQ(world->starts[0].command_line, "\"C:\\Program Files\\Fenwolk\\Tovu.exe\"");
}

TEST_F(Launcher, StartFailureIsReportedAndTheNextCodeRuns) {
  Install(0, fake::Sz("C:\\Broken\\main.exe"));
  Install(1, {2, "C:\\Expand\\main.exe" + std::string(1, '\0')});
  Install(2, fake::Sz("C:\\Works\\main.exe"));
  AddFile("C:\\Broken\\Tovu.exe", 193);  // not a valid Win32 application
  AddFile("C:\\Expand\\Tovu.exe");
  AddFile("C:\\Works\\Tovu.exe");
  LaunchInstalledTarget();
  EXPECT_THAT(world->BoxTexts(), ElementsAre(texts::StartFailed(193, "C:\\Broken\\Tovu.exe")));
  EXPECT_EQ(Started(), "C:\\Works\\Tovu.exe");
}

TEST_F(Launcher, EveryCodeFailingToStartIsReportedWithoutNotFound) {
  Install(1, fake::Sz("C:\\One\\main.exe"));
  Install(3, fake::Sz("C:\\Two\\main.exe"));
  Install(6, fake::Sz("\"C:\\Quoted\\main.exe\""));  // quotes stay in the path
  LaunchInstalledTarget();
  EXPECT_THAT(world->BoxTexts(),
              ElementsAre(texts::StartFailed(2, "C:\\One\\Tovu.exe"),
                          texts::StartFailed(2, "C:\\Two\\Tovu.exe"),
                          texts::StartFailed(2, "C:\\Users\\tovu\\\"C:\\Quoted\\Tovu.exe")));
}

TEST_F(Launcher, FullPathFailureIsAnAttemptReportedWithTheJoinedPath) {
  world->full_path_error = 123;
  Install(0, fake::Sz("C:\\A\\main.exe"));
  Install(4, fake::Sz("C:\\B\\main.exe"));
  LaunchInstalledTarget();
  EXPECT_THAT(world->BoxTexts(),
              ElementsAre(texts::PathFailed(123, "C:\\A\\main.exe\\..\\Tovu.exe"),
                          texts::PathFailed(123, "C:\\B\\main.exe\\..\\Tovu.exe")));
  EXPECT_THAT(world->starts, IsEmpty());
}

TEST_F(Launcher, FullPathThatDoesNotFitIsReportedAndNothingStarts) {
  // The resolved path is the current directory plus the value's directory:
  // 259 bytes fit the 260-byte buffer with the terminator, 260 do not.
  struct Case {
    size_t full_length;
    bool second_product;
  };
  for (const Case c : {Case{259, true}, Case{260, true}, Case{260, false}}) {
    SCOPED_TRACE(::testing::Message() << c.full_length << (c.second_product ? "" : ", alone"));
    world = &fake::Reset();
    world->current_directory = "C:\\" + std::string(150, 'c');
    const std::string dir = std::string(c.full_length - world->current_directory.size() - 10, 'd');
    Install(0, fake::Sz(dir + "\\main.exe"));
    const std::string target = world->current_directory + "\\" + dir + "\\Tovu.exe";
    ASSERT_EQ(target.size(), c.full_length);
    AddFile(target);
    if (c.second_product) {
      Install(1, fake::Sz("C:\\Short\\main.exe"));
      AddFile("C:\\Short\\Tovu.exe");
    }
    LaunchInstalledTarget();
    if (c.full_length == 259) {
      EXPECT_EQ(Started(), target);
      EXPECT_THAT(world->boxes, IsEmpty());
    } else {
      // an attempt: its box is the last word, with no not-found box after it
      EXPECT_THAT(world->BoxTexts(),
                  ElementsAre(texts::PathFailed(206, dir + "\\main.exe\\..\\Tovu.exe")));
      EXPECT_EQ(Started(), c.second_product ? "C:\\Short\\Tovu.exe" : "");
    }
  }
}

TEST_F(Launcher, PinFailureIsReportedAndTheToolStillWaits) {
  world->target_pin_error = 5;
  Install(0, fake::Sz("C:\\A\\main.exe"));
  AddFile("C:\\A\\Tovu.exe");
  LaunchInstalledTarget();
  EXPECT_THAT(world->BoxTexts(), ElementsAre(texts::PinFailed(5)));
  EXPECT_THAT(world->waited_pids, SizeIs(1));
  const std::vector<std::string> expected_order = {"CreateProcessA", "SetProcessAffinityMask",
                                                   "MessageBoxA", "WaitForSingleObject"};
  std::vector<std::string> order;
  for (const std::string& call : world->calls) {
    if (std::find(expected_order.begin(), expected_order.end(), call) != expected_order.end()) {
      order.push_back(call);
    }
  }
  EXPECT_EQ(order, expected_order);
}

}  // namespace
