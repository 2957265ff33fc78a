#pragma once
// The page "代码配置" (CodeConfig): the firmware code types. A list of
// names, a name editor, the three number editors, a read-only hexadecimal
// view of the image and the buttons "Add Code", "Delete Code" and "Load Code
// From File ...". Every command and edit writes the image at once
// (config/code_types.h does the work; this page only shows its state).

#include <QWidget>
#include <functional>
#include <memory>

#include "ui/settings/settings_context.h"

class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;

namespace kvx::ui {

// The hexadecimal view's text: 16 bytes a line, an 8-digit offset first.
QString HexDump(std::span<const std::uint8_t> bytes);

class CodeConfigPage final : public QWidget {
  Q_OBJECT
 public:
  explicit CodeConfigPage(std::shared_ptr<const SettingsContext> ctx, QWidget* parent = nullptr);

  // Replaces the file dialog of "Load Code From File ..." (tests); an empty
  // path means the dialog was cancelled.
  void setFileChooser(std::function<QString(QWidget*)> choose) { choose_ = std::move(choose); }

  // The list, the editors, the view and the buttons from the model.
  void load();

 private:
  void loadFile();
  void editNumber(int which, QLineEdit* edit, const QString& text);

  std::shared_ptr<const SettingsContext> ctx_;
  std::function<QString(QWidget*)> choose_;
  QListWidget* list_ = nullptr;
  QLineEdit* name_ = nullptr;
  QLineEdit* realLength_ = nullptr;
  QLineEdit* length_ = nullptr;
  QLineEdit* count_ = nullptr;
  QPlainTextEdit* view_ = nullptr;
  QPushButton* add_ = nullptr;
  QPushButton* delete_ = nullptr;
  QPushButton* load_ = nullptr;
};

}  // namespace kvx::ui
