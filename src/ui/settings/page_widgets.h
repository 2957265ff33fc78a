#pragma once
// Small builders for the settings pages: named controls (the object name is
// the component name the language files address), combo and list fillers
// that do not fire change handlers, and the hexadecimal key filter.

#include <QObject>
#include <QString>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QWidget;

namespace kvx::ui {

inline QString Q(const std::string& s) {
  return QString::fromStdString(s);
}
inline std::string S(const QString& s) {
  return s.toStdString();
}

QLineEdit* NamedEdit(const QString& name, const QString& text, QWidget* parent);
QLabel* NamedLabel(const QString& name, const QString& caption, QWidget* parent);
QCheckBox* NamedCheck(const QString& name, const QString& caption, QWidget* parent);
QComboBox* NamedCombo(const QString& name, const QStringList& items, QWidget* parent);
QGroupBox* NamedGroup(const QString& name, const QString& title, QWidget* parent);

// Replaces the items and the selection (-1: none) without signals.
void SetComboItems(QComboBox* combo, const std::vector<std::string>& items, int selection);
void SetComboIndex(QComboBox* combo, int index);
void SetListItems(QListWidget* list, const std::vector<std::string>& items, int selection);
// Sets a text or tick only when it differs, without signals.
void SetEditText(QLineEdit* edit, const std::string& text);
void SetChecked(QCheckBox* box, bool on);

// The key rule of the hexadecimal editors: a typed character is accepted
// when it is a hexadecimal digit; Backspace unless the whole text is "0x";
// every other character is discarded. Keys without a character (arrows,
// Delete) are not characters and pass.
bool HexKeyAccepted(const QString& typed, bool backspace, const QString& currentText);

// Installs the rule on an edit (the filter is the edit's child).
void InstallHexKeyFilter(QLineEdit* edit);

class HexKeyFilter final : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace kvx::ui
