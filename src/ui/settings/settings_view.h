#pragma once
// The settings view's pages, added to the window's settings tab control
// around the pages it already has: "闪存格式化设置", "分区信息设置",
// "代码配置" and "Flash 配置" before the debug and bad-page pages, the port
// records and "二次开发设置" after them. The first page is shown first.
//
// Also here:
// - the hidden-page switch: a mouse press with Ctrl held on FromBin10 or
//   MBin10 shows the engineering pages (code and flash configuration, data
//   view, bad-page view, port records) when BlockMode is ticked and hides
//   them when it is not;
// - opening "Flash 配置" refreshes its code-type lists and shows the
//   selected flash type again;
// - after the settings are saved (leaving the view, closing the window) the
//   production flash-type list shows what the save refilled;
// - the flash type and chip count that identification chooses show on the
//   first page (polled twice a second, never waiting for the lock).

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <memory>

#include "ui/settings/settings_context.h"

class QTabWidget;

namespace kvx {
class Station;
}

namespace kvx::ui {

class MainWindow;
class FormatPage;
class ZonePage;
class CodeConfigPage;
class FlashConfigPage;
class PortRecordsPage;
class PrivateZonePage;

class SettingsView final : public QObject {
  Q_OBJECT
 public:
  SettingsView(QTabWidget* tabs, SettingsContext ctx, QObject* parent = nullptr);

  // Every page from the model (after a language file set captions and texts).
  void load();
  // The save refilled the production flash-type list.
  void afterSave();
  // Shows or hides the engineering pages together.
  void setEngineeringPagesVisible(bool visible);

  FormatPage* formatPage() const { return format_; }
  ZonePage* zonePage() const { return zones_; }
  CodeConfigPage* codeConfigPage() const { return code_; }
  FlashConfigPage* flashConfigPage() const { return flash_; }
  PortRecordsPage* portRecordsPage() const { return ports_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::shared_ptr<const SettingsContext> ctx_;
  QTabWidget* tabs_;
  FormatPage* format_ = nullptr;
  ZonePage* zones_ = nullptr;
  CodeConfigPage* code_ = nullptr;
  FlashConfigPage* flash_ = nullptr;
  PortRecordsPage* ports_ = nullptr;
  PrivateZonePage* private_ = nullptr;
  QTimer follow_;
};

// Builds the pages into the window's settings view and binds them to the
// station: the zone count reaches the status bar, the bad-page page's
// ListWhileFormating box becomes a live option, and the station's save hook
// (set before) is followed by afterSave(). The view belongs to the window.
SettingsView* InstallSettingsView(MainWindow& window, Station& station, SettingsContext ctx);

}  // namespace kvx::ui
