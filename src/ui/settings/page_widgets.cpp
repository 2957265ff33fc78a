#include "ui/settings/page_widgets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSignalBlocker>

namespace kvx::ui {

QLineEdit* NamedEdit(const QString& name, const QString& text, QWidget* parent) {
  auto* e = new QLineEdit(text, parent);
  e->setObjectName(name);
  return e;
}

QLabel* NamedLabel(const QString& name, const QString& caption, QWidget* parent) {
  auto* l = new QLabel(caption, parent);
  l->setObjectName(name);
  return l;
}

QCheckBox* NamedCheck(const QString& name, const QString& caption, QWidget* parent) {
  auto* c = new QCheckBox(caption, parent);
  c->setObjectName(name);
  return c;
}

QComboBox* NamedCombo(const QString& name, const QStringList& items, QWidget* parent) {
  auto* c = new QComboBox(parent);
  c->setObjectName(name);
  c->addItems(items);
  return c;
}

QGroupBox* NamedGroup(const QString& name, const QString& title, QWidget* parent) {
  auto* g = new QGroupBox(title, parent);
  g->setObjectName(name);
  return g;
}

void SetComboItems(QComboBox* combo, const std::vector<std::string>& items, int selection) {
  const QSignalBlocker block(combo);
  combo->clear();
  for (const auto& item : items) combo->addItem(Q(item));
  combo->setCurrentIndex(selection < int(items.size()) ? selection : -1);
}

void SetComboIndex(QComboBox* combo, int index) {
  if (combo->currentIndex() == index) return;
  const QSignalBlocker block(combo);
  combo->setCurrentIndex(index < combo->count() ? index : -1);
}

void SetListItems(QListWidget* list, const std::vector<std::string>& items, int selection) {
  const QSignalBlocker block(list);
  if (list->count() != int(items.size())) {
    list->clear();
    for (const auto& item : items) list->addItem(Q(item));
  } else {
    for (int i = 0; i < list->count(); ++i)
      if (list->item(i)->text() != Q(items[std::size_t(i)]))
        list->item(i)->setText(Q(items[std::size_t(i)]));
  }
  list->setCurrentRow(selection < int(items.size()) ? selection : -1);
}

void SetEditText(QLineEdit* edit, const std::string& text) {
  const QString t = Q(text);
  if (edit->text() == t) return;
  const QSignalBlocker block(edit);
  edit->setText(t);
}

void SetChecked(QCheckBox* box, bool on) {
  if (box->isChecked() == on) return;
  const QSignalBlocker block(box);
  box->setChecked(on);
}

bool HexKeyAccepted(const QString& typed, bool backspace, const QString& currentText) {
  if (backspace) return currentText != QLatin1String("0x");
  if (typed.size() != 1) return false;
  const char c = typed.at(0).toLatin1();
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

void InstallHexKeyFilter(QLineEdit* edit) {
  edit->installEventFilter(new HexKeyFilter(edit));
}

bool HexKeyFilter::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return QObject::eventFilter(watched, event);
  auto* edit = qobject_cast<QLineEdit*>(watched);
  const auto* key = static_cast<QKeyEvent*>(event);
  const bool backspace = key->key() == Qt::Key_Backspace;
  if (!edit || (!backspace && key->text().isEmpty())) return false;
  return !HexKeyAccepted(key->text(), backspace, edit->text());
}

}  // namespace kvx::ui
