#include "app/help.h"

#include <QVBoxLayout>

namespace ll::app {

TForm1::TForm1(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName("Form1");
  setWindowTitle("Pomoc");
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  QFont f;
  // The design's font where the machine has it, else a look-alike.
  f.setFamilies({"Tahoma", "Nimbus Sans", "DejaVu Sans", "Sans Serif"});
  f.setPointSize(8);
  setFont(f);
  setAccessibleName("Program list");
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

void TForm1::ResizeOuter(int width, int height) {
  // The sizes are of the whole window, title bar and border included.
  const QRect frame = frameGeometry();
  const QRect client = geometry();
  const int extraW = isVisible() ? frame.width() - client.width() : 0;
  const int extraH = isVisible() ? frame.height() - client.height() : 0;
  resize(std::max(1, width - extraW), std::max(1, height - extraH));
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
  ResizeOuter(outerW, outerH);
  show();
  // The frame is only known once the window manager has framed it; correct for it then.
  ResizeOuter(outerW, outerH);
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
