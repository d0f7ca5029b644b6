// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program-list window: the vehicle programs a firmware file names in its comment lines.

#include <QPlainTextEdit>
#include <QStringList>
#include <QWidget>

namespace ll::app {

class TForm1 : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kPixelsPerCharacter = 5;
  static constexpr int kPixelsPerLine = 15;
  static constexpr QPoint kFirstPosition{345, 204};

  explicit TForm1(QWidget* parent = nullptr);

  // Replaces the content, caption and outer size, then shows the window without making it modal
  // and brings it to the front. An already shown window keeps its place. Until the next call the
  // user may resize it at will.
  void ShowList(const QString& caption, const QStringList& lines, int widthChars, int lineCount);

  QPlainTextEdit* Memo1;

 protected:
  bool event(QEvent* e) override;

 private:
  QSize FrameSize() const;  // title bar and border: outer size minus client size
  void ApplyOuterSize();
  QSize outer_;         // the size asked for, title bar and border included
  QSize appliedFrame_;  // the frame the client size was last worked out with
  void BringToFront();
  bool placed_ = false;
};

}  // namespace ll::app
