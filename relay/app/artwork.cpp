#include "relay/app/artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace relay {

QPixmap RobotBadge(int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  const double s = size / 32.0;
  p.scale(s, s);
  p.setPen(QPen(QColor(40, 60, 90), 1.5));
  p.setBrush(QColor(120, 170, 220));
  p.drawRoundedRect(QRectF(6, 9, 20, 16), 4, 4);  // head
  p.drawLine(QPointF(16, 9), QPointF(16, 4));     // antenna
  p.setBrush(QColor(230, 80, 60));
  p.drawEllipse(QPointF(16, 4), 2, 2);
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(12, 16), 3, 3);  // eyes
  p.drawEllipse(QPointF(20, 16), 3, 3);
  p.setBrush(QColor(40, 60, 90));
  p.drawEllipse(QPointF(12, 16), 1.2, 1.2);
  p.drawEllipse(QPointF(20, 16), 1.2, 1.2);
  p.drawLine(QPointF(12, 22), QPointF(20, 22));  // mouth
  p.setBrush(QColor(90, 90, 100));
  p.drawRect(QRectF(9, 25, 4, 4));  // wheels
  p.drawRect(QRectF(19, 25, 4, 4));
  return pm;
}

QIcon ApplicationIcon() {
  QIcon icon;
  for (int size : {16, 32, 48, 64}) icon.addPixmap(RobotBadge(size));
  return icon;
}

QPixmap LinkIcon(bool up) {
  QPixmap pm(32, 32);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor colour = up ? QColor(40, 170, 70) : QColor(160, 160, 160);
  p.setPen(QPen(colour, 3));
  p.setBrush(Qt::NoBrush);
  // Two chain links, joined when the robot answers and apart when it does not.
  const double gap = up ? 0 : 5;
  p.drawRoundedRect(QRectF(3 - gap / 2, 11, 15, 10), 5, 5);
  p.drawRoundedRect(QRectF(14 + gap / 2, 11, 15, 10), 5, 5);
  if (!up) {
    p.setPen(QPen(QColor(200, 50, 40), 2));
    p.drawLine(QPointF(14, 5), QPointF(18, 27));
  }
  return pm;
}

QPixmap AboutBanner(int w, int h) {
  QPixmap pm(w, h);
  QPainter p(&pm);
  QLinearGradient g(0, 0, w, 0);
  g.setColorAt(0, QColor(30, 60, 110));
  g.setColorAt(1, QColor(90, 150, 210));
  p.fillRect(pm.rect(), g);
  p.drawPixmap(8, (h - 40) / 2, RobotBadge(40));
  p.setPen(Qt::white);
  QFont f = p.font();
  f.setBold(true);
  f.setPointSize(11);
  p.setFont(f);
  p.drawText(QRect(56, 0, w - 60, h), Qt::AlignVCenter | Qt::AlignLeft, "Trevask: the robot's relay");
  return pm;
}

}  // namespace relay
