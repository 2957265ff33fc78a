#pragma once
// The debug page of the settings view ("数据查看"): raw flash tools on the
// disk of port slot 0. It reads the first page of a block with its spare
// bytes into an editable hex view, writes the view back to a page and erases
// a block. All checks and commands are DebugTools' (engine/debug_tools.h);
// this page only carries the fields and shows the outcome in its status line,
// red when nothing was done or the command failed.
//
// The page starts hidden among the settings pages; it is one of the
// engineering pages that the operator shows on purpose.

#include <QWidget>
#include <cstdint>
#include <vector>

#include "engine/debug_tools.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QTabWidget;

namespace kvx {
class Station;
}

namespace kvx::ui {

inline constexpr const char* kDebugPageCaption = "数据查看";

class DebugPage : public QWidget {
  Q_OBJECT
 public:
  explicit DebugPage(Station& station, QWidget* parent = nullptr);

  void PhysicalReadClick();
  void PhysicalWriteClick();
  void EraseBlockClick();

 private:
  void showResult(const DebugResult& result);

  DebugTools tools_;
  QLineEdit* chip_ = nullptr;
  QLineEdit* block_ = nullptr;
  QPlainTextEdit* view_ = nullptr;
  QLabel* status_ = nullptr;
};

// Adds the debug page to the settings pages, hidden, in front of the
// bad-page report when that page is there.
DebugPage* AddDebugPage(QTabWidget* pages, Station& station);

}  // namespace kvx::ui
