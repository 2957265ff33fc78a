#include "ui/debug_page.h"

#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTabWidget>
#include <QVBoxLayout>

namespace kvx::ui {
namespace {

// Before the first read the view holds one four-sector page as an erased
// page reads: all 0xFF.
constexpr std::size_t kInitialViewBytes = 4 * kRawSectorBytes;

QLineEdit* Field(const char* name, const char* text, QWidget* parent) {
  auto* edit = new QLineEdit(QString::fromLatin1(text), parent);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setMaximumWidth(80);
  return edit;
}

QPushButton* Button(const char* name, const char* caption, QWidget* parent) {
  auto* b = new QPushButton(QString::fromLatin1(caption), parent);
  b->setObjectName(QString::fromLatin1(name));
  b->setAutoDefault(false);
  return b;
}

}  // namespace

DebugPage::DebugPage(Station& station, QWidget* parent) : QWidget(parent), tools_(station) {
  setObjectName(QStringLiteral("Debug"));

  chip_ = Field("ChipNo", "0", this);
  block_ = Field("BlockNo", "0", this);
  // Page, sector, sector count and LBA are kept for the operator's notes;
  // no action reads them.
  QLineEdit* page = Field("PageNo", "0", this);
  QLineEdit* sector = Field("SecNo", "0", this);
  QLineEdit* sectors = Field("SecNum", "1", this);
  QLineEdit* lba = Field("Lba", "0", this);
  lba->setValidator(new QRegularExpressionValidator(
      QRegularExpression(QStringLiteral("(0x)?[0-9a-fA-F]*")), lba));

  auto* fields = new QGridLayout;
  const std::pair<const char*, QLineEdit*> labelled[] = {{"Chip", chip_},      {"Block", block_},
                                                         {"Page", page},       {"Sector", sector},
                                                         {"Sectors", sectors}, {"LBA", lba}};
  int column = 0;
  for (const auto& [label, edit] : labelled) {
    fields->addWidget(new QLabel(QString::fromLatin1(label), this), 0, column);
    fields->addWidget(edit, 1, column);
    ++column;
  }

  auto* read = Button("PhysicalRead", "PhysicalRead", this);
  auto* write = Button("PhysicalWrite", "PhysicalWrite", this);
  auto* erase = Button("EraseBlock", "EraseBlock", this);
  auto* buttons = new QHBoxLayout;
  for (QPushButton* b : {read, write, erase}) buttons->addWidget(b);
  // Buttons of the page that have no action.
  for (const auto& [name, caption] :
       {std::pair{"EccRead", "EccRead"}, std::pair{"EccWrite", "EccWrite"},
        std::pair{"GetCfg", "ConfigTable"}}) {
    QPushButton* b = Button(name, caption, this);
    b->setEnabled(false);
    buttons->addWidget(b);
  }
  connect(read, &QPushButton::clicked, this, &DebugPage::PhysicalReadClick);
  connect(write, &QPushButton::clicked, this, &DebugPage::PhysicalWriteClick);
  connect(erase, &QPushButton::clicked, this, &DebugPage::EraseBlockClick);

  view_ = new QPlainTextEdit(this);
  view_->setObjectName(QStringLiteral("DataView"));
  view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  view_->setLineWrapMode(QPlainTextEdit::NoWrap);
  const std::vector<std::uint8_t> erased(kInitialViewBytes, 0xFF);
  view_->setPlainText(QString::fromStdString(FormatHexDump(erased)));

  status_ = new QLabel(this);
  status_->setObjectName(QStringLiteral("DebugStatus"));
  status_->setWordWrap(true);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(fields);
  layout->addLayout(buttons);
  layout->addWidget(view_, 1);
  layout->addWidget(status_);
}

void DebugPage::showResult(const DebugResult& result) {
  status_->setText(QString::fromStdString(result.text));
  status_->setStyleSheet(result.ok ? QString() : QStringLiteral("QLabel { color: red; }"));
  status_->setProperty("ok", result.ok);
}

void DebugPage::PhysicalReadClick() {
  std::vector<std::uint8_t> page;
  const DebugResult r =
      tools_.ReadPage(chip_->text().toStdString(), block_->text().toStdString(), page);
  if (r.ok) view_->setPlainText(QString::fromStdString(FormatHexDump(page)));
  showResult(r);
}

void DebugPage::PhysicalWriteClick() {
  showResult(tools_.WritePage(chip_->text().toStdString(), block_->text().toStdString(),
                              view_->toPlainText().toStdString()));
}

void DebugPage::EraseBlockClick() {
  showResult(tools_.EraseBlock(chip_->text().toStdString(), block_->text().toStdString()));
}

DebugPage* AddDebugPage(QTabWidget* pages, Station& station) {
  auto* page = new DebugPage(station);
  const QString caption = QString::fromUtf8(kDebugPageCaption);
  QWidget* badView = pages->findChild<QWidget*>(QStringLiteral("BadView"));
  const int at = badView ? pages->indexOf(badView) : -1;
  const int index = at >= 0 ? pages->insertTab(at, page, caption) : pages->addTab(page, caption);
  pages->setTabVisible(index, false);
  return page;
}

}  // namespace kvx::ui
