#include "ui/jump_flag_boxes.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <memory>

namespace kvx::ui {
namespace {

struct Bytes {
  std::uint8_t j1, j2, j3;
  bool operator==(const Bytes&) const = default;
};

Bytes FlagsOf(const ConfigImage& image, std::size_t type) {
  const auto r = image.flashTypeRecord(type);
  return {r.byteAt(FlashTypeRecord::kJumpFlags1), r.byteAt(FlashTypeRecord::kJumpFlags2),
          r.byteAt(FlashTypeRecord::kJumpFlags3)};
}

void SetFlags(ConfigImage& image, std::size_t type, Bytes b) {
  auto r = image.flashTypeRecord(type);
  r.setByte(FlashTypeRecord::kJumpFlags1, b.j1);
  r.setByte(FlashTypeRecord::kJumpFlags2, b.j2);
  r.setByte(FlashTypeRecord::kJumpFlags3, b.j3);
}

class JumpFlagBoxesTest : public ::testing::Test {
 protected:
  std::unique_ptr<ConfigImage> image = std::make_unique<ConfigImage>();
  JumpFlagBoxes boxes{*image};
  QCheckBox* box(const char* name) {
    return boxes.findChild<QCheckBox*>(QString::fromLatin1(name));
  }
};

TEST_F(JumpFlagBoxesTest, TickingTheSpareReadBoxSetsBitFourOfByte99Only) {
  SetFlags(*image, 3, {0xA5, 0x0F, 0x5A});
  boxes.showFlashType(3);
  QCheckBox* spare = box("bJmpPHY_PbaReadSpare");
  ASSERT_NE(spare, nullptr);
  EXPECT_FALSE(spare->isChecked());
  spare->click();
  EXPECT_EQ(FlagsOf(*image, 3), (Bytes{0xA5, 0x1F, 0x5A}));
  spare->click();
  EXPECT_EQ(FlagsOf(*image, 3), (Bytes{0xA5, 0x0F, 0x5A}));
  EXPECT_EQ(FlagsOf(*image, 2), (Bytes{0, 0, 0})) << "other flash types are untouched";
}

// Every box against its byte and bit: shown from the byte, and a click flips
// exactly that bit, from a pattern where neighbours differ.
TEST_F(JumpFlagBoxesTest, EveryBoxOwnsExactlyItsBit) {
  struct Expect {
    const char* name;
    int byte;  // 0, 1, 2 for bytes 98, 99, 100
    int bit;
  } table[] = {
      {"bJmp_mainloop", 0, 0},
      {"bJmp_isr0", 0, 1},
      {"bJmp_isr1", 0, 2},
      {"bJmp_TIMER1_intr", 0, 3},
      {"bJmp_SofErrCheck", 0, 4},
      {"bJmp_ProcCbw", 0, 5},
      {"bJmp_SendCsw", 0, 6},
      {"bJmp_PrivateCmd", 0, 7},
      {"bJmpEcc_correct_data", 1, 0},
      {"bJmpPHY_PbaEraseBlk", 1, 1},
      {"bJmpPHY_PbaRdSectors", 1, 2},
      {"bJmpPHY_PbaWrSectors", 1, 3},
      {"bJmpPHY_PbaReadSpare", 1, 4},
      {"bJmpPHY_PbaRdSectors2Buf", 1, 5},
      {"bJmpPHY_NAND_SelFlash", 1, 6},
      {"RsvByte1Bit7", 1, 7},
      {"bJmpLOG_RdFlash", 2, 0},
      {"bJmpLOG_WrFlash", 2, 1},
      {"bJmpLOG_CpLastSector", 2, 2},
      {"bJmpBZ_GetZoneTbl", 2, 3},
      {"bJmpBZ_GetBlkState", 2, 4},
      {"bJmpBZ_illegal_sel_blk", 2, 5},
      {"RsvByte2Bit6", 2, 6},
      {"RsvByte2Bit7", 2, 7},
  };
  ASSERT_EQ(boxes.findChildren<QCheckBox*>().size(), 24);
  const Bytes start{0x96, 0x69, 0x3C};
  for (const Expect& e : table) {
    SCOPED_TRACE(e.name);
    SetFlags(*image, 0, start);
    boxes.showFlashType(0);
    QCheckBox* b = box(e.name);
    ASSERT_NE(b, nullptr);
    const std::uint8_t startByte = e.byte == 0 ? start.j1 : e.byte == 1 ? start.j2 : start.j3;
    const bool wasSet = (startByte >> e.bit) & 1;
    EXPECT_EQ(b->isChecked(), wasSet);
    b->click();
    Bytes want = start;
    std::uint8_t& changed = e.byte == 0 ? want.j1 : e.byte == 1 ? want.j2 : want.j3;
    changed = std::uint8_t(changed ^ (1u << e.bit));
    EXPECT_EQ(FlagsOf(*image, 0), want);
    EXPECT_NE(b->isChecked(), wasSet);
  }
}

TEST_F(JumpFlagBoxesTest, WithoutASelectedFlashTypeTheBoxesChangeNothing) {
  SetFlags(*image, 0, {0xFF, 0xFF, 0xFF});
  boxes.showFlashType(0);
  EXPECT_TRUE(box("bJmp_isr0")->isChecked());
  boxes.showFlashType(-1);
  EXPECT_FALSE(box("bJmp_isr0")->isChecked()) << "no flash type shows no flags";
  box("bJmp_isr1")->click();
  EXPECT_FALSE(box("bJmp_isr1")->isChecked());
  EXPECT_EQ(FlagsOf(*image, 0), (Bytes{0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(FlagsOf(*image, 1), (Bytes{0, 0, 0}));
  boxes.showFlashType(int(ConfigImage::kFlashTypeCount));
  EXPECT_EQ(boxes.flashType(), -1) << "an index past the table is no selection";
}

}  // namespace
}  // namespace kvx::ui
