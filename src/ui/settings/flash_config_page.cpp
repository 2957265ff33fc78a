#include "ui/settings/flash_config_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>
#include <vector>

#include "ui/settings/page_widgets.h"

namespace kvx::ui {
namespace {

struct EditorDef {
  FlashField field;
  const char* name;     // component name
  const char* caption;  // its label; empty: no label of its own
  bool hex;
};

// In the order they are laid out, two columns of label and editor.
constexpr std::array<EditorDef, kFlashFieldCount - 1> kEditors = {{
    {FlashField::MainFlashID, "MainFlashID", "FlashID", true},
    {FlashField::ExtFlashID, "ExtFlashID", "", true},
    {FlashField::BlkPerScanStep, "BlkPerScanStep", "ScanStep", false},
    {FlashField::BlockPerChip, "BlockPerChip", "BlkPerChip", false},
    {FlashField::PagePerBlock, "PagePerBlock", "PagePerBlk", false},
    {FlashField::SectorPerPage, "SectorPerPage", "SecPerPage", false},
    {FlashField::LogSectPerPage, "bLogSectPerPage", "bLogSectPerPage", false},
    {FlashField::LogSectStartInPage, "bLogSectStartInPage", "bLogSectStartInPage", false},
    {FlashField::ColumCycle, "ColumCycle", "ColCycle", false},
    {FlashField::RowCycle, "RowCycle", "RowCycle", false},
    {FlashField::ReadSpeed, "ReadSpeed", "Speed", true},
    {FlashField::WriteSpeed, "WriteSpeed", "", true},
    {FlashField::BankNumRd, "bBankNumRd", "RdBanks", true},
    {FlashField::BankNumWr, "bBankNumWr", "WrBanks", true},
    {FlashField::BankNumErs, "bBankNumErs", "ErBanks", true},
    {FlashField::BlkEraseTimes, "bBlkEraseTimes", "ErTime", true},
    {FlashField::BlkEraseIncAddr, "bBlkEraseIncAddr", "EraseIncPage", true},
    {FlashField::FcCyl2, "bFc_CYL2", "AndCycle", true},
    {FlashField::CacheStatus, "CacheStatus", "CatchStatus", true},
    {FlashField::ProgStatus, "ProgStatus", "ProgStatus", true},
    {FlashField::EraseStatus, "EraseStatus", "EraseStatus", true},
    {FlashField::Cache, "Cache", "CacheCmd", true},
    {FlashField::BankProgCmd, "bBankProgCmd", "BankPrgCmd", true},
}};

// The boxes whose caption is not their name.
const char* FlagCaption(std::string_view name) {
  static const std::pair<const char*, const char*> kCaptions[] = {
      {"Flash_16Bit", "16Bit"},      {"Copyback", "Copyback"}, {"IsMlcFlash", "IsMLC"},
      {"DoubleDie", "DualDie"},      {"NandType", "Adand"},    {"cyl00DlyEnab", "WriteDelay"},
      {"rand_enable", "Rand_Enable"}};
  for (const auto& [n, caption] : kCaptions)
    if (name == n) return caption;
  return nullptr;
}

struct FlashState {
  std::vector<std::string> names;
  int selected = -1;
  std::array<std::string, kFlashFieldCount> texts;
  std::array<bool, 31> flags{};
  std::vector<std::string> codeNames;
  int codeType = -1, scanCode = -1;
  bool noVerify = false;
  std::string eccOpenBytes;
};

}  // namespace

FlashConfigPage::FlashConfigPage(std::shared_ptr<const SettingsContext> ctx, QWidget* parent)
    : QWidget(parent), ctx_(std::move(ctx)) {
  setObjectName(QStringLiteral("FlashConfig"));

  // Left: the list and its commands.
  list_ = new QListWidget(this);
  list_->setObjectName(QStringLiteral("FlashNameList"));
  list_->setFixedWidth(120);
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  menu_ = new QMenu(this);
  menu_->setObjectName(QStringLiteral("FlashTypeMenu"));
  addAction_ = menu_->addAction(QStringLiteral("Add Flash Type"));
  deleteAction_ = menu_->addAction(QStringLiteral("Delete Flash Type"));
  menu_->addSeparator();
  copyAction_ = menu_->addAction(QStringLiteral("Copy Flash Type"));
  pasteAction_ = menu_->addAction(QStringLiteral("Paste Flash Type"));
  menu_->addSeparator();
  upAction_ = menu_->addAction(QStringLiteral("Move Up"));
  downAction_ = menu_->addAction(QStringLiteral("Move Down"));
  auto* commands = new QGridLayout;
  commands->setSpacing(1);
  const std::array<std::tuple<const char*, const char*, QAction*, void (FlashTypePage::*)()>, 6>
      kCommands = {{{"AddFlash", "Add", addAction_, &FlashTypePage::Add},
                    {"DelFlash", "Del", deleteAction_, &FlashTypePage::Delete},
                    {"CopyFlash", "Copy", copyAction_, &FlashTypePage::Copy},
                    {"PasteFlash", "Paste", pasteAction_, &FlashTypePage::Paste},
                    {"UpFlash", "Up", upAction_, &FlashTypePage::Up},
                    {"DownFlash", "Down", downAction_, &FlashTypePage::Down}}};
  for (std::size_t i = 0; i < kCommands.size(); ++i) {
    const auto& [name, caption, action, cmd] = kCommands[i];
    auto* b = new QPushButton(QString::fromLatin1(caption), this);
    b->setObjectName(QString::fromLatin1(name));
    b->setFocusPolicy(Qt::NoFocus);
    b->setFixedWidth(59);
    commands->addWidget(b, int(i / 2), int(i % 2));
    auto run = cmd;
    connect(b, &QPushButton::clicked, this, [this, run] { command(run); });
    connect(action, &QAction::triggered, this, [this, run] { command(run); });
  }
  connect(list_, &QListWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { prepareMenu()->exec(list_->viewport()->mapToGlobal(at)); });
  connect(list_, &QListWidget::currentRowChanged, this, [this](int row) {
    {
      auto lock = ctx_->lock();
      ctx_->pages.flashTypes().Select(row);
    }
    load();
  });
  auto* left = new QVBoxLayout;
  left->addWidget(list_, 1);
  left->addLayout(commands);

  // Right: the editors of the selected flash type, in a scrolled panel.
  auto* panel = new QWidget;
  auto* grid = new QGridLayout(panel);
  grid->setContentsMargins(2, 2, 2, 2);
  grid->setVerticalSpacing(1);
  grid->setHorizontalSpacing(3);
  auto* nameEdit = NamedEdit(QStringLiteral("FlashNameEdit"), QString(), panel);
  editors_[std::size_t(FlashField::FlashName)] = nameEdit;
  grid->addWidget(NamedLabel(QStringLiteral("FlashNameLabel"), QStringLiteral("FlashName"), panel),
                  0, 0);
  grid->addWidget(nameEdit, 0, 1, 1, 3);
  codeType_ = NamedCombo(QStringLiteral("CodeType"), {}, panel);
  scanCode_ = NamedCombo(QStringLiteral("ScanCode"), {}, panel);
  codeType_->setMaximumWidth(110);
  scanCode_->setMaximumWidth(110);
  grid->addWidget(NamedLabel(QStringLiteral("CodeTypeLabel"), QStringLiteral("ExtCode"), panel), 1,
                  0);
  grid->addWidget(codeType_, 1, 1);
  grid->addWidget(NamedLabel(QStringLiteral("ScanCodeLabel"), QStringLiteral("ScanCode"), panel), 1,
                  2);
  grid->addWidget(scanCode_, 1, 3);
  int slot = 0;  // two label+editor pairs a row; an editor without label joins the one before
  int row = 2, column = 0;
  for (const EditorDef& def : kEditors) {
    auto* e = NamedEdit(QString::fromLatin1(def.name), QString(), panel);
    if (def.hex) InstallHexKeyFilter(e);
    // Narrow editors: two-digit bytes, eight-digit ID, decimal counts.
    const bool pair = def.field == FlashField::ExtFlashID || def.field == FlashField::ReadSpeed ||
                      def.field == FlashField::WriteSpeed;
    e->setFixedWidth(def.field == FlashField::MainFlashID ? 76 : pair ? 30 : 62);
    editors_[std::size_t(def.field)] = e;
    if (*def.caption) {
      row = 2 + slot / 2;
      column = (slot % 2) * 2;
      ++slot;
      auto* cell = new QHBoxLayout;
      cell->setSpacing(1);
      cell->addWidget(e);
      cell->addStretch(1);
      grid->addWidget(NamedLabel(QString::fromLatin1(def.name) + QStringLiteral("Label"),
                                 QString::fromLatin1(def.caption), panel),
                      row, column);
      grid->addLayout(cell, row, column + 1);
    } else {
      // ExtFlashID beside MainFlashID, WriteSpeed beside ReadSpeed.
      auto* cell = qobject_cast<QHBoxLayout*>(grid->itemAtPosition(row, column + 1)->layout());
      cell->insertWidget(1, e);
    }
  }
  int nextRow = 2 + (slot + 1) / 2;
  noVerify_ = NamedCheck(QStringLiteral("NoVerify"), QStringLiteral("NoVerify"), panel);
  eccOpenBytes_ = NamedEdit(QStringLiteral("EccOpenBytes"), QString(), panel);
  eccOpenBytes_->setFixedWidth(30);
  InstallHexKeyFilter(eccOpenBytes_);
  grid->addWidget(noVerify_, nextRow, 0, 1, 2);
  grid->addWidget(NamedLabel(QStringLiteral("FlashEStatus"), QStringLiteral("FlashEStatus"), panel),
                  nextRow, 2);
  grid->addWidget(eccOpenBytes_, nextRow, 3);
  ++nextRow;
  auto* flagGrid = new QGridLayout;
  flagGrid->setVerticalSpacing(0);
  for (std::size_t i = 0; i < kFlashFlags.size(); ++i) {
    const char* name = kFlashFlags[i].name;
    const char* caption = FlagCaption(name);
    auto* box =
        NamedCheck(QString::fromLatin1(name), QString::fromLatin1(caption ? caption : name), panel);
    flags_[i] = box;
    flagGrid->addWidget(box, int(i / 2), int(i % 2));
    connect(box, &QCheckBox::toggled, this, [this, i](bool on) {
      auto lock = ctx_->lock();
      ctx_->pages.flashTypes().SetFlag(i, on);
    });
  }
  grid->addLayout(flagGrid, nextRow, 0, 1, 4);
  grid->setRowStretch(nextRow + 1, 1);
  auto* scroll = new QScrollArea(this);
  scroll->setObjectName(QStringLiteral("FlashFieldsPanel"));
  scroll->setWidgetResizable(true);
  scroll->setWidget(panel);

  for (std::size_t f = 0; f < kFlashFieldCount; ++f) {
    QLineEdit* e = editors_[f];
    const auto field = FlashField(f);
    connect(e, &QLineEdit::textEdited, this,
            [this, field, e](const QString& t) { edit(field, e, t); });
  }
  connect(codeType_, &QComboBox::currentIndexChanged, this, [this](int item) {
    auto lock = ctx_->lock();
    ctx_->pages.flashTypes().SetCodeType(item);
  });
  connect(scanCode_, &QComboBox::currentIndexChanged, this, [this](int item) {
    auto lock = ctx_->lock();
    ctx_->pages.flashTypes().SetScanCode(item);
  });
  connect(noVerify_, &QCheckBox::toggled, this, [this](bool on) {
    auto lock = ctx_->lock();
    ctx_->pages.NoVerifyChanged(on);
  });
  connect(eccOpenBytes_, &QLineEdit::textEdited, this, [this](const QString& t) {
    auto lock = ctx_->lock();
    ctx_->pages.EccOpenBytesChanged(S(t));
  });

  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(2, 2, 2, 2);
  layout->addLayout(left);
  layout->addWidget(scroll, 1);
  load();
}

void FlashConfigPage::command(void (FlashTypePage::*cmd)()) {
  {
    // Delete asks "Delete selected flash type?" first.
    auto lock = ctx_->lock();
    (ctx_->pages.flashTypes().*cmd)();
  }
  load();
}

void FlashConfigPage::edit(FlashField field, QLineEdit* editor, const QString& text) {
  EditResult r;
  {
    auto lock = ctx_->lock();
    r = ctx_->pages.flashTypes().Edit(field, S(text));
  }
  if (!r.replacementText.empty()) SetEditText(editor, r.replacementText);
  // The list shows the name as typed, also beyond the stored 30 characters.
  if (field == FlashField::FlashName && r.outcome == EditResult::Stored)
    if (QListWidgetItem* item = list_->currentItem()) item->setText(text);
  ctx_->report(r);
}

QMenu* FlashConfigPage::prepareMenu() {
  FlashTypePage::Menu m;
  {
    auto lock = ctx_->lock();
    ctx_->pages.flashTypes().OpenMenu();
    m = ctx_->pages.flashTypes().menu();
  }
  addAction_->setEnabled(m.add);
  deleteAction_->setEnabled(m.del);
  copyAction_->setEnabled(m.copy);
  pasteAction_->setEnabled(m.paste);
  upAction_->setEnabled(m.up);
  downAction_->setEnabled(m.down);
  return menu_;
}

void FlashConfigPage::opened() {
  {
    auto lock = ctx_->lock();
    ctx_->pages.FlashConfigOpened();
  }
  load();
}

void FlashConfigPage::load() {
  FlashState s;
  {
    auto lock = ctx_->lock();
    const FlashTypePage& p = ctx_->pages.flashTypes();
    s.names = p.names();
    s.selected = p.selected();
    for (std::size_t f = 0; f < kFlashFieldCount; ++f) s.texts[f] = p.text(FlashField(f));
    for (std::size_t i = 0; i < kFlashFlags.size(); ++i) s.flags[i] = p.flag(i);
    s.codeNames = p.codeTypeNames();
    s.codeType = p.codeTypeItem();
    s.scanCode = p.scanCodeItem();
    s.noVerify = ctx_->pages.form().noVerify;
    s.eccOpenBytes = ctx_->pages.form().eccOpenBytes;
  }
  SetListItems(list_, s.names, s.selected);
  const bool shown = s.selected >= 0;
  for (std::size_t f = 0; f < kFlashFieldCount; ++f)
    SetEditText(editors_[f], shown ? s.texts[f] : std::string());
  for (std::size_t i = 0; i < kFlashFlags.size(); ++i) SetChecked(flags_[i], shown && s.flags[i]);
  SetComboItems(codeType_, s.codeNames, shown ? s.codeType : -1);
  SetComboItems(scanCode_, s.codeNames, shown ? s.scanCode : -1);
  SetChecked(noVerify_, s.noVerify);
  SetEditText(eccOpenBytes_, s.eccOpenBytes);
}

}  // namespace kvx::ui
