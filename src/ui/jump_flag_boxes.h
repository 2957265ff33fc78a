#pragma once
// The 24 jump-flag check boxes of the flash-type editor: single bits of the
// flash type's bytes 98, 99 and 100 (JumpFlags1..3), which the controller's
// firmware receives with the flash parameters. Each box is named after the
// firmware routine its bit concerns; bit 0 is the least significant.
//
// The boxes show the flash type the editor has selected; ticking or
// unticking a box sets or clears its one bit in the settings image and
// leaves the other seven. With no flash type selected the boxes change
// nothing. Saving the image is the settings view's business.
//
// For the flash-type editor page to embed: call showFlashType() whenever its
// selection changes.

#include <QWidget>
#include <array>

#include "config/config_image.h"

class QCheckBox;

namespace kvx::ui {

struct JumpFlag {
  const char* name;    // object name of the box
  std::size_t offset;  // byte within the flash-type record
  int bit;
};
inline constexpr std::size_t kJumpFlagCount = 24;
extern const std::array<JumpFlag, kJumpFlagCount> kJumpFlags;

class JumpFlagBoxes : public QWidget {
  Q_OBJECT
 public:
  explicit JumpFlagBoxes(ConfigImage& image, QWidget* parent = nullptr);

  // Loads the boxes from flash type `index`; -1 (or any index outside the
  // table) means no selection: every box unticked and inert.
  void showFlashType(int index);
  int flashType() const { return index_; }
  QCheckBox* box(std::size_t flag) const { return boxes_[flag]; }

 signals:
  // A box changed a bit of the shown flash type.
  void flagChanged();

 private:
  void boxClicked(std::size_t flag, bool ticked);

  ConfigImage& image_;
  int index_ = -1;
  std::array<QCheckBox*, kJumpFlagCount> boxes_{};
};

}  // namespace kvx::ui
