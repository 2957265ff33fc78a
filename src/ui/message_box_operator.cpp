#include "ui/message_box_operator.h"

#include <QMessageBox>

namespace kvx::ui {

bool MessageBoxOperator::confirm(const OperatorMessage& question) {
  QMessageBox box(QMessageBox::Question, QString::fromStdString(question.title),
                  QString::fromStdString(question.text), QMessageBox::Ok | QMessageBox::Cancel,
                  parent_);
  box.setDefaultButton(QMessageBox::Ok);
  box.setEscapeButton(QMessageBox::Cancel);
  return box.exec() == QMessageBox::Ok;
}

void MessageBoxOperator::inform(const OperatorMessage& notice) {
  const bool warning = notice.titleId == msg::kWarning || notice.titleId == msg::kError;
  QMessageBox box(warning ? QMessageBox::Warning : QMessageBox::Information,
                  QString::fromStdString(notice.title), QString::fromStdString(notice.text),
                  QMessageBox::Ok, parent_);
  box.exec();
}

}  // namespace kvx::ui
