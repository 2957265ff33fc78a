#include "ui/jump_flag_boxes.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QSignalBlocker>
#include <utility>

namespace kvx::ui {

namespace {
constexpr std::size_t J1 = FlashTypeRecord::kJumpFlags1, J2 = FlashTypeRecord::kJumpFlags2,
                      J3 = FlashTypeRecord::kJumpFlags3;
}  // namespace

// The reserved bits (RsvByte...) are set like the others.
const std::array<JumpFlag, kJumpFlagCount> kJumpFlags = {{
    {"bJmp_mainloop", J1, 0},
    {"bJmp_isr0", J1, 1},
    {"bJmp_isr1", J1, 2},
    {"bJmp_TIMER1_intr", J1, 3},
    {"bJmp_SofErrCheck", J1, 4},
    {"bJmp_ProcCbw", J1, 5},
    {"bJmp_SendCsw", J1, 6},
    {"bJmp_PrivateCmd", J1, 7},
    {"bJmpEcc_correct_data", J2, 0},
    {"bJmpPHY_PbaEraseBlk", J2, 1},
    {"bJmpPHY_PbaRdSectors", J2, 2},
    {"bJmpPHY_PbaWrSectors", J2, 3},
    {"bJmpPHY_PbaReadSpare", J2, 4},
    {"bJmpPHY_PbaRdSectors2Buf", J2, 5},
    {"bJmpPHY_NAND_SelFlash", J2, 6},
    {"RsvByte1Bit7", J2, 7},
    {"bJmpLOG_RdFlash", J3, 0},
    {"bJmpLOG_WrFlash", J3, 1},
    {"bJmpLOG_CpLastSector", J3, 2},
    {"bJmpBZ_GetZoneTbl", J3, 3},
    {"bJmpBZ_GetBlkState", J3, 4},
    {"bJmpBZ_illegal_sel_blk", J3, 5},
    {"RsvByte2Bit6", J3, 6},
    {"RsvByte2Bit7", J3, 7},
}};

JumpFlagBoxes::JumpFlagBoxes(ConfigImage& image, QWidget* parent) : QWidget(parent), image_(image) {
  setObjectName(QStringLiteral("JumpFlags"));
  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setVerticalSpacing(0);
  for (std::size_t i = 0; i < kJumpFlagCount; ++i) {
    const QString name = QString::fromLatin1(kJumpFlags[i].name);
    auto* box = new QCheckBox(name, this);
    box->setObjectName(name);
    // One column per byte, bit 0 at the top.
    grid->addWidget(box, kJumpFlags[i].bit, int(i / 8));
    connect(box, &QCheckBox::clicked, this, [this, i](bool ticked) { boxClicked(i, ticked); });
    boxes_[i] = box;
  }
}

void JumpFlagBoxes::showFlashType(int index) {
  index_ = index >= 0 && index < int(ConfigImage::kFlashTypeCount) ? index : -1;
  for (std::size_t i = 0; i < kJumpFlagCount; ++i) {
    const QSignalBlocker quiet(boxes_[i]);
    const bool on = index_ >= 0 && std::as_const(image_)
                                       .flashTypeRecord(std::size_t(index_))
                                       .bit(kJumpFlags[i].offset, kJumpFlags[i].bit);
    boxes_[i]->setChecked(on);
  }
}

void JumpFlagBoxes::boxClicked(std::size_t flag, bool ticked) {
  if (index_ < 0) {
    // Nothing selected: the box does not keep a state it cannot store.
    const QSignalBlocker quiet(boxes_[flag]);
    boxes_[flag]->setChecked(false);
    return;
  }
  image_.flashTypeRecord(std::size_t(index_))
      .setBit(kJumpFlags[flag].offset, kJumpFlags[flag].bit, ticked);
  emit flagChanged();
}

}  // namespace kvx::ui
