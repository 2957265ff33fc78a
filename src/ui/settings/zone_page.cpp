#include "ui/settings/zone_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSplitter>
#include <QVBoxLayout>

#include "ui/settings/page_widgets.h"
#include "ui/text_progress_bar.h"

namespace kvx::ui {
namespace {

constexpr int kHandleWidth = 3;
constexpr int kBarHeight = 22;

// A path editor: the edit and a button that opens a picker.
QWidget* PathEditor(QLineEdit* edit, const std::function<QString(QWidget*)>& pick,
                    QWidget* parent) {
  auto* box = new QWidget(parent);
  auto* row = new QHBoxLayout(box);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(1);
  edit->setParent(box);
  auto* browse = new QPushButton(QStringLiteral("..."), box);
  browse->setObjectName(edit->objectName() + QStringLiteral("Browse"));
  browse->setFixedWidth(24);
  browse->setFocusPolicy(Qt::NoFocus);
  row->addWidget(edit, 1);
  row->addWidget(browse);
  QObject::connect(browse, &QPushButton::clicked, edit, [edit, pick, box] {
    const QString chosen = pick(box);
    if (chosen.isEmpty()) return;
    edit->setText(chosen);
    emit edit->textEdited(chosen);  // as if typed: the page collects it
  });
  return box;
}

QString PickFolder(QWidget* parent) {
  return QFileDialog::getExistingDirectory(parent);
}

QString PickFile(QWidget* parent) {
  return QFileDialog::getOpenFileName(parent, QString(), QString(),
                                      QStringLiteral("ISO (*.iso);;* (*)"));
}

}  // namespace

ZonePage::ZonePage(std::shared_ptr<const SettingsContext> ctx, QWidget* parent)
    : QScrollArea(parent), ctx_(std::move(ctx)) {
  setObjectName(QStringLiteral("TabSheet2"));
  setWidgetResizable(true);
  setFrameShape(QFrame::NoFrame);
  auto* content = new QWidget;
  auto* layout = new QVBoxLayout(content);
  layout->setContentsMargins(2, 2, 2, 2);

  // The panel keeps the bars' total width fixed; the splitter fills it.
  auto* panel = new QWidget(content);
  panel->setObjectName(QStringLiteral("ZonePanel"));
  panel->setFixedSize(kZoneSplitWidth + 2 * kHandleWidth, kBarHeight);
  splitter_ = new QSplitter(Qt::Horizontal, panel);
  splitter_->setObjectName(QStringLiteral("ZoneSplitter"));
  splitter_->setHandleWidth(kHandleWidth);
  splitter_->setChildrenCollapsible(true);
  splitter_->setOpaqueResize(true);  // the shares follow the drag
  // Its size before the page is first laid out, so restored widths apply as
  // they are instead of being scaled.
  splitter_->resize(panel->size());
  static const char* const kBarNames[3] = {"Zone0Bar", "Zone1Bar", "Zone2Bar"};
  for (std::size_t z = 0; z < 3; ++z) {
    auto* bar = new TextProgressBar(splitter_);
    bar->setObjectName(QString::fromLatin1(kBarNames[z]));
    bar->setRange(0, 100);
    bar->setValue(100);
    bar->setText(QString());
    // A bar may shrink to its one-pixel minimum; below it, it collapses.
    bar->setMinimumWidth(1);
    splitter_->addWidget(bar);
    bars_[z] = bar;
  }
  auto* panelLayout = new QHBoxLayout(panel);
  panelLayout->setContentsMargins(0, 0, 0, 0);
  panelLayout->addWidget(splitter_);
  connect(splitter_, &QSplitter::splitterMoved, this, [this] { barsMoved(); });
  layout->addWidget(panel, 0, Qt::AlignHCenter);

  auto* groups = new QHBoxLayout;
  groups->addWidget(buildZone0(content), 1);
  auto* right = new QVBoxLayout;
  right->addWidget(buildZone1(content));
  right->addWidget(buildZone2(content));
  groups->addLayout(right, 1);
  layout->addLayout(groups);
  layout->addStretch(1);
  setWidget(content);
  load();
}

void ZonePage::collect(const std::function<void(SettingsForm&)>& change) {
  auto lock = ctx_->lock();
  change(ctx_->pages.form());
}

void ZonePage::diskTypeChanged(int zone, int item) {
  auto lock = ctx_->lock();
  ctx_->pages.DiskTypeChanged(zone, item);
}

QWidget* ZonePage::buildZone0(QWidget* parent) {
  auto* g = NamedGroup(QStringLiteral("Zone0"), QStringLiteral("分区一设置"), parent);
  groups_[0] = g;
  auto* grid = new QGridLayout(g);
  grid->setVerticalSpacing(2);
  diskType_[0] = NamedCombo(
      QStringLiteral("DiskType_0"),
      {QStringLiteral("Removable"), QStringLiteral("Local"), QStringLiteral("CDROM")}, g);
  bootType_ = NamedCombo(
      QStringLiteral("BootType"),
      {QStringLiteral("NOBOOT"), QStringLiteral("USB_ZIP32"), QStringLiteral("USB_ZIP63"),
       QStringLiteral("USB_HDD"), QStringLiteral("USB_CDROM")},
      g);
  volumeLabel_[0] = NamedEdit(QStringLiteral("VolumLabel_0"), QString(), g);
  zone0FixSize_ = NamedEdit(QStringLiteral("Zone0FixSize"), QStringLiteral("0"), g);
  zone0FilePath_ = NamedEdit(QStringLiteral("Zone0FilePath"), QString(), g);
  isoFile_ = NamedEdit(QStringLiteral("IsoFile"), QString(), g);
  zone0ReadProtect_ = NamedCheck(QStringLiteral("Zone0ReadProtect"), QStringLiteral("读保护"), g);
  zone0WriteProtect_ = NamedCheck(QStringLiteral("Zone0WriteProtect"), QStringLiteral("写保护"), g);
  grid->addWidget(diskType_[0], 0, 0, 1, 2);
  grid->addWidget(bootType_, 0, 2, 1, 2);
  grid->addWidget(NamedLabel(QStringLiteral("VolumLabelLabel_0"), QStringLiteral("卷标"), g), 1, 0);
  grid->addWidget(volumeLabel_[0], 1, 1, 1, 3);
  grid->addWidget(NamedLabel(QStringLiteral("Zone0FixSizeLabel"), QStringLiteral("指定容量  "), g),
                  2, 0);
  grid->addWidget(zone0FixSize_, 2, 1, 1, 2);
  grid->addWidget(new QLabel(QStringLiteral("MB"), g), 2, 3);
  grid->addWidget(NamedLabel(QStringLiteral("Zone0FilePathLabel"), QStringLiteral("目录  "), g), 3,
                  0);
  grid->addWidget(PathEditor(zone0FilePath_, PickFolder, g), 3, 1, 1, 3);
  grid->addWidget(NamedLabel(QStringLiteral("IsoFileLabel"), QStringLiteral("ISO:"), g), 4, 0);
  grid->addWidget(PathEditor(isoFile_, PickFile, g), 4, 1, 1, 3);
  grid->addWidget(zone0ReadProtect_, 5, 0, 1, 2);
  grid->addWidget(zone0WriteProtect_, 5, 2, 1, 2);

  connect(diskType_[0], &QComboBox::currentIndexChanged, this,
          [this](int item) { diskTypeChanged(0, item); });
  connect(bootType_, &QComboBox::currentIndexChanged, this,
          [this](int i) { collect([i](SettingsForm& f) { f.bootType = i; }); });
  connect(volumeLabel_[0], &QLineEdit::textEdited, this, [this](const QString& t) {
    collect([&](SettingsForm& f) { f.volumeLabels[0] = S(t); });
  });
  connect(zone0FixSize_, &QLineEdit::textEdited, this,
          [this](const QString& t) { collect([&](SettingsForm& f) { f.zone0FixSize = S(t); }); });
  // Jobs take the zone 0 folder from the stored settings: it reaches them
  // when the pages are left.
  connect(zone0FilePath_, &QLineEdit::textEdited, this,
          [this](const QString& t) { collect([&](SettingsForm& f) { f.zone0FilePath = S(t); }); });
  connect(isoFile_, &QLineEdit::textEdited, this,
          [this](const QString& t) { collect([&](SettingsForm& f) { f.isoFile = S(t); }); });
  connect(zone0ReadProtect_, &QCheckBox::toggled, this,
          [this](bool on) { collect([on](SettingsForm& f) { f.zone0ReadProtect = on; }); });
  connect(zone0WriteProtect_, &QCheckBox::toggled, this, [this](bool on) {
    auto lock = ctx_->lock();
    ctx_->pages.form().zone0WriteProtect = on;
    ctx_->pages.PublishLive();
  });
  return g;
}

QWidget* ZonePage::buildZone1(QWidget* parent) {
  auto* g = NamedGroup(QStringLiteral("Zone1"), QStringLiteral("分区二设置"), parent);
  groups_[1] = g;
  auto* grid = new QGridLayout(g);
  grid->setVerticalSpacing(2);
  diskType_[1] = NamedCombo(
      QStringLiteral("DiskType_1"),
      {QStringLiteral("Removable"), QStringLiteral("Local"), QStringLiteral("CDROM")}, g);
  volumeLabel_[1] = NamedEdit(QStringLiteral("VolumLabel_1"), QString(), g);
  zone1FixSize_ = NamedEdit(QStringLiteral("Zone1FixSize"), QStringLiteral("0"), g);
  zone1FilePath_ = NamedEdit(QStringLiteral("Zone1FilePath"), QString(), g);
  zone1WriteProtect_ = NamedCheck(QStringLiteral("Zone1WriteProtect"), QStringLiteral("写保护"), g);
  zone1Hide_ = NamedCheck(QStringLiteral("Zone1Hide"), QStringLiteral("隐藏"), g);
  grid->addWidget(diskType_[1], 0, 0, 1, 2);
  grid->addWidget(NamedLabel(QStringLiteral("VolumLabelLabel_1"), QStringLiteral("卷标"), g), 0, 2);
  grid->addWidget(volumeLabel_[1], 0, 3);
  grid->addWidget(NamedLabel(QStringLiteral("Zone1FixSizeLabel"), QStringLiteral("指定容量  "), g),
                  1, 0);
  grid->addWidget(zone1FixSize_, 1, 1, 1, 2);
  grid->addWidget(new QLabel(QStringLiteral("MB"), g), 1, 3);
  grid->addWidget(NamedLabel(QStringLiteral("Zone1FilePathLabel"), QStringLiteral("目录  "), g), 2,
                  0);
  grid->addWidget(PathEditor(zone1FilePath_, PickFolder, g), 2, 1, 1, 3);
  grid->addWidget(zone1WriteProtect_, 3, 0, 1, 2);
  grid->addWidget(zone1Hide_, 3, 2, 1, 2);

  connect(diskType_[1], &QComboBox::currentIndexChanged, this,
          [this](int item) { diskTypeChanged(1, item); });
  connect(volumeLabel_[1], &QLineEdit::textEdited, this, [this](const QString& t) {
    collect([&](SettingsForm& f) { f.volumeLabels[1] = S(t); });
  });
  connect(zone1FixSize_, &QLineEdit::textEdited, this,
          [this](const QString& t) { collect([&](SettingsForm& f) { f.zone1FixSize = S(t); }); });
  connect(zone1FilePath_, &QLineEdit::textEdited, this,
          [this](const QString& t) { collect([&](SettingsForm& f) { f.zone1FilePath = S(t); }); });
  connect(zone1WriteProtect_, &QCheckBox::toggled, this,
          [this](bool on) { collect([on](SettingsForm& f) { f.zone1WriteProtect = on; }); });
  connect(zone1Hide_, &QCheckBox::toggled, this,
          [this](bool on) { collect([on](SettingsForm& f) { f.zone1Hide = on; }); });
  return g;
}

QWidget* ZonePage::buildZone2(QWidget* parent) {
  auto* g = NamedGroup(QStringLiteral("Zone2"), QStringLiteral("分区三设置"), parent);
  groups_[2] = g;
  auto* grid = new QGridLayout(g);
  grid->setVerticalSpacing(2);
  diskType_[2] = NamedCombo(QStringLiteral("DiskType_2"),
                            {QStringLiteral("Removable"), QStringLiteral("Local")}, g);
  volumeLabel_[2] = NamedEdit(QStringLiteral("VolumLabel_2"), QString(), g);
  zone2WriteProtect_ = NamedCheck(QStringLiteral("Zone2WriteProtect"), QStringLiteral("写保护"), g);
  zone2Hide_ = NamedCheck(QStringLiteral("Zone2Hide"), QStringLiteral("隐藏"), g);
  grid->addWidget(diskType_[2], 0, 0, 1, 2);
  grid->addWidget(NamedLabel(QStringLiteral("VolumLabelLabel_2"), QStringLiteral("卷标"), g), 0, 2);
  grid->addWidget(volumeLabel_[2], 0, 3);
  grid->addWidget(zone2WriteProtect_, 1, 0, 1, 2);
  grid->addWidget(zone2Hide_, 1, 2, 1, 2);

  connect(diskType_[2], &QComboBox::currentIndexChanged, this,
          [this](int item) { diskTypeChanged(2, item); });
  connect(volumeLabel_[2], &QLineEdit::textEdited, this, [this](const QString& t) {
    collect([&](SettingsForm& f) { f.volumeLabels[2] = S(t); });
  });
  connect(zone2WriteProtect_, &QCheckBox::toggled, this,
          [this](bool on) { collect([on](SettingsForm& f) { f.zone2WriteProtect = on; }); });
  connect(zone2Hide_, &QCheckBox::toggled, this,
          [this](bool on) { collect([on](SettingsForm& f) { f.zone2Hide = on; }); });
  return g;
}

void ZonePage::barsMoved() {
  const QList<int> sizes = splitter_->sizes();
  if (sizes.size() != 3) return;
  SettingsForm f;
  {
    auto lock = ctx_->lock();
    ctx_->pages.ZoneBarsMoved(sizes[0], sizes[1], sizes[2]);
    f = ctx_->pages.form();
  }
  showSplit(f);
}

void ZonePage::showSplit(const SettingsForm& f) {
  for (std::size_t b = 0; b < 3; ++b) bars_[b]->setText(Q(f.zoneBarTexts[b]));
  // A group whose zone does not exist is disabled, its caption drawn grey.
  groups_[1]->setEnabled(f.zone1GroupEnabled);
  groups_[2]->setEnabled(f.zone2GroupEnabled);
  if (ctx_->zonesChanged) ctx_->zonesChanged(f.split.activeZoneCount);
}

void ZonePage::load() {
  SettingsForm f;
  {
    auto lock = ctx_->lock();
    f = ctx_->pages.form();
  }
  // A fresh image has no widths: the middle bar then takes the whole split.
  QList<int> sizes{f.zoneBarWidths[0], f.zoneBarWidths[1], f.zoneBarWidths[2]};
  if (sizes[0] + sizes[1] + sizes[2] <= 0) sizes = {0, kZoneSplitWidth, 0};
  splitter_->setSizes(sizes);
  showSplit(f);
  for (std::size_t z = 0; z < 3; ++z) {
    SetComboIndex(diskType_[z], f.diskTypeItems[z]);
    SetEditText(volumeLabel_[z], f.volumeLabels[z]);
  }
  SetComboIndex(bootType_, f.bootType);
  SetEditText(zone0FixSize_, f.zone0FixSize);
  SetEditText(zone1FixSize_, f.zone1FixSize);
  SetEditText(zone0FilePath_, f.zone0FilePath);
  SetEditText(zone1FilePath_, f.zone1FilePath);
  SetEditText(isoFile_, f.isoFile);
  SetChecked(zone0ReadProtect_, f.zone0ReadProtect);
  SetChecked(zone0WriteProtect_, f.zone0WriteProtect);
  SetChecked(zone1WriteProtect_, f.zone1WriteProtect);
  SetChecked(zone1Hide_, f.zone1Hide);
  SetChecked(zone2WriteProtect_, f.zone2WriteProtect);
  SetChecked(zone2Hide_, f.zone2Hide);
}

}  // namespace kvx::ui
