#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "driver/driver.h"
#include "unit/texts.h"
#include "unit/tool_test.h"

namespace {

using ::testing::ElementsAre;

class Messages : public ToolTest {};

// Drives the tool into every situation that has a message of its own and
// compares each box with the Japanese text converted by iconv.
TEST_F(Messages, EveryTextIsItsJapaneseInCodePage932) {
  struct Scenario {
    const char* name;
    std::function<void(fake::World&)> setup;
    std::vector<std::string> expected;
  };
  const std::string icon = "C:\\Apps\\main.exe";
  const Scenario scenarios[] = {
      {"affinity query fails",
       [](fake::World& w) { w.affinity_query_error = 31; },
       {texts::Cp932("エラーが発生しました：31\n")}},
      {"single processor",
       [](fake::World& w) { w.system_mask = 1; },
       {texts::Cp932("このPCにはこのプログラムは必要ありません\n")}},
      {"open and set fail, both passes",
       [](fake::World& w) {
         w.processes = fake::Named("Tovu.exe", 2);
         w.processes[0].open_error = 5;
         w.processes[1].set_error = 87;
       },
       {texts::Cp932("開けません(5)\n"), texts::Cp932("設定できません(87)\n"),
        texts::Cp932("設定しました。\nOKを押すと元に戻します"), texts::Cp932("開けません(5)\n"),
        texts::Cp932("設定できません(87)\n"),
        texts::Cp932("元に戻しました。\nOKを押すと終了します。")}},
      {"snapshot fails, nothing installed",
       [](fake::World& w) { w.snapshot_errors = {1}; },
       {texts::Cp932("エラーが発生しました：1\n"),
        texts::Cp932("Fenwolkも\nBrisdaneも見つかりませんでした")}},
      {"full path fails",
       [&](fake::World& w) {
         fake::InstallProduct(w, 0, fake::Sz(icon));
         w.full_path_error = 3;
       },
       {texts::Cp932("失敗しました。3\n" + icon + "\\..\\Tovu.exe")}},
      {"start fails",
       [&](fake::World& w) { fake::InstallProduct(w, 0, fake::Sz(icon)); },
       {texts::Cp932("実行に失敗しました。2\nC:\\Apps\\Tovu.exe")}},
      {"pin of the started target fails",
       [&](fake::World& w) {
         fake::InstallProduct(w, 0, fake::Sz(icon));
         w.files["C:\\Apps\\Tovu.exe"] = {};
         w.target_pin_error = 6;
       },
       {texts::Cp932("安定化に失敗しました。 6")}},
  };
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    world = &fake::Reset();
    scenario.setup(*world);
    ToolEntry();
    EXPECT_EQ(world->BoxTexts(), scenario.expected);
    for (const fake::Box& box : world->boxes) {
      EXPECT_EQ(box.caption, texts::Cp932("安定化ツール"));
      EXPECT_EQ(box.owner, nullptr);
      EXPECT_EQ(box.style, static_cast<UINT>(MB_OK));  // one OK button, no icon, no choice
    }
  }
}

TEST_F(Messages, ErrorCodesAreShownAsSignedDecimals) {
  world->affinity_query_error = 0xC0000005;
  ToolEntry();
  EXPECT_THAT(world->BoxTexts(), ElementsAre(texts::Cp932("エラーが発生しました：-1073741819\n")));
}

TEST_F(Messages, LongTextIsCutAtTheFormattersLimit) {
  const std::string long_text(2000, 'x');
  ShowToolMessage("%s", long_text.c_str());
  ShowToolMessage("%d:%s", 7, std::string(1021, 'y').c_str());
  ShowToolMessage("%s", std::string(1023, 'z').c_str());
  EXPECT_THAT(world->BoxTexts(), ElementsAre(std::string(1023, 'x'), "7:" + std::string(1021, 'y'),
                                             std::string(1023, 'z')));
}

TEST_F(Messages, ShowToolMessageReturnsTheBoxResult) {
  EXPECT_EQ(ShowToolMessage("%d", 1), 1);  // IDOK
}

}  // namespace
