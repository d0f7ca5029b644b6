// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Small controls the main window needs beyond Qt's stock widgets.

#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTabBar>
#include <QTabWidget>
#include <QWidget>

namespace ll::app {

// Up/down spin button: two arrow halves, the upper one raises upClick, the lower one downClick.
// It has no value of its own; the handlers decide what a step means.
class SpinButton : public QWidget {
  Q_OBJECT
 public:
  explicit SpinButton(QWidget* parent = nullptr);
  QSize sizeHint() const override { return {20, 32}; }

 signals:
  void upClick();
  void downClick();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  enum class Half { None, Up, Down };
  Half HalfAt(const QPoint& pos) const;
  Half pressed_ = Half::None;
};

// Four-digit field that behaves like the edit mask "!9999;1;2": every position holds an optional
// digit, a position left empty shows the mask's blank character, which is the digit '2'. Because
// the blank character is itself a digit, the displayed text is always four digits and is exactly
// what a write takes; an empty position and a typed '2' cannot be told apart.
class PinEdit : public QLineEdit {
  Q_OBJECT
 public:
  static constexpr int kPositions = 4;
  static constexpr QChar kBlank = u'2';

  explicit PinEdit(QWidget* parent = nullptr);

  // Sets the field from a program text. Digits are taken in order, any other character leaves its
  // position empty; a shorter text is right-aligned (the mask's '!' puts optional blanks first) and
  // a longer one is cut to the four positions the mask has.
  void SetPinText(const QString& text);
  // The four displayed characters.
  QString DisplayedText() const { return text(); }

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void PutDigits(const QString& digits);
  void BlankRange(int from, int to);
};

// Label that reports a left click; used for the clickable brand logos.
class ClickableLabel : public QLabel {
  Q_OBJECT
 public:
  using QLabel::QLabel;
 signals:
  void clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};

// A group box frame without items that reports a click on itself (the language frame).
class ClickableGroupBox : public QGroupBox {
  Q_OBJECT
 public:
  using QGroupBox::QGroupBox;
 signals:
  void frameClicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};

// Page control whose tabs all have one fixed width.
class FixedTabBar : public QTabBar {
  Q_OBJECT
 public:
  FixedTabBar(int tabWidth, QWidget* parent = nullptr) : QTabBar(parent), tabWidth_(tabWidth) {}

 protected:
  QSize tabSizeHint(int index) const override;

 private:
  int tabWidth_;
};

class PageControl : public QTabWidget {
  Q_OBJECT
 public:
  PageControl(int tabWidth, QWidget* parent = nullptr);
};

// Progress bar with the classic Min/Max/Position rules: Position always lies within [Min, Max];
// raising Min above Max raises Max too, lowering Max below Min lowers Min, and both move Position
// into the new range. QProgressBar ignores out-of-range values instead, so the numbers are kept
// here and pushed to the bar.
class ClassicProgressBar : public QProgressBar {
  Q_OBJECT
 public:
  explicit ClassicProgressBar(QWidget* parent = nullptr);
  void SetMin(int value);
  void SetMax(int value);
  void SetPosition(int value);
  int Min() const { return min_; }
  int Max() const { return max_; }
  int Position() const { return position_; }

 private:
  void Push();
  int min_ = 0;
  int max_ = 100;
  int position_ = 0;
};

}  // namespace ll::app
