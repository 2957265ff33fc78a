#include "ui/settings/code_config_page.h"

#include <QFileDialog>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <vector>

#include "ui/settings/page_widgets.h"

namespace kvx::ui {
namespace {

QString ChooseCodeFile(QWidget* parent) {
  QFileDialog dialog(parent);
  dialog.setObjectName(QStringLiteral("CodeFileDialog"));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilters({QStringLiteral("代码文件 (*.img)"), QStringLiteral("所有文件 (*.*)")});
  dialog.setDefaultSuffix(QStringLiteral("img"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().front();
}

// What the page shows, copied from the model under the lock.
struct CodeState {
  std::vector<std::string> names;
  int selected = -1;
  bool add = false, del = false, load = false;
  std::string name;
  std::array<std::string, 3> numbers;
  std::vector<std::uint8_t> view;
};

CodeState StateOf(const CodeTypePage& page) {
  CodeState s;
  s.names = page.names();
  s.selected = page.selected();
  s.add = page.addEnabled();
  s.del = page.deleteEnabled();
  s.load = page.loadEnabled();
  s.name = page.nameText();
  for (int n = 0; n < 3; ++n) s.numbers[std::size_t(n)] = page.numberText(CodeNumber(n));
  const auto v = page.view();
  s.view.assign(v.begin(), v.end());
  return s;
}

}  // namespace

QString HexDump(std::span<const std::uint8_t> bytes) {
  QString out;
  out.reserve(int(bytes.size() / 16 + 1) * 60);
  static const char kDigits[] = "0123456789ABCDEF";
  for (std::size_t line = 0; line < bytes.size(); line += 16) {
    if (line) out += QLatin1Char('\n');
    out += QStringLiteral("%1 ").arg(qulonglong(line), 8, 16, QLatin1Char('0')).toUpper();
    for (std::size_t i = line; i < std::min(line + 16, bytes.size()); ++i) {
      out += QLatin1Char(' ');
      out += QLatin1Char(kDigits[bytes[i] >> 4]);
      out += QLatin1Char(kDigits[bytes[i] & 15]);
    }
  }
  return out;
}

CodeConfigPage::CodeConfigPage(std::shared_ptr<const SettingsContext> ctx, QWidget* parent)
    : QWidget(parent), ctx_(std::move(ctx)), choose_(ChooseCodeFile) {
  setObjectName(QStringLiteral("CodeConfig"));
  list_ = new QListWidget(this);
  list_->setObjectName(QStringLiteral("CodeTypeList"));
  list_->setMaximumWidth(170);
  name_ = NamedEdit(QStringLiteral("CodeTypeEdit"), QString(), this);
  realLength_ = NamedEdit(QStringLiteral("RealCodeLength"), QString(), this);
  length_ = NamedEdit(QStringLiteral("CodeLength"), QString(), this);
  count_ = NamedEdit(QStringLiteral("CodeCount"), QString(), this);
  view_ = new QPlainTextEdit(this);
  view_->setObjectName(QStringLiteral("CodeView"));
  view_->setReadOnly(true);
  view_->setLineWrapMode(QPlainTextEdit::NoWrap);
  view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  add_ = new QPushButton(QStringLiteral("Add Code"), this);
  add_->setObjectName(QStringLiteral("AddCode"));
  delete_ = new QPushButton(QStringLiteral("Delete Code"), this);
  delete_->setObjectName(QStringLiteral("DeleteCode"));
  load_ = new QPushButton(QStringLiteral("Load Code From File ..."), this);
  load_->setObjectName(QStringLiteral("LoadCode"));

  auto* numbers = new QGridLayout;
  numbers->addWidget(name_, 0, 0, 1, 6);
  numbers->addWidget(
      NamedLabel(QStringLiteral("RealCodeLengthLabel"), QStringLiteral("RealCodeLength"), this), 1,
      0);
  numbers->addWidget(realLength_, 1, 1);
  numbers->addWidget(
      NamedLabel(QStringLiteral("CodeLengthLabel"), QStringLiteral("CodeLen(sec)"), this), 1, 2);
  numbers->addWidget(length_, 1, 3);
  numbers->addWidget(
      NamedLabel(QStringLiteral("CodeCountLabel"), QStringLiteral("Code Count"), this), 1, 4);
  numbers->addWidget(count_, 1, 5);
  auto* right = new QVBoxLayout;
  right->addLayout(numbers);
  right->addWidget(view_, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(add_);
  buttons->addWidget(delete_);
  buttons->addWidget(load_);
  right->addLayout(buttons);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(2, 2, 2, 2);
  layout->addWidget(list_);
  layout->addLayout(right, 1);

  connect(list_, &QListWidget::currentRowChanged, this, [this](int row) {
    {
      auto lock = ctx_->lock();
      ctx_->pages.codeTypes().Select(row);
    }
    load();
  });
  connect(add_, &QPushButton::clicked, this, [this] {
    {
      auto lock = ctx_->lock();
      ctx_->pages.codeTypes().Add();
    }
    load();
  });
  connect(delete_, &QPushButton::clicked, this, [this] {
    {
      // Asks "Delete selected code type?" first.
      auto lock = ctx_->lock();
      ctx_->pages.codeTypes().Delete();
    }
    load();
  });
  connect(load_, &QPushButton::clicked, this, &CodeConfigPage::loadFile);
  connect(name_, &QLineEdit::textEdited, this, [this](const QString& t) {
    {
      auto lock = ctx_->lock();
      ctx_->pages.codeTypes().EditName(S(t));
    }
    if (QListWidgetItem* item = list_->currentItem()) item->setText(t);
  });
  connect(name_, &QLineEdit::editingFinished, this, [this] {
    {
      auto lock = ctx_->lock();
      ctx_->pages.codeTypes().NameEditorLeft();
    }
    load();
  });
  connect(realLength_, &QLineEdit::textEdited, this,
          [this](const QString& t) { editNumber(0, realLength_, t); });
  connect(length_, &QLineEdit::textEdited, this,
          [this](const QString& t) { editNumber(1, length_, t); });
  connect(count_, &QLineEdit::textEdited, this,
          [this](const QString& t) { editNumber(2, count_, t); });
  load();
}

void CodeConfigPage::editNumber(int which, QLineEdit* edit, const QString& text) {
  EditResult r;
  std::vector<std::uint8_t> view;
  {
    auto lock = ctx_->lock();
    r = ctx_->pages.codeTypes().EditNumber(CodeNumber(which), S(text));
    const auto v = ctx_->pages.codeTypes().view();
    view.assign(v.begin(), v.end());
  }
  if (!r.replacementText.empty()) SetEditText(edit, r.replacementText);
  view_->setPlainText(HexDump(view));
  ctx_->report(r);
}

void CodeConfigPage::loadFile() {
  {
    auto lock = ctx_->lock();
    if (ctx_->pages.codeTypes().selected() < 0) return;
  }
  const QString file = choose_ ? choose_(this) : QString();
  if (file.isEmpty()) return;
  {
    // A file that cannot be opened changes nothing and is not reported.
    auto lock = ctx_->lock();
    ctx_->pages.codeTypes().Load(std::filesystem::path(file.toStdString()));
  }
  load();
}

void CodeConfigPage::load() {
  CodeState s;
  {
    auto lock = ctx_->lock();
    s = StateOf(ctx_->pages.codeTypes());
  }
  SetListItems(list_, s.names, s.selected);
  SetEditText(name_, s.selected >= 0 ? s.name : std::string());
  SetEditText(realLength_, s.selected >= 0 ? s.numbers[0] : std::string());
  SetEditText(length_, s.selected >= 0 ? s.numbers[1] : std::string());
  SetEditText(count_, s.selected >= 0 ? s.numbers[2] : std::string());
  view_->setPlainText(HexDump(s.view));
  add_->setEnabled(s.add);
  delete_->setEnabled(s.del);
  load_->setEnabled(s.load);
}

}  // namespace kvx::ui
