#include "ui/settings/settings_view.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTabWidget>

#include "engine/station.h"
#include "ui/main_window.h"
#include "ui/settings/code_config_page.h"
#include "ui/settings/flash_config_page.h"
#include "ui/settings/format_page.h"
#include "ui/settings/port_records_page.h"
#include "ui/settings/private_zone_page.h"
#include "ui/settings/zone_page.h"

namespace kvx::ui {
namespace {

constexpr const char* kEngineeringPages[] = {"CodeConfig", "FlashConfig", "Debug", "BadView",
                                             "TabSheet3"};

int PageIndex(QTabWidget* tabs, const char* name) {
  for (int i = 0; i < tabs->count(); ++i)
    if (tabs->widget(i)->objectName() == QLatin1String(name)) return i;
  return -1;
}

}  // namespace

SettingsView::SettingsView(QTabWidget* tabs, SettingsContext ctx, QObject* parent)
    : QObject(parent), ctx_(std::make_shared<const SettingsContext>(std::move(ctx))), tabs_(tabs) {
  setObjectName(QStringLiteral("SettingsView"));
  format_ = new FormatPage(ctx_);
  zones_ = new ZonePage(ctx_);
  code_ = new CodeConfigPage(ctx_);
  flash_ = new FlashConfigPage(ctx_);
  ports_ = new PortRecordsPage(ctx_);
  private_ = new PrivateZonePage(ctx_);

  // Ahead of the debug page when there is one, else ahead of the bad pages.
  int at = PageIndex(tabs, "Debug");
  if (at < 0) at = PageIndex(tabs, "BadView");
  if (at < 0) at = tabs->count();
  tabs->insertTab(at, format_, QStringLiteral("闪存格式化设置"));
  tabs->insertTab(at + 1, zones_, QStringLiteral("分区信息设置"));
  tabs->insertTab(at + 2, code_, QStringLiteral("代码配置"));
  tabs->insertTab(at + 3, flash_, QStringLiteral("Flash 配置"));
  tabs->addTab(ports_, QStringLiteral("端口记录"));
  tabs->addTab(private_, QStringLiteral("二次开发设置"));
  tabs->setCurrentWidget(format_);

  connect(tabs, &QTabWidget::currentChanged, this, [this](int index) {
    if (tabs_->widget(index) == flash_) flash_->opened();
  });
  for (QLineEdit* edit : {format_->fromBin(9), format_->mBin(9)}) edit->installEventFilter(this);

  follow_.setInterval(500);
  connect(&follow_, &QTimer::timeout, format_, &FormatPage::followIdentification);
  follow_.start();
}

void SettingsView::load() {
  format_->load();
  zones_->load();
  code_->load();
  flash_->load();
  ports_->load();
  private_->load();
}

void SettingsView::afterSave() {
  format_->load();
}

void SettingsView::setEngineeringPagesVisible(bool visible) {
  for (const char* name : kEngineeringPages)
    if (const int i = PageIndex(tabs_, name); i >= 0) tabs_->setTabVisible(i, visible);
}

bool SettingsView::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonPress &&
      (static_cast<QMouseEvent*>(event)->modifiers() & Qt::ControlModifier))
    setEngineeringPagesVisible(format_->blockMode()->isChecked());
  return QObject::eventFilter(watched, event);
}

SettingsView* InstallSettingsView(MainWindow& window, Station& station, SettingsContext ctx) {
  QPointer<MainWindow> w(&window);
  ctx.zonesChanged = [w](int zones) {
    if (w) w->setActiveZoneCount(zones);
  };
  SettingsPages& pages = ctx.pages;
  std::mutex& mutex = ctx.mutex;
  auto* view = new SettingsView(window.settingsPages(), std::move(ctx), &window);

  // ListWhileFormating on the bad-page page is read by running jobs.
  if (auto* list = window.findChild<QCheckBox*>(QStringLiteral("ListWhileFormating"))) {
    QObject::connect(list, &QCheckBox::toggled, view, [&pages, &mutex](bool on) {
      std::lock_guard lock(mutex);
      pages.form().listWhileFormating = on;
      pages.PublishLive();
    });
  }

  QPointer<SettingsView> v(view);
  auto save = station.hooks().saveSettings;
  station.hooks().saveSettings = [save, v] {
    if (save) save();
    if (v) v->afterSave();
  };
  return view;
}

}  // namespace kvx::ui
