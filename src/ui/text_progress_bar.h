#pragma once
// A progress bar that draws its text over the bar. Every "$p" in the text is
// shown as the integer percentage done, (value - minimum) * 100 / (maximum -
// minimum). Bar and text colours are set by the owner. Setters repaint only
// when something changed.

#include <QColor>
#include <QString>
#include <QWidget>

namespace kvx::ui {

class TextProgressBar : public QWidget {
  Q_OBJECT
 public:
  explicit TextProgressBar(QWidget* parent = nullptr);

  void setRange(int minimum, int maximum);
  void setValue(int value);  // clamped to the range
  void setText(const QString& text);
  void setBarColour(const QColor& colour);
  void setTextColour(const QColor& colour);

  int minimum() const { return minimum_; }
  int maximum() const { return maximum_; }
  int value() const { return value_; }
  int percent() const;
  QString text() const { return text_; }
  // The text as drawn: "$p" replaced by the percentage.
  QString shownText() const;
  QColor barColour() const { return barColour_; }
  QColor textColour() const { return textColour_; }
  // Paint events so far; lets tests see that only changed bars repaint.
  int paintCount() const { return paintCount_; }

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int minimum_ = 0, maximum_ = 100, value_ = 0;
  QString text_ = QStringLiteral("$p%");
  QColor barColour_{0x9c, 0xc8, 0xf4};
  QColor textColour_{0, 0, 255};
  int paintCount_ = 0;
};

}  // namespace kvx::ui
