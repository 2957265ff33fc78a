#include "ui/settings/port_records_page.h"

#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/settings/page_widgets.h"

namespace kvx::ui {

PortRecordsPage::PortRecordsPage(std::shared_ptr<const SettingsContext> ctx, QWidget* parent)
    : QWidget(parent), ctx_(std::move(ctx)) {
  setObjectName(QStringLiteral("TabSheet3"));
  list_ = new QListWidget(this);
  list_->setObjectName(QStringLiteral("PortList"));
  auto* clear = new QPushButton(QStringLiteral("清除端口记录"), this);
  clear->setObjectName(QStringLiteral("ClearPorts"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(2, 2, 2, 2);
  layout->addWidget(list_, 1);
  layout->addWidget(clear, 0, Qt::AlignRight);
  connect(clear, &QPushButton::clicked, this, [this] {
    if (ctx_->clearPorts) ctx_->clearPorts();
    load();
  });
  reload_.setInterval(1000);
  connect(&reload_, &QTimer::timeout, this, &PortRecordsPage::load);
}

void PortRecordsPage::load() {
  const std::vector<std::string> lines =
      ctx_->portList ? ctx_->portList() : std::vector<std::string>{};
  SetListItems(list_, lines, list_->currentRow() < int(lines.size()) ? list_->currentRow() : -1);
}

void PortRecordsPage::showEvent(QShowEvent* event) {
  load();
  reload_.start();
  QWidget::showEvent(event);
}

void PortRecordsPage::hideEvent(QHideEvent* event) {
  reload_.stop();
  QWidget::hideEvent(event);
}

}  // namespace kvx::ui
