#pragma once
// Questions and warnings to the operator. The window answers with message
// boxes, the terminal station with its flags, tests with scripted answers.

#include <string>

#include "engine/messages.h"

namespace kvx {

struct OperatorMessage {
  MessageId titleId = 0;  // 32770 "Information", 32772 "Warning", ...
  MessageId textId = 0;   // 0 when the text is not a catalogue message
  std::string title;      // the texts in the station's language
  std::string text;
};

class Operator {
 public:
  virtual ~Operator() = default;
  // An OK/Cancel question; true for OK. May be called on the window thread only.
  virtual bool confirm(const OperatorMessage& question) = 0;
  // A notice with an OK button.
  virtual void inform(const OperatorMessage& notice) = 0;
};

// Answers every question the same way and keeps no record; for front ends
// that run without anyone to ask.
class FixedAnswerOperator final : public Operator {
 public:
  explicit FixedAnswerOperator(bool answer) : answer_(answer) {}
  bool confirm(const OperatorMessage&) override { return answer_; }
  void inform(const OperatorMessage&) override {}

 private:
  bool answer_;
};

}  // namespace kvx
