#include "ui/settings/format_page.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>

#include "config/config_image.h"
#include "ui/settings/page_widgets.h"

namespace kvx::ui {
namespace {

using I = ConfigImage;

QSpinBox* NamedSpin(const QString& name, int lo, int hi, QWidget* parent) {
  auto* s = new QSpinBox(parent);
  s->setObjectName(name);
  s->setRange(lo, hi);
  return s;
}

void SetSpin(QSpinBox* spin, int value) {
  if (spin->value() == value) return;
  const QSignalBlocker block(spin);
  spin->setValue(value);
}

void SetRadio(QRadioButton* radio, bool on) {
  if (radio->isChecked() == on) return;
  const QSignalBlocker block(radio);
  radio->setChecked(on);
}

}  // namespace

FormatPage::FormatPage(std::shared_ptr<const SettingsContext> ctx, QWidget* parent)
    : QScrollArea(parent), ctx_(std::move(ctx)) {
  setObjectName(QStringLiteral("TabSheet1"));
  setWidgetResizable(true);
  setFrameShape(QFrame::NoFrame);
  auto* content = new QWidget;
  auto* grid = new QGridLayout(content);
  grid->setContentsMargins(2, 2, 2, 2);
  grid->setSpacing(4);
  grid->addWidget(buildFlashGroup(content), 0, 0);
  grid->addWidget(buildProductGroup(content), 1, 0);
  grid->addWidget(buildFormatGroup(content), 0, 1, 2, 1);
  grid->addWidget(buildBinGroup(content), 2, 0, 1, 2);
  grid->setRowStretch(3, 1);
  setWidget(content);
  load();
}

void FormatPage::live(const std::function<void(SettingsForm&)>& change) {
  auto lock = ctx_->lock();
  change(ctx_->pages.form());
  ctx_->pages.PublishLive();
}

void FormatPage::collect(const std::function<void(SettingsForm&)>& change) {
  auto lock = ctx_->lock();
  change(ctx_->pages.form());
}

QWidget* FormatPage::buildFlashGroup(QWidget* parent) {
  auto* g = NamedGroup(QStringLiteral("FlashGroup"), QStringLiteral("闪存设置"), parent);
  auto* grid = new QGridLayout(g);
  flashTypeList_ = NamedCombo(QStringLiteral("FlashTypeList"), {}, g);
  flashTypeList_->setMinimumContentsLength(10);
  flashCount_ = NamedSpin(QStringLiteral("FlashCount"), 0, 255, g);
  autoSelect_ = NamedCheck(QStringLiteral("AutoSelect"), QStringLiteral("自动选择"), g);
  grid->addWidget(NamedLabel(QStringLiteral("FlashTypeLabel"), QStringLiteral("型号"), g), 0, 0);
  grid->addWidget(flashTypeList_, 0, 1, 1, 3);
  grid->addWidget(NamedLabel(QStringLiteral("FlashCountLabel"), QStringLiteral("片数"), g), 1, 0);
  grid->addWidget(flashCount_, 1, 1);
  grid->addWidget(autoSelect_, 1, 2, 1, 2);

  connect(flashTypeList_, &QComboBox::currentIndexChanged, this,
          [this](int i) { collect([i](SettingsForm& f) { f.flashTypeSelection = i; }); });
  connect(flashCount_, &QSpinBox::valueChanged, this,
          [this](int v) { collect([v](SettingsForm& f) { f.flashCount = v; }); });
  connect(autoSelect_, &QCheckBox::toggled, this,
          [this](bool on) { collect([on](SettingsForm& f) { f.autoSelect = on; }); });
  return g;
}

QWidget* FormatPage::buildFormatGroup(QWidget* parent) {
  auto* g = NamedGroup(QStringLiteral("FormatGroup"), QStringLiteral("格式化设置"), parent);
  auto* grid = new QGridLayout(g);
  grid->setVerticalSpacing(2);
  onlyScan_ = NamedCheck(QStringLiteral("OnlyScan"), QStringLiteral("仅扫描坏块"), g);
  preTest_ = NamedCheck(QStringLiteral("PreTest"), QStringLiteral("预扫描"), g);
  grid->addWidget(onlyScan_, 0, 0, 1, 2);
  grid->addWidget(preTest_, 0, 2, 1, 2);

  levelCount_ = NamedSpin(QStringLiteral("LevelCount"), I::kMinLevelCount, I::kMaxLevelCount, g);
  grid->addWidget(
      NamedLabel(QStringLiteral("LevelCountLabel"), QStringLiteral("增减扫描级别数"), g), 1, 0, 1,
      2);
  grid->addWidget(levelCount_, 1, 2);

  static const char* const kRangeNames[6] = {"FromBlock", "ToBlock",    "FromBlock1",
                                             "ToBlock1",  "FromBlock2", "ToBlock2"};
  for (int pair = 0; pair < 3; ++pair) {
    auto* from = NamedEdit(QString::fromLatin1(kRangeNames[2 * pair]), QStringLiteral("0"), g);
    auto* to = NamedEdit(QString::fromLatin1(kRangeNames[2 * pair + 1]), QStringLiteral("0"), g);
    from->setMaximumWidth(60);
    to->setMaximumWidth(60);
    blockRange_[std::size_t(2 * pair)] = from;
    blockRange_[std::size_t(2 * pair + 1)] = to;
    grid->addWidget(from, 2 + pair, 0);
    grid->addWidget(new QLabel(QStringLiteral("到"), g), 2 + pair, 1, Qt::AlignCenter);
    grid->addWidget(to, 2 + pair, 2);
  }
  for (std::size_t k = 0; k < 6; ++k) {
    // Only the first range is read by running jobs; the others are stored only.
    connect(blockRange_[k], &QLineEdit::textEdited, this, [this, k](const QString& t) {
      live([&](SettingsForm& f) { f.blockRange[k] = S(t); });
    });
  }
  good_ = new QRadioButton(QStringLiteral("好块"), g);
  good_->setObjectName(QStringLiteral("Good"));
  bad_ = new QRadioButton(QStringLiteral("坏块"), g);
  bad_->setObjectName(QStringLiteral("Bad"));
  bad_->setChecked(true);
  auto* marks = new QButtonGroup(g);
  marks->addButton(good_);
  marks->addButton(bad_);
  grid->addWidget(good_, 2, 3);
  grid->addWidget(bad_, 3, 3);
  connect(good_, &QRadioButton::toggled, this,
          [this](bool on) { live([on](SettingsForm& f) { f.markGoodBlocks = on; }); });

  scanLevel_ = NamedCombo(QStringLiteral("ScanLevel"), {}, g);
  scanLevel_->setMinimumContentsLength(8);
  scanLevel_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  grid->addWidget(NamedLabel(QStringLiteral("ScanLevelLabel"), QStringLiteral("扫描级别"), g), 5,
                  0);
  grid->addWidget(scanLevel_, 5, 1, 1, 3);
  eccOpen_ = NamedCombo(QStringLiteral("EccOpen"), {}, g);
  eccOpen_->setMinimumContentsLength(8);
  eccOpen_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  grid->addWidget(NamedLabel(QStringLiteral("EccOpenLabel"), QStringLiteral("ECC开放"), g), 6, 0);
  grid->addWidget(eccOpen_, 6, 1, 1, 3);

  oddPageAllBad_ = NamedCheck(QStringLiteral("OddPageAllBad"), QStringLiteral("奇数页全坏"), g);
  evenPageAllBad_ = NamedCheck(QStringLiteral("EvenPageAllBad"), QStringLiteral("偶数页全坏"), g);
  grid->addWidget(oddPageAllBad_, 7, 0, 1, 2);
  grid->addWidget(evenPageAllBad_, 7, 2, 1, 2);
  // Two choices jobs read that the operator is never shown.
  logicScan_ = NamedCheck(QStringLiteral("LogicScan"), QStringLiteral("逻辑扫描"), g);
  randomData_ = NamedCheck(QStringLiteral("RandomData"), QStringLiteral("随机数模式"), g);
  logicScan_->setVisible(false);
  randomData_->setVisible(false);
  blockMode_ = NamedCheck(QStringLiteral("BlockMode"), QStringLiteral("Block模式"), g);
  highChipCheck_ =
      NamedCheck(QStringLiteral("HighChipCheck"), QStringLiteral("多片高格焊接检查"), g);
  grid->addWidget(blockMode_, 8, 0, 1, 2);
  grid->addWidget(highChipCheck_, 9, 0, 1, 4);
  scanCount_ = NamedEdit(QStringLiteral("ScanCount"), QStringLiteral("0"), g);
  scanCount_->setMaximumWidth(40);
  grid->addWidget(NamedLabel(QStringLiteral("ScanCountLabel"), QStringLiteral("扫描通过遍数："), g),
                  8, 2);
  grid->addWidget(scanCount_, 8, 3);

  connect(onlyScan_, &QCheckBox::toggled, this,
          [this](bool on) { live([on](SettingsForm& f) { f.onlyScan = on; }); });
  connect(preTest_, &QCheckBox::toggled, this,
          [this](bool on) { live([on](SettingsForm& f) { f.preTest = on; }); });
  connect(oddPageAllBad_, &QCheckBox::toggled, this,
          [this](bool on) { live([on](SettingsForm& f) { f.oddPageAllBad = on; }); });
  connect(evenPageAllBad_, &QCheckBox::toggled, this,
          [this](bool on) { live([on](SettingsForm& f) { f.evenPageAllBad = on; }); });
  connect(logicScan_, &QCheckBox::toggled, this,
          [this](bool on) { live([on](SettingsForm& f) { f.logicScan = on; }); });
  connect(randomData_, &QCheckBox::toggled, this,
          [this](bool on) { live([on](SettingsForm& f) { f.randomData = on; }); });
  connect(blockMode_, &QCheckBox::toggled, this, [this](bool on) {
    auto lock = ctx_->lock();
    ctx_->pages.BlockModeChanged(on);
  });
  connect(highChipCheck_, &QCheckBox::toggled, this, [this](bool on) {
    auto lock = ctx_->lock();
    ctx_->pages.HighChipCheckChanged(on);
  });
  connect(scanLevel_, &QComboBox::currentIndexChanged, this, [this](int item) {
    auto lock = ctx_->lock();
    ctx_->pages.ScanLevelChanged(item);
  });
  connect(eccOpen_, &QComboBox::currentIndexChanged, this, [this](int item) {
    auto lock = ctx_->lock();
    ctx_->pages.EccOpenChanged(item);
  });
  connect(levelCount_, &QSpinBox::valueChanged, this, [this](int value) {
    {
      auto lock = ctx_->lock();
      ctx_->pages.LevelCountChanged(value);
    }
    showScanLevels();
  });
  connect(scanCount_, &QLineEdit::textEdited, this, [this](const QString& t) {
    EditResult r;
    {
      auto lock = ctx_->lock();
      r = ctx_->pages.ScanCountChanged(S(t));
    }
    if (!r.replacementText.empty()) SetEditText(scanCount_, r.replacementText);
    ctx_->report(r);
  });
  return g;
}

QWidget* FormatPage::buildProductGroup(QWidget* parent) {
  auto* g = NamedGroup(QStringLiteral("ProductGroup"), QStringLiteral("产品信息设置"), parent);
  auto* grid = new QGridLayout(g);
  grid->setVerticalSpacing(2);
  vendorCode_ = NamedEdit(QStringLiteral("VendorCode"), QStringLiteral("0x"), g);
  productCode_ = NamedEdit(QStringLiteral("ProductCode"), QStringLiteral("0x"), g);
  InstallHexKeyFilter(vendorCode_);
  InstallHexKeyFilter(productCode_);
  vendorInfo_ = NamedEdit(QStringLiteral("VendorInfo"), QStringLiteral("Orvel"), g);
  productInfo_ = NamedEdit(QStringLiteral("ProductInfo"), QStringLiteral("Flash Disk"), g);
  ledStatus_ =
      NamedCombo(QStringLiteral("LedStatus"), {QStringLiteral("OFF"), QStringLiteral("ON")}, g);
  workLed_ = NamedCombo(QStringLiteral("WorkLed"),
                        {QStringLiteral("2Hz"), QStringLiteral("4Hz"), QStringLiteral("6Hz"),
                         QStringLiteral("8Hz"), QStringLiteral("10Hz"), QStringLiteral("12Hz")},
                        g);
  serialNumber_ = NamedEdit(QStringLiteral("SerialNumber"), QString(), g);
  serialNumber_->setMaxLength(16);
  serialStartValue_ = NamedEdit(QStringLiteral("SerialStartValue"), QString(), g);

  int row = 0;
  auto pair = [&](const char* labelName, const char* caption, QWidget* a, const char* labelName2,
                  const char* caption2, QWidget* b) {
    grid->addWidget(NamedLabel(QString::fromLatin1(labelName), QString::fromUtf8(caption), g), row,
                    0);
    grid->addWidget(a, row, 1);
    grid->addWidget(NamedLabel(QString::fromLatin1(labelName2), QString::fromUtf8(caption2), g),
                    row, 2);
    grid->addWidget(b, row, 3);
    ++row;
  };
  pair("VendorCodeLabel", "厂商代码", vendorCode_, "ProductCodeLabel", "产品代码", productCode_);
  pair("VendorInfoLabel", "厂商信息", vendorInfo_, "ProductInfoLabel", "产品信息", productInfo_);
  pair("LedStatusLabel", "LED状态", ledStatus_, "WorkLedLabel", "LED忙碌", workLed_);
  pair("SerialNumberLabel", "序列号", serialNumber_, "SerialStartLabel", "", serialStartValue_);

  auto* modes = new QHBoxLayout;
  modes->addWidget(NamedLabel(QStringLiteral("SerialModeLabel"), QStringLiteral("序列号方式"), g));
  auto* modeGroup = new QButtonGroup(g);
  static const char* const kModes[3][2] = {{"Auto", "自动"}, {"Fix", "固定"}, {"Inc", "递增"}};
  for (int tag = 0; tag < 3; ++tag) {
    auto* r = new QRadioButton(QString::fromUtf8(kModes[tag][1]), g);
    r->setObjectName(QString::fromLatin1(kModes[tag][0]));
    r->setProperty("Tag", tag);
    modeGroup->addButton(r, tag);
    modes->addWidget(r);
    serialMode_[std::size_t(tag)] = r;
    connect(r, &QRadioButton::clicked, this, [this, tag] {
      auto lock = ctx_->lock();
      ctx_->pages.SerialModeClicked(tag);
    });
  }
  modes->addStretch(1);
  grid->addLayout(modes, row, 0, 1, 4);

  connect(vendorCode_, &QLineEdit::textEdited, this,
          [this](const QString& t) { collect([&](SettingsForm& f) { f.vendorCode = S(t); }); });
  connect(productCode_, &QLineEdit::textEdited, this,
          [this](const QString& t) { collect([&](SettingsForm& f) { f.productCode = S(t); }); });
  connect(vendorInfo_, &QLineEdit::textEdited, this,
          [this](const QString& t) { collect([&](SettingsForm& f) { f.vendorInfo = S(t); }); });
  connect(productInfo_, &QLineEdit::textEdited, this,
          [this](const QString& t) { collect([&](SettingsForm& f) { f.productInfo = S(t); }); });
  connect(serialNumber_, &QLineEdit::textEdited, this,
          [this](const QString& t) { collect([&](SettingsForm& f) { f.serialNumber = S(t); }); });
  connect(ledStatus_, &QComboBox::currentIndexChanged, this,
          [this](int i) { collect([i](SettingsForm& f) { f.ledStatus = i; }); });
  connect(workLed_, &QComboBox::currentIndexChanged, this,
          [this](int i) { collect([i](SettingsForm& f) { f.workLed = i; }); });
  return g;
}

QWidget* FormatPage::buildBinGroup(QWidget* parent) {
  auto* g = NamedGroup(QStringLiteral("BinGroup"), QStringLiteral("Bin值设置"), parent);
  auto* grid = new QGridLayout(g);
  grid->setVerticalSpacing(1);
  grid->setHorizontalSpacing(2);
  // Fifteen rows in three columns of five, so the group fits the page.
  for (int row = 0; row < 15; ++row) {
    const int n = row + 1;
    const int r = row % 5, c = (row / 5) * 7;
    auto edit = [&](const char* prefix) {
      auto* e = NamedEdit(QStringLiteral("%1%2").arg(QLatin1String(prefix)).arg(n),
                          QStringLiteral("0"), g);
      e->setProperty("Tag", row);
      e->setFixedWidth(40);
      return e;
    };
    fromBin_[std::size_t(row)] = edit("FromBin");
    mBin_[std::size_t(row)] = edit("MBin");
    toBin_[std::size_t(row)] = edit("ToBin");
    grid->addWidget(new QLabel(QString::number(n), g), r, c);
    grid->addWidget(fromBin_[std::size_t(row)], r, c + 1);
    grid->addWidget(new QLabel(QStringLiteral("-"), g), r, c + 2);
    grid->addWidget(mBin_[std::size_t(row)], r, c + 3);
    grid->addWidget(new QLabel(QStringLiteral("-"), g), r, c + 4);
    grid->addWidget(toBin_[std::size_t(row)], r, c + 5);
    grid->addWidget(new QLabel(QStringLiteral("MB"), g), r, c + 6);
    for (auto [column, e] : {std::pair{BinColumn::From, fromBin_[std::size_t(row)]},
                             std::pair{BinColumn::Middle, mBin_[std::size_t(row)]},
                             std::pair{BinColumn::To, toBin_[std::size_t(row)]}}) {
      connect(e, &QLineEdit::textEdited, this, [this, column, row](const QString& t) {
        EditResult r;
        {
          auto lock = ctx_->lock();
          r = ctx_->pages.BinChanged(column, row, S(t));
        }
        ctx_->report(r);
      });
    }
  }
  return g;
}

void FormatPage::showScanLevels() {
  std::vector<std::string> items;
  int index = 0;
  {
    auto lock = ctx_->lock();
    items = ctx_->pages.form().scanLevelItems;
    index = ctx_->pages.form().scanLevelIndex;
  }
  SetComboItems(scanLevel_, items, index);
}

void FormatPage::load() {
  SettingsForm f;
  {
    auto lock = ctx_->lock();
    f = ctx_->pages.form();
  }
  SetComboItems(flashTypeList_, f.flashTypeList, f.flashTypeSelection);
  SetSpin(flashCount_, f.flashCount);
  SetChecked(autoSelect_, f.autoSelect);
  SetChecked(onlyScan_, f.onlyScan);
  SetChecked(preTest_, f.preTest);
  SetSpin(levelCount_, f.levelCount);
  for (std::size_t k = 0; k < 6; ++k) SetEditText(blockRange_[k], f.blockRange[k]);
  SetRadio(good_, f.markGoodBlocks);
  SetRadio(bad_, !f.markGoodBlocks);
  SetComboItems(scanLevel_, f.scanLevelItems, f.scanLevelIndex);
  SetComboItems(eccOpen_, f.eccOpenItems, f.eccOpenIndex);
  SetChecked(oddPageAllBad_, f.oddPageAllBad);
  SetChecked(evenPageAllBad_, f.evenPageAllBad);
  SetChecked(logicScan_, f.logicScan);
  SetChecked(randomData_, f.randomData);
  SetChecked(blockMode_, f.blockMode);
  SetEditText(scanCount_, f.scanCount);
  SetChecked(highChipCheck_, f.highChipCheck);
  SetEditText(vendorCode_, f.vendorCode);
  SetEditText(productCode_, f.productCode);
  SetEditText(vendorInfo_, f.vendorInfo);
  SetEditText(productInfo_, f.productInfo);
  SetComboIndex(ledStatus_, f.ledStatus);
  SetComboIndex(workLed_, f.workLed);
  SetEditText(serialNumber_, f.serialNumber);
  SetEditText(serialStartValue_, f.serialStartValue);
  for (int tag = 0; tag < 3; ++tag) SetRadio(serialMode_[std::size_t(tag)], f.serialMode == tag);
  for (std::size_t row = 0; row < 15; ++row) {
    SetEditText(fromBin_[row], f.fromBin[row]);
    SetEditText(mBin_[row], f.mBin[row]);
    SetEditText(toBin_[row], f.toBin[row]);
  }
}

void FormatPage::followIdentification() {
  auto lock = ctx_->tryLock();
  if (!lock.owns_lock()) return;
  const int selection = ctx_->pages.form().flashTypeSelection;
  const int count = ctx_->pages.form().flashCount;
  lock.unlock();
  SetComboIndex(flashTypeList_, selection);
  SetSpin(flashCount_, count);
}

}  // namespace kvx::ui
