#pragma once
// The page "端口记录" (TabSheet3): the port map as "key=slot" lines and the
// button "清除端口记录", which forgets every mapping (the ini file's Ports
// section); the next refresh numbers the ports from slot 0 again. Port
// records themselves are not touched. The list is read again whenever the
// page is shown and once a second while it is visible, since every refresh
// may add lines.

#include <QTimer>
#include <QWidget>
#include <memory>

#include "ui/settings/settings_context.h"

class QListWidget;

namespace kvx::ui {

class PortRecordsPage final : public QWidget {
  Q_OBJECT
 public:
  explicit PortRecordsPage(std::shared_ptr<const SettingsContext> ctx, QWidget* parent = nullptr);
  void load();

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  std::shared_ptr<const SettingsContext> ctx_;
  QListWidget* list_ = nullptr;
  QTimer reload_;
};

}  // namespace kvx::ui
