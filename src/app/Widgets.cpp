// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Widgets.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionButton>
#include <algorithm>

namespace ll::app {

// ---- SpinButton -----------------------------------------------------------------------------

SpinButton::SpinButton(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::TabFocus);
}

SpinButton::Half SpinButton::HalfAt(const QPoint& pos) const {
  if (!rect().contains(pos)) return Half::None;
  return pos.y() < height() / 2 ? Half::Up : Half::Down;
}

void SpinButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const int h = height() / 2;
  const QRect halves[2] = {QRect(0, 0, width(), h), QRect(0, h, width(), height() - h)};
  for (int i = 0; i < 2; ++i) {
    QStyleOptionButton opt;
    opt.initFrom(this);
    opt.rect = halves[i];
    const bool down = (i == 0 && pressed_ == Half::Up) || (i == 1 && pressed_ == Half::Down);
    opt.state |= down ? QStyle::State_Sunken : QStyle::State_Raised;
    style()->drawControl(QStyle::CE_PushButtonBevel, &opt, &p, this);

    const QRect r = halves[i];
    const int cx = r.center().x() + 1;
    const int cy = r.center().y() + 1;
    const int s = std::max(2, std::min(r.width(), r.height()) / 4);
    QPainterPath arrow;
    if (i == 0) {
      arrow.moveTo(cx - s, cy + s / 2);
      arrow.lineTo(cx + s, cy + s / 2);
      arrow.lineTo(cx, cy - s / 2 - 1);
    } else {
      arrow.moveTo(cx - s, cy - s / 2);
      arrow.lineTo(cx + s, cy - s / 2);
      arrow.lineTo(cx, cy + s / 2 + 1);
    }
    arrow.closeSubpath();
    p.setRenderHint(QPainter::Antialiasing);
    p.fillPath(arrow, palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                      QPalette::ButtonText));
    p.setRenderHint(QPainter::Antialiasing, false);
  }
}

void SpinButton::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
  pressed_ = HalfAt(event->position().toPoint());
  update();
}

void SpinButton::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mouseReleaseEvent(event);
  const Half was = pressed_;
  pressed_ = Half::None;
  update();
  // Like a button: the step happens when the press is released over the same half.
  if (was != Half::None && HalfAt(event->position().toPoint()) == was) {
    if (was == Half::Up)
      emit upClick();
    else
      emit downClick();
  }
}

void SpinButton::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Up) {
    emit upClick();
  } else if (event->key() == Qt::Key_Down) {
    emit downClick();
  } else {
    QWidget::keyPressEvent(event);
  }
}

// ---- PinEdit --------------------------------------------------------------------------------

PinEdit::PinEdit(QWidget* parent) : QLineEdit(parent) {
  QLineEdit::setText(QString(kPositions, kBlank));
  setMaxLength(kPositions);
  // Typing always overwrites a position; dropping or the context menu's paste would bypass that.
  setAcceptDrops(false);
  setContextMenuPolicy(Qt::NoContextMenu);
}

void PinEdit::SetPinText(const QString& text) {
  QString shown(kPositions, kBlank);
  const QString taken = text.left(kPositions);
  const int offset = kPositions - static_cast<int>(taken.size());
  for (int i = 0; i < taken.size(); ++i) {
    const QChar c = taken.at(i);
    if (c >= u'0' && c <= u'9') shown[offset + i] = c;
  }
  QLineEdit::setText(shown);
}

void PinEdit::BlankRange(int from, int to) {
  QString shown = text();
  for (int i = std::max(0, from); i < std::min(to, kPositions); ++i) shown[i] = kBlank;
  QLineEdit::setText(shown);
}

void PinEdit::PutDigits(const QString& digits) {
  if (isReadOnly()) return;
  int pos = cursorPosition();
  if (hasSelectedText()) {
    const int start = selectionStart();
    BlankRange(start, start + static_cast<int>(selectedText().size()));
    pos = start;
  }
  QString shown = text();
  for (const QChar c : digits) {
    if (c < u'0' || c > u'9') continue;
    if (pos >= kPositions) break;
    shown[pos++] = c;
  }
  QLineEdit::setText(shown);
  setCursorPosition(pos);
}

void PinEdit::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Paste)) {
    PutDigits(QApplication::clipboard()->text());
    return;
  }
  if (event->matches(QKeySequence::Cut) || event->matches(QKeySequence::Undo) ||
      event->matches(QKeySequence::Redo)) {
    return;
  }
  const int key = event->key();
  if (!isReadOnly() && (key == Qt::Key_Backspace || key == Qt::Key_Delete)) {
    int pos = cursorPosition();
    if (hasSelectedText()) {
      const int start = selectionStart();
      BlankRange(start, start + static_cast<int>(selectedText().size()));
      pos = start;
    } else if (key == Qt::Key_Backspace && pos > 0) {
      BlankRange(pos - 1, pos);
      --pos;
    } else if (key == Qt::Key_Delete && pos < kPositions) {
      BlankRange(pos, pos + 1);
    }
    setCursorPosition(pos);
    return;
  }
  const QString typed = event->text();
  if (!typed.isEmpty() && typed.at(0).isPrint() &&
      !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
    // Only digits are admitted; anything else that would print is swallowed.
    PutDigits(typed);
    return;
  }
  QLineEdit::keyPressEvent(event);  // cursor movement, selection, focus keys
}

// ---- ClickableLabel / ClickableGroupBox -----------------------------------------------------

void ClickableLabel::mouseReleaseEvent(QMouseEvent* event) {
  QLabel::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
    emit clicked();
}

void ClickableGroupBox::mouseReleaseEvent(QMouseEvent* event) {
  QGroupBox::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
    emit frameClicked();
}

// ---- PageControl ----------------------------------------------------------------------------

QSize FixedTabBar::tabSizeHint(int index) const {
  QSize size = QTabBar::tabSizeHint(index);
  size.setWidth(tabWidth_);
  return size;
}

PageControl::PageControl(int tabWidth, QWidget* parent) : QTabWidget(parent) {
  setTabBar(new FixedTabBar(tabWidth, this));
  tabBar()->setExpanding(false);
  tabBar()->setElideMode(Qt::ElideRight);
  tabBar()->setUsesScrollButtons(false);
}

// ---- ClassicProgressBar ---------------------------------------------------------------------

ClassicProgressBar::ClassicProgressBar(QWidget* parent) : QProgressBar(parent) {
  setTextVisible(false);
  Push();
}

void ClassicProgressBar::SetMin(int value) {
  min_ = value;
  if (max_ < min_) max_ = min_;
  position_ = std::clamp(position_, min_, max_);
  Push();
}

void ClassicProgressBar::SetMax(int value) {
  max_ = value;
  if (min_ > max_) min_ = max_;
  position_ = std::clamp(position_, min_, max_);
  Push();
}

void ClassicProgressBar::SetPosition(int value) {
  position_ = std::clamp(value, min_, max_);
  Push();
}

void ClassicProgressBar::Push() {
  // A range of zero width makes QProgressBar draw a busy indicator; show it as empty instead.
  if (min_ == max_) {
    setRange(0, 1);
    setValue(0);
    return;
  }
  setRange(min_, max_);
  setValue(position_);
}

}  // namespace ll::app
