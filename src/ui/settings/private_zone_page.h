#pragma once
// The page "二次开发设置" (TabSheet5), group "私密区设置": the private
// zone's size in kilobytes and its access password, stored when the pages
// are left, and "加密", which running jobs read when they write the
// private-zone record.

#include <QWidget>
#include <memory>

#include "ui/settings/settings_context.h"

class QCheckBox;
class QLineEdit;

namespace kvx::ui {

class PrivateZonePage final : public QWidget {
  Q_OBJECT
 public:
  explicit PrivateZonePage(std::shared_ptr<const SettingsContext> ctx, QWidget* parent = nullptr);
  void load();

 private:
  std::shared_ptr<const SettingsContext> ctx_;
  QLineEdit* size_ = nullptr;
  QLineEdit* password_ = nullptr;
  QCheckBox* secure_ = nullptr;
};

}  // namespace kvx::ui
