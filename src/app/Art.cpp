// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Art.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include "app/Brands.h"

namespace ll::app {
namespace {

// A picture of `size` pixels for a screen of `ratio` device pixels per pixel: it is drawn in the
// pixels it is shown in, sharp at every scale.
QPixmap Canvas(QSize size, qreal ratio, const QColor& fill = Qt::transparent) {
  QPixmap pm((QSizeF(size) * ratio).toSize());
  pm.setDevicePixelRatio(ratio);
  pm.fill(fill);
  return pm;
}

// The 16 x 16 pictures at one and two device pixels per pixel; a scaled window takes the larger.
template <typename Draw>
QIcon SmallIcon(Draw draw) {
  QIcon icon;
  for (qreal ratio : {1.0, 2.0}) {
    QPixmap pm = Canvas({16, 16}, ratio);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    draw(p);
    p.end();
    icon.addPixmap(pm);
  }
  return icon;
}

// A small circuit module: green board, a chip and pins.
void DrawModule(QPainter& p, const QRectF& r) {
  p.setPen(QPen(QColor(20, 70, 30), 1));
  p.setBrush(QColor(40, 140, 70));
  p.drawRoundedRect(r, 2, 2);
  const QRectF chip(r.x() + r.width() * 0.28, r.y() + r.height() * 0.28, r.width() * 0.44,
                    r.height() * 0.44);
  p.setPen(QColor(200, 200, 200));
  for (int i = 1; i <= 3; ++i) {
    const double x = chip.x() + chip.width() * i / 4.0;
    p.drawLine(QPointF(x, chip.top() - r.height() * 0.12), QPointF(x, chip.bottom() + r.height() * 0.12));
  }
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(30, 30, 35));
  p.drawRect(chip);
}

void DrawArrow(QPainter& p, QPointF tip, double size, bool down, QColor color) {
  QPainterPath path;
  const double d = down ? 1.0 : -1.0;
  path.moveTo(tip);
  path.lineTo(tip.x() - size, tip.y() - d * size);
  path.lineTo(tip.x() - size / 2.5, tip.y() - d * size);
  path.lineTo(tip.x() - size / 2.5, tip.y() - d * size * 2);
  path.lineTo(tip.x() + size / 2.5, tip.y() - d * size * 2);
  path.lineTo(tip.x() + size / 2.5, tip.y() - d * size);
  path.lineTo(tip.x() + size, tip.y() - d * size);
  path.closeSubpath();
  p.setPen(QPen(color.darker(160), 0.8));
  p.setBrush(color);
  p.drawPath(path);
}

void DrawFolder(QPainter& p) {
  p.setPen(QPen(QColor(150, 110, 20), 1));
  p.setBrush(QColor(240, 200, 80));
  QPainterPath back;
  back.moveTo(1.5, 3.5);
  back.lineTo(6.5, 3.5);
  back.lineTo(7.5, 5.5);
  back.lineTo(14.5, 5.5);
  back.lineTo(14.5, 13.5);
  back.lineTo(1.5, 13.5);
  back.closeSubpath();
  p.drawPath(back);
  p.setBrush(QColor(250, 220, 120));
  QPainterPath front;
  front.moveTo(1.5, 13.5);
  front.lineTo(3.5, 7.5);
  front.lineTo(15.5, 7.5);
  front.lineTo(14.5, 13.5);
  front.closeSubpath();
  p.drawPath(front);
}

void DrawGlyph(QPainter& p, Glyph glyph) {
  switch (glyph) {
    case Glyph::OpenFile:
      DrawFolder(p);
      break;
    case Glyph::Upload:
      DrawModule(p, QRectF(0.5, 8.5, 15, 7));
      DrawArrow(p, QPointF(8, 9), 4, true, QColor(200, 40, 40));
      break;
    case Glyph::Read:
      DrawModule(p, QRectF(0.5, 0.5, 15, 7));
      DrawArrow(p, QPointF(8, 15), 4, true, QColor(30, 110, 210));
      break;
    case Glyph::Write:
      DrawModule(p, QRectF(0.5, 0.5, 15, 7));
      DrawArrow(p, QPointF(8, 7), 4, false, QColor(200, 40, 40));
      break;
  }
}

QPixmap TextLogo(QSize size, qreal ratio, const QString& text, QColor background,
                 QColor foreground, int pixelSize, bool stripe) {
  QPixmap pm = Canvas(size, ratio, background);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  if (stripe) {
    p.fillRect(QRect(0, size.height() - 5, size.width(), 3), foreground);
  }
  QFont f;
  f.setFamilies({"Nimbus Sans", "DejaVu Sans", "Sans Serif"});
  f.setBold(true);
  f.setPixelSize(pixelSize);
  p.setFont(f);
  p.setPen(foreground);
  p.drawText(QRect(0, 0, size.width(), size.height() - (stripe ? 4 : 0)), Qt::AlignCenter, text);
  return pm;
}

}  // namespace

QIcon WindowIcon() {
  return SmallIcon([](QPainter& p) {
    DrawModule(p, QRectF(0.5, 6.5, 15, 9));
    DrawArrow(p, QPointF(8, 8), 4, true, QColor(30, 90, 200));
  });
}

QIcon GlyphIcon(Glyph glyph) {
  return SmallIcon([glyph](QPainter& p) { DrawGlyph(p, glyph); });
}

QPixmap BrandPicture(char code, qreal ratio) {
  const BrandVariant* v = BrandVariantFor(code);
  if (!v) return {};
  const QSize size = v->pictureSize;
  switch (code) {
    case '0':
      return TextLogo(size, ratio, "NORVANE", QColor(15, 40, 90), QColor(240, 200, 40), 20, true);
    case '1': {
      QPixmap pm = Canvas(size, ratio, Qt::white);
      QPainter p(&pm);
      p.setRenderHint(QPainter::Antialiasing);
      // A shield with the brand's initial.
      QPainterPath shield;
      shield.moveTo(30, 3);
      shield.lineTo(54, 12);
      shield.cubicTo(54, 38, 44, 52, 30, 60);
      shield.cubicTo(16, 52, 6, 38, 6, 12);
      shield.closeSubpath();
      p.setPen(QPen(QColor(120, 0, 0), 2));
      p.setBrush(QColor(190, 20, 30));
      p.drawPath(shield);
      QFont f;
      f.setFamilies({"Nimbus Sans", "DejaVu Sans", "Sans Serif"});
      f.setBold(true);
      f.setPixelSize(30);
      p.setFont(f);
      p.setPen(Qt::white);
      p.drawText(QRect(6, 8, 48, 44), Qt::AlignCenter, "B");
      return pm;
    }
    case '2':
      return TextLogo(size, ratio, "DORVAN", QColor(0, 0, 0), QColor(230, 230, 230), 11, false);
    case '3':
      return TextLogo(size, ratio, "PELKO", QColor(0, 110, 60), Qt::white, 26, true);
    case '4': {
      QPixmap pm = Canvas(size, ratio);
      QPainter p(&pm);
      const QRect all(QPoint(0, 0), size);
      QLinearGradient g(0, 0, 0, size.height());
      g.setColorAt(0, QColor(255, 150, 30));
      g.setColorAt(1, QColor(200, 60, 10));
      p.fillRect(all, g);
      QFont f;
      f.setFamilies({"Nimbus Sans", "DejaVu Sans", "Sans Serif"});
      f.setBold(true);
      f.setPixelSize(26);
      p.setFont(f);
      p.setPen(Qt::white);
      p.drawText(all, Qt::AlignCenter, "LUMBRA");
      return pm;
    }
    case '5': {
      QPixmap pm = Canvas(size, ratio);
      QPainter p(&pm);
      p.setRenderHint(QPainter::Antialiasing);
      // Two chain links: the link between the PC and the module.
      p.setBrush(Qt::NoBrush);
      p.setPen(QPen(QColor(40, 90, 170), 4));
      p.drawRoundedRect(QRectF(3, 9, 16, 12), 6, 6);
      p.setPen(QPen(QColor(230, 120, 20), 4));
      p.drawRoundedRect(QRectF(13, 11, 16, 12), 6, 6);
      return pm;
    }
    default:
      return {};
  }
}

}  // namespace ll::app
