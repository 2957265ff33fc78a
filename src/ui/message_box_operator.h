#pragma once
// The window's answer to the station's questions: modal message boxes on the
// window thread (OK and Cancel with a question icon; notices with OK).

#include <QPointer>
#include <QWidget>

#include "engine/operator.h"

namespace kvx::ui {

class MessageBoxOperator final : public Operator {
 public:
  // The boxes are centred over `parent` once it is set.
  void setParent(QWidget* parent) { parent_ = parent; }

  bool confirm(const OperatorMessage& question) override;
  void inform(const OperatorMessage& notice) override;

 private:
  QPointer<QWidget> parent_;
};

}  // namespace kvx::ui
