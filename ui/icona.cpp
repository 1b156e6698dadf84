#include "ui/icona.h"

#include <QPainter>
#include <QPainterPath>

namespace bricola {

// A board (green) with a chip and a download arrow, on a 64 x 64 grid.
QPixmap DisegnaIcona(int lato) {
  QPixmap p(lato, lato);
  p.fill(Qt::transparent);
  QPainter g(&p);
  g.setRenderHint(QPainter::Antialiasing);
  g.scale(lato / 64.0, lato / 64.0);
  g.setPen(QPen(QColor("#1b4d2b"), 2));
  g.setBrush(QColor("#2e8b57"));
  g.drawRoundedRect(QRectF(4, 14, 56, 44), 5, 5);
  g.setPen(Qt::NoPen);
  g.setBrush(QColor("#222222"));
  g.drawRect(QRectF(22, 28, 20, 20));
  g.setBrush(QColor("#d4af37"));
  for (int i = 0; i < 4; ++i) {
    g.drawRect(QRectF(24 + i * 5, 24, 2, 4));
    g.drawRect(QRectF(24 + i * 5, 48, 2, 4));
  }
  g.setBrush(QColor("#f0a020"));
  QPainterPath freccia;
  freccia.moveTo(28, 2);
  freccia.lineTo(36, 2);
  freccia.lineTo(36, 12);
  freccia.lineTo(42, 12);
  freccia.lineTo(32, 24);
  freccia.lineTo(22, 12);
  freccia.lineTo(28, 12);
  freccia.closeSubpath();
  g.drawPath(freccia);
  return p;
}

QIcon IconaBricola() {
  QIcon icona;
  for (int lato : {16, 32, 48, 64, 128}) icona.addPixmap(DisegnaIcona(lato));
  return icona;
}

}  // namespace bricola
