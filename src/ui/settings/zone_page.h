#pragma once
// The page "分区信息设置" (TabSheet2): the zone split and the settings of
// the three zones.
//
// The split is three full bars side by side in a splitter. Dragging a
// splitter handle changes the bar widths in pixels; after every move the
// zone count and shares are computed from them (ZoneSplitLayout) and the
// bars that stand for a zone show its share. An outer bar dragged below one
// pixel collapses to zero, which removes its zone. The three widths are
// stored when the pages are left.

#include <QScrollArea>
#include <array>
#include <memory>

#include "ui/settings/settings_context.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QSplitter;

namespace kvx::ui {

class TextProgressBar;

// The bars share this many pixels; the stored widths of a split made here
// add up to it.
inline constexpr int kZoneSplitWidth = 550;

class ZonePage final : public QScrollArea {
  Q_OBJECT
 public:
  explicit ZonePage(std::shared_ptr<const SettingsContext> ctx, QWidget* parent = nullptr);

  void load();
  QSplitter* splitter() const { return splitter_; }

 private:
  QWidget* buildZone0(QWidget* parent);
  QWidget* buildZone1(QWidget* parent);
  QWidget* buildZone2(QWidget* parent);
  void barsMoved();
  void showSplit(const SettingsForm& f);
  void collect(const std::function<void(SettingsForm&)>& change);
  void diskTypeChanged(int zone, int item);

  std::shared_ptr<const SettingsContext> ctx_;
  QSplitter* splitter_ = nullptr;
  std::array<TextProgressBar*, 3> bars_{};
  std::array<QGroupBox*, 3> groups_{};
  std::array<QComboBox*, 3> diskType_{};
  std::array<QLineEdit*, 3> volumeLabel_{};
  QComboBox* bootType_ = nullptr;
  QLineEdit* zone0FixSize_ = nullptr;
  QLineEdit* zone1FixSize_ = nullptr;
  QLineEdit* zone0FilePath_ = nullptr;
  QLineEdit* zone1FilePath_ = nullptr;
  QLineEdit* isoFile_ = nullptr;
  QCheckBox* zone0ReadProtect_ = nullptr;
  QCheckBox* zone0WriteProtect_ = nullptr;
  QCheckBox* zone1WriteProtect_ = nullptr;
  QCheckBox* zone1Hide_ = nullptr;
  QCheckBox* zone2WriteProtect_ = nullptr;
  QCheckBox* zone2Hide_ = nullptr;
};

}  // namespace kvx::ui
