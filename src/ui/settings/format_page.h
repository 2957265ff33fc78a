#pragma once
// The page "闪存格式化设置" (TabSheet1): the production flash type and chip
// count, the format and scan options, the product identity and the fifteen
// capacity bins. The scan level, ECC option, block mode, soldering check,
// serial mode, scan passes, level count and bins write the image or a
// working value at once; the live choices are published to running jobs as
// they change; everything else is kept in the form until the pages are left.

#include <QScrollArea>
#include <array>
#include <memory>

#include "ui/settings/settings_context.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QRadioButton;
class QSpinBox;

namespace kvx::ui {

class FormatPage final : public QScrollArea {
  Q_OBJECT
 public:
  explicit FormatPage(std::shared_ptr<const SettingsContext> ctx, QWidget* parent = nullptr);

  // Every control from the form.
  void load();
  // Identification may choose the flash type and chip count (under the
  // lock, on the refresh thread): the two controls follow. Skipped while the
  // lock is taken.
  void followIdentification();

  QCheckBox* blockMode() const { return blockMode_; }
  QLineEdit* fromBin(int row) const { return fromBin_[std::size_t(row)]; }
  QLineEdit* mBin(int row) const { return mBin_[std::size_t(row)]; }

 private:
  QWidget* buildFlashGroup(QWidget* parent);
  QWidget* buildFormatGroup(QWidget* parent);
  QWidget* buildProductGroup(QWidget* parent);
  QWidget* buildBinGroup(QWidget* parent);
  // Runs `change` on the form under the lock, then publishes the live options.
  void live(const std::function<void(SettingsForm&)>& change);
  void collect(const std::function<void(SettingsForm&)>& change);
  void showScanLevels();

  std::shared_ptr<const SettingsContext> ctx_;
  QComboBox* flashTypeList_ = nullptr;
  QSpinBox* flashCount_ = nullptr;
  QCheckBox* autoSelect_ = nullptr;
  QCheckBox* onlyScan_ = nullptr;
  QCheckBox* preTest_ = nullptr;
  QSpinBox* levelCount_ = nullptr;
  std::array<QLineEdit*, 6> blockRange_{};
  QRadioButton* good_ = nullptr;
  QRadioButton* bad_ = nullptr;
  QComboBox* scanLevel_ = nullptr;
  QComboBox* eccOpen_ = nullptr;
  QCheckBox* oddPageAllBad_ = nullptr;
  QCheckBox* evenPageAllBad_ = nullptr;
  QCheckBox* logicScan_ = nullptr;
  QCheckBox* randomData_ = nullptr;
  QCheckBox* blockMode_ = nullptr;
  QLineEdit* scanCount_ = nullptr;
  QCheckBox* highChipCheck_ = nullptr;
  QLineEdit* vendorCode_ = nullptr;
  QLineEdit* productCode_ = nullptr;
  QLineEdit* vendorInfo_ = nullptr;
  QLineEdit* productInfo_ = nullptr;
  QComboBox* ledStatus_ = nullptr;
  QComboBox* workLed_ = nullptr;
  QLineEdit* serialNumber_ = nullptr;
  QLineEdit* serialStartValue_ = nullptr;
  std::array<QRadioButton*, 3> serialMode_{};
  std::array<QLineEdit*, 15> fromBin_{}, mBin_{}, toBin_{};
};

}  // namespace kvx::ui
