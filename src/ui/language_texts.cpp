#include "ui/language_texts.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QStackedWidget>
#include <QTabWidget>
#include <QWidget>

namespace kvx::ui {
namespace {

QString FromFile(const std::string& value) {
  return QString::fromStdString(value).replace(QStringLiteral("~~"), QStringLiteral("\n"));
}

std::string ToFile(const QString& value) {
  QString v = value;
  return v.replace(QLatin1Char('\n'), QStringLiteral("~~")).toStdString();
}

// A page of a tab control carries its caption on the tab.
QTabWidget* TabOwner(QWidget* w, int& index) {
  QWidget* stack = w->parentWidget();
  if (!stack || !qobject_cast<QStackedWidget*>(stack)) return nullptr;
  auto* tabs = qobject_cast<QTabWidget*>(stack->parentWidget());
  if (!tabs) return nullptr;
  index = tabs->indexOf(w);
  return index >= 0 ? tabs : nullptr;
}

bool SetCaption(QWidget* w, const QString& v) {
  int index = -1;
  if (QTabWidget* tabs = TabOwner(w, index)) {
    tabs->setTabText(index, v);
    return true;
  }
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->setText(v), true;
  if (auto* l = qobject_cast<QLabel*>(w)) return l->setText(v), true;
  if (auto* g = qobject_cast<QGroupBox*>(w)) return g->setTitle(v), true;
  return false;
}

QString Caption(const QWidget* w) {
  int index = -1;
  if (QTabWidget* tabs = TabOwner(const_cast<QWidget*>(w), index)) return tabs->tabText(index);
  if (auto* b = qobject_cast<const QAbstractButton*>(w)) return b->text();
  if (auto* l = qobject_cast<const QLabel*>(w)) return l->text();
  if (auto* g = qobject_cast<const QGroupBox*>(w)) return g->title();
  return {};
}

}  // namespace

int ApplyLanguageTexts(QWidget& window, const std::vector<LanguageText>& texts) {
  const QString windowName = window.objectName();
  int applied = 0;
  for (const auto& [key, value] : texts) {
    const QStringList parts = QString::fromStdString(key).split(QLatin1Char('.'));
    if (parts.isEmpty() || parts.front() != windowName) continue;
    const QString v = FromFile(value);
    if (parts.size() == 2) {
      if (parts[1] == QLatin1String("Caption")) window.setWindowTitle(v), ++applied;
      continue;
    }
    if (parts.size() != 3) continue;
    QWidget* w = window.findChild<QWidget*>(parts[1]);
    if (!w) continue;
    if (parts[2] == QLatin1String("Caption")) {
      applied += SetCaption(w, v) ? 1 : 0;
    } else if (parts[2] == QLatin1String("Hint")) {
      w->setToolTip(v);
      ++applied;
    } else if (parts[2] == QLatin1String("Text")) {
      if (auto* e = qobject_cast<QLineEdit*>(w)) e->setText(v), ++applied;
    }
  }
  return applied;
}

std::vector<LanguageText> CollectLanguageTexts(const QWidget& window) {
  std::vector<LanguageText> out;
  const std::string prefix = window.objectName().toStdString() + ".";
  if (!window.windowTitle().isEmpty())
    out.emplace_back(prefix + "Caption", ToFile(window.windowTitle()));
  for (const QWidget* w : window.findChildren<QWidget*>()) {
    if (w->objectName().isEmpty() || w->objectName().startsWith(QLatin1String("qt_"))) continue;
    const std::string name = prefix + w->objectName().toStdString() + ".";
    const QString caption = Caption(w);
    if (!caption.isEmpty() && caption != QLatin1String("-"))
      out.emplace_back(name + "Caption", ToFile(caption));
    if (!w->toolTip().isEmpty()) out.emplace_back(name + "Hint", ToFile(w->toolTip()));
    if (auto* e = qobject_cast<const QLineEdit*>(w); e && !e->text().isEmpty())
      out.emplace_back(name + "Text", ToFile(e->text()));
  }
  return out;
}

}  // namespace kvx::ui
