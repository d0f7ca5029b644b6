// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/help.h"

#include <QApplication>
#include <QEvent>
#include <QVBoxLayout>

namespace ll::app {

TForm1::TForm1(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName("Form1");
  setWindowTitle("Pomoc");
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  QFont f;
  // The design's font where the machine has it, else a look-alike.
  f.setFamilies({"Tahoma", "Liberation Sans", "DejaVu Sans", "Sans Serif"});
  f.setPointSize(8);
  // As the main window's: away from 100 % Wine draws Tahoma's 16 px bitmap strike with pixels
  // missing unless smoothed glyphs are asked for.
  if (devicePixelRatioF() != 1.0) f.setStyleStrategy(QFont::PreferAntialias);
  setFont(f);
  setAccessibleDescription("Form1");

  Memo1 = new QPlainTextEdit(this);
  Memo1->setObjectName("Memo1");
  Memo1->setAccessibleName("Program list");
  Memo1->setAccessibleDescription("Memo1");
  Memo1->setReadOnly(true);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(Memo1);
  // Closing only hides the window; it is reused by the next request.
  setAttribute(Qt::WA_DeleteOnClose, false);
  setAttribute(Qt::WA_QuitOnClose, false);
}

QSize TForm1::FrameSize() const {
  const QSize own = frameGeometry().size() - size();
  if (!own.isEmpty()) return own;
  // Not framed yet (before the first show the window manager has not reparented it, and Qt
  // learns of the frame later still): the main window's frame is the same title bar and border.
  for (const QWidget* w : QApplication::topLevelWidgets()) {
    if (w == this || !w->isVisible()) continue;
    const QSize other = w->frameGeometry().size() - w->size();
    if (!other.isEmpty()) return other;
  }
  return {0, 0};
}

void TForm1::ApplyOuterSize() {
  // The sizes are of the whole window, title bar and border included.
  appliedFrame_ = FrameSize();
  const QSize client = (outer_ - appliedFrame_).expandedTo(QSize(1, 1));
  if (client != size()) resize(client);
}

bool TForm1::event(QEvent* e) {
  const bool handled = QWidget::event(e);
  switch (e->type()) {
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::WindowActivate:
      // The frame turns up (or changes) after the window is shown: the client is corrected so
      // that the outer size stays the one asked for. A resize by the user leaves the frame as
      // it is and is kept.
      if (outer_.isValid() && isVisible() && FrameSize() != appliedFrame_) ApplyOuterSize();
      break;
    default:
      break;
  }
  return handled;
}

void TForm1::ShowList(const QString& caption, const QStringList& lines, int widthChars,
                      int lineCount) {
  Memo1->setPlainText(lines.join(u'\n'));
  Memo1->moveCursor(QTextCursor::Start);
  setWindowTitle(caption);
  const int outerW = widthChars * kPixelsPerCharacter;
  const int outerH = lineCount * kPixelsPerLine;
  if (!placed_) {
    move(kFirstPosition);
    placed_ = true;
  }
  // Every request takes the list's own size again, whatever the user made of the last one.
  outer_ = QSize(outerW, outerH);
  ApplyOuterSize();
  show();
  ApplyOuterSize();
  BringToFront();
}

void TForm1::BringToFront() {
  // show(), raise() and activateWindow() leave a minimised window iconic, and whether a window
  // manager honours the activation varies: restore it explicitly first.
  if (windowState() & Qt::WindowMinimized) setWindowState(windowState() & ~Qt::WindowMinimized);
  raise();
  activateWindow();
}

}  // namespace ll::app
