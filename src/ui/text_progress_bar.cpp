#include "ui/text_progress_bar.h"

#include <QPainter>
#include <QStyleOption>
#include <algorithm>

namespace kvx::ui {

TextProgressBar::TextProgressBar(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TextProgressBar::setRange(int minimum, int maximum) {
  if (maximum < minimum) std::swap(minimum, maximum);
  if (minimum == minimum_ && maximum == maximum_) return;
  minimum_ = minimum;
  maximum_ = maximum;
  value_ = std::clamp(value_, minimum_, maximum_);
  update();
}

void TextProgressBar::setValue(int value) {
  value = std::clamp(value, minimum_, maximum_);
  if (value == value_) return;
  value_ = value;
  update();
}

void TextProgressBar::setText(const QString& text) {
  if (text == text_) return;
  text_ = text;
  update();
}

void TextProgressBar::setBarColour(const QColor& colour) {
  if (colour == barColour_) return;
  barColour_ = colour;
  update();
}

void TextProgressBar::setTextColour(const QColor& colour) {
  if (colour == textColour_) return;
  textColour_ = colour;
  update();
}

int TextProgressBar::percent() const {
  if (maximum_ == minimum_) return 0;
  return int((qint64(value_) - minimum_) * 100 / (qint64(maximum_) - minimum_));
}

QString TextProgressBar::shownText() const {
  QString shown = text_;
  return shown.replace(QStringLiteral("$p"), QString::number(percent()));
}

QSize TextProgressBar::sizeHint() const {
  return {200, 20};
}

void TextProgressBar::paintEvent(QPaintEvent*) {
  ++paintCount_;
  QPainter painter(this);
  const QRect frame = rect();
  painter.fillRect(frame, palette().color(QPalette::Base));
  const QRect inner = frame.adjusted(1, 1, -1, -1);
  const int filled = inner.width() * percent() / 100;
  if (filled > 0)
    painter.fillRect(QRect(inner.left(), inner.top(), filled, inner.height()), barColour_);
  painter.setPen(palette().color(QPalette::Mid));
  painter.drawRect(frame.adjusted(0, 0, -1, -1));

  // Centred while it fits; a longer line starts at the left edge so that its
  // beginning stays readable.
  const QString shown = shownText();
  const QRect textArea = inner.adjusted(3, 0, -3, 0);
  const int width = painter.fontMetrics().horizontalAdvance(shown);
  const Qt::Alignment align =
      Qt::AlignVCenter | (width <= textArea.width() ? Qt::AlignHCenter : Qt::AlignLeft);
  painter.setPen(textColour_);
  painter.drawText(textArea, int(align) | Qt::TextSingleLine, shown);
}

}  // namespace kvx::ui
