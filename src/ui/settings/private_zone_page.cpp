#include "ui/settings/private_zone_page.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "ui/settings/page_widgets.h"

namespace kvx::ui {

PrivateZonePage::PrivateZonePage(std::shared_ptr<const SettingsContext> ctx, QWidget* parent)
    : QWidget(parent), ctx_(std::move(ctx)) {
  setObjectName(QStringLiteral("TabSheet5"));
  auto* g = NamedGroup(QStringLiteral("PrivateZone"), QStringLiteral("私密区设置"), this);
  size_ = NamedEdit(QStringLiteral("pZoneFixSize"), QStringLiteral("0"), g);
  password_ = NamedEdit(QStringLiteral("pZonePassword"), QString(), g);
  password_->setMaxLength(16);
  secure_ = NamedCheck(QStringLiteral("AutorSecure"), QStringLiteral("加密"), g);
  secure_->setChecked(true);
  auto* grid = new QGridLayout(g);
  grid->addWidget(NamedLabel(QStringLiteral("pZoneFixSizeLabel"), QStringLiteral("指定容量  "), g),
                  0, 0);
  grid->addWidget(size_, 0, 1);
  grid->addWidget(new QLabel(QStringLiteral("KB"), g), 0, 2);
  grid->addWidget(NamedLabel(QStringLiteral("pZonePasswordLabel"), QStringLiteral("访问密码"), g),
                  1, 0);
  grid->addWidget(password_, 1, 1);
  grid->addWidget(secure_, 2, 0, 1, 3);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(g);
  layout->addStretch(1);

  connect(size_, &QLineEdit::textEdited, this, [this](const QString& t) {
    auto lock = ctx_->lock();
    ctx_->pages.form().pZoneFixSize = S(t);
  });
  connect(password_, &QLineEdit::textEdited, this, [this](const QString& t) {
    auto lock = ctx_->lock();
    ctx_->pages.form().pZonePassword = S(t);
  });
  connect(secure_, &QCheckBox::toggled, this, [this](bool on) {
    auto lock = ctx_->lock();
    ctx_->pages.form().autorSecure = on;
    ctx_->pages.PublishLive();
  });
  load();
}

void PrivateZonePage::load() {
  SettingsForm f;
  {
    auto lock = ctx_->lock();
    f = ctx_->pages.form();
  }
  SetEditText(size_, f.pZoneFixSize);
  SetEditText(password_, f.pZonePassword);
  SetChecked(secure_, f.autorSecure);
}

}  // namespace kvx::ui
