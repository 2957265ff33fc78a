#pragma once
// The page "Flash 配置" (FlashConfig): the flash-type database. The list of
// names with its buttons and context menu (Add, Delete, Copy, Paste, Up,
// Down), one editor per field of the selected flash type, its flag boxes,
// and two settings of the scan kept on this page: NoVerify and the ECC limit
// EccOpenBytes. Every command and edit writes the image at once
// (config/flash_types.h does the work; this page shows its state).

#include <QWidget>
#include <array>
#include <memory>

#include "config/flash_types.h"
#include "ui/settings/settings_context.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QMenu;
class QAction;

namespace kvx::ui {

class FlashConfigPage final : public QWidget {
  Q_OBJECT
 public:
  explicit FlashConfigPage(std::shared_ptr<const SettingsContext> ctx, QWidget* parent = nullptr);

  // The page is opened: the code-type lists get the current names and the
  // selected flash type is shown again.
  void opened();
  // The list, editors, boxes and lists from the model.
  void load();
  // The context menu with its commands enabled by the model's rules (the
  // menu is not shown; the caller execs it).
  QMenu* prepareMenu();

 private:
  void command(void (FlashTypePage::*cmd)());
  void edit(FlashField field, QLineEdit* editor, const QString& text);

  std::shared_ptr<const SettingsContext> ctx_;
  QListWidget* list_ = nullptr;
  std::array<QLineEdit*, kFlashFieldCount> editors_{};
  std::array<QCheckBox*, 31> flags_{};
  QComboBox* codeType_ = nullptr;
  QComboBox* scanCode_ = nullptr;
  QCheckBox* noVerify_ = nullptr;
  QLineEdit* eccOpenBytes_ = nullptr;
  QMenu* menu_ = nullptr;
  QAction* addAction_ = nullptr;
  QAction* deleteAction_ = nullptr;
  QAction* copyAction_ = nullptr;
  QAction* pasteAction_ = nullptr;
  QAction* upAction_ = nullptr;
  QAction* downAction_ = nullptr;
};

}  // namespace kvx::ui
