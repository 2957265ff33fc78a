#include "engine/result_line.h"

#include <gtest/gtest.h>

#include "engine/port_display.h"

namespace kvx {
namespace {

TEST(ResultLine, ElapsedTextHasNoLeadingZeros) {
  EXPECT_EQ(ElapsedText(3725), " 1:2:5");
  EXPECT_EQ(ElapsedText(0), " 0:0:0");
  EXPECT_EQ(ElapsedText(59), " 0:0:59");
  EXPECT_EQ(ElapsedText(36000 + 600 + 1), " 10:10:1");
}

TEST(ResultLine, ByteExactInEachLanguage) {
  const JobOutcome o{12, 1031680, 1024000, 3725, 3};
  struct {
    Language language;
    const char* line;
  } cases[] = {
      {Language::English,
       "Finished. Bad Pages 12  Size: 503 (Fixed: 500)MB    1:2:5       BIN-3"},
      {Language::SimplifiedChinese,
       "量产完毕。坏页数: 12  容量: 503MB（固定为: 500MB）    1:2:5       BIN-3"},
      {Language::TraditionalChinese,
       "格式化完畢。壞頁數: 12  容量：503 (固定為：500)MB    1:2:5       BIN-3"},
  };
  for (const auto& c : cases) EXPECT_EQ(ResultLine(MessageCatalogue(c.language), o), c.line);
}

TEST(ResultLine, SizesAreTruncatedMebibytes) {
  const JobOutcome o{0, 2047, 4095, 0, 0};
  EXPECT_EQ(ResultLine(MessageCatalogue(Language::English), o),
            "Finished. Bad Pages 0  Size: 0 (Fixed: 1)MB    0:0:0       BIN-0");
}

TEST(PortDisplay, ExpandPercentAndChangeCounter) {
  EXPECT_EQ(ExpandPercent("$p%", 45), "45%");
  EXPECT_EQ(ExpandPercent("a $p b $p", 7), "a 7 b 7");
  EXPECT_EQ(ExpandPercent("$ p $", 7), "$ p $");
  PortDisplay d;
  const auto v0 = d.version();
  d.setPercent(150);
  EXPECT_EQ(d.snapshot().percent, 100);
  const auto v1 = d.version();
  EXPECT_GT(v1, v0);
  d.setPercent(100);
  EXPECT_EQ(d.version(), v1) << "an unchanged value does not count as a change";
  d.setBar("x", BarColour::Red, 3);
  EXPECT_GT(d.version(), v1);
  EXPECT_EQ(d.snapshot().colour, BarColour::Red);
}

}  // namespace
}  // namespace kvx
