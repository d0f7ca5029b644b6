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
  // and brings it to the front. An already shown window keeps its place.
  void ShowList(const QString& caption, const QStringList& lines, int widthChars, int lineCount);

  QPlainTextEdit* Memo1;

 private:
  void ResizeOuter(int width, int height);
  void BringToFront();
  bool placed_ = false;
};

}  // namespace ll::app
