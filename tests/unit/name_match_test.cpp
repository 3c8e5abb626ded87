#include <gtest/gtest.h>

#include <string>

#include "stabilizer/stabilizer.h"

namespace {

struct NameCase {
  std::string name;
  bool is_target;
};
void PrintTo(const NameCase& c, std::ostream* os) { *os << '"' << c.name << '"'; }

class TargetNameMatch : public ::testing::TestWithParam<NameCase> {};

TEST_P(TargetNameMatch, MatchesTheTargetIgnoringAsciiCaseOnly) {
  const NameCase& c = GetParam();
  EXPECT_EQ(CompareNameNoCase(c.name.c_str(), "Tovu.exe") == 0, c.is_target) << c.name;
  EXPECT_EQ(CompareNameNoCase("Tovu.exe", c.name.c_str()) == 0, c.is_target) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Names, TargetNameMatch,
    ::testing::Values(NameCase{"Tovu.exe", true}, NameCase{"TOVU.EXE", true},
                      NameCase{"tovu.exe", true}, NameCase{"tOvU.eXe", true},
                      NameCase{"Tovu.exe.bak", false}, NameCase{"MyTovu.exe", false},
                      NameCase{"Tovu.ex", false}, NameCase{"Tovu", false}, NameCase{"", false},
                      NameCase{"Tovu.exf", false}, NameCase{"Tovu.exe2", false},
                      // A blank folds onto a terminator; neither may end a match.
                      NameCase{"Tovu.exe ", false}, NameCase{"Tovu.exe backup.exe", false},
                      NameCase{"Tovu.exe\xA0", false}, NameCase{" Tovu.exe", false}));

TEST(CompareNameNoCase, EndsOnlyWhereBothNamesEnd) {
  EXPECT_EQ(CompareNameNoCase("", ""), 0);
  EXPECT_NE(CompareNameNoCase("", " "), 0);
  EXPECT_NE(CompareNameNoCase(" ", ""), 0);
  EXPECT_NE(CompareNameNoCase("", "\x80"), 0);
}

TEST(CompareNameNoCase, FoldsEveryByteByBit0x20) {
  // No test for letters: '@' (0x40) folds onto '`' (0x60), 0x8E onto 0xAE.
  EXPECT_EQ(CompareNameNoCase("@", "`"), 0);
  EXPECT_EQ(CompareNameNoCase("\x8E", "\xAE"), 0);
  EXPECT_NE(CompareNameNoCase("\x8E", "\x8F"), 0);
}

TEST(CompareNameNoCase, GivesTheSignedDifferenceOfTheFirstFoldedBytesThatDiffer) {
  struct {
    const char* a;
    const char* b;
    int expected;
  } cases[] = {
      {"a", "b", 'a' - 'b'},
      {"B", "a", 'b' - 'a'},
      {"Tovu.exe", "Tovu.exf", 'e' - 'f'},
      {"\x81", "a", static_cast<signed char>('\xA1') - 'a'},  // bytes count as signed
      {"a", "\xC1", 'a' - static_cast<signed char>('\xE1')},
      {"ab", "a", 'b' - ' '},  // a terminator folds to a blank
      {"a", "ab", ' ' - 'b'},
      {"a ", "a", ' '},  // ... but never ends a match
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CompareNameNoCase(c.a, c.b), c.expected) << c.a << " vs " << c.b;
  }
}

}  // namespace
