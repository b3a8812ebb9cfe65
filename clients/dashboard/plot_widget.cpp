#include "clients/dashboard/plot_widget.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>

namespace dashboard {

namespace {
const QColor kColours[] = {QColor(31, 119, 180), QColor(255, 127, 14),  QColor(44, 160, 44),
                           QColor(214, 39, 40),  QColor(148, 103, 189), QColor(140, 86, 75)};
constexpr double kWindowSeconds = 60.0;
}  // namespace

PlotWidget::PlotWidget(const QString& title, const std::vector<QString>& series, QWidget* parent)
    : QWidget(parent), title_(title), names_(series) {
  setMinimumSize(260, 120);
}

void PlotWidget::Add(double seconds, const std::vector<double>& values) {
  samples_.push_back(Sample{seconds, values});
  while (!samples_.empty() && samples_.front().t < seconds - kWindowSeconds) samples_.pop_front();
  update();
}

void PlotWidget::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.fillRect(rect(), Qt::white);
  p.setPen(Qt::black);
  p.drawText(6, 14, title_);
  const QRectF area(36, 20, width() - 44, height() - 40);
  p.setPen(QColor(200, 200, 200));
  p.drawRect(area);
  if (samples_.empty()) return;
  double lo = samples_.front().v.empty() ? 0 : samples_.front().v[0], hi = lo;
  for (const Sample& s : samples_)
    for (double v : s.v) lo = std::min(lo, v), hi = std::max(hi, v);
  if (hi - lo < 1) hi = lo + 1;
  const double t_end = samples_.back().t, t_start = t_end - kWindowSeconds;
  p.setPen(Qt::darkGray);
  p.drawText(QRectF(0, area.top() - 6, 34, 12), Qt::AlignRight, QString::number(hi, 'f', 0));
  p.drawText(QRectF(0, area.bottom() - 6, 34, 12), Qt::AlignRight, QString::number(lo, 'f', 0));
  for (std::size_t k = 0; k < names_.size(); ++k) {
    QPainterPath path;
    bool first = true;
    for (const Sample& s : samples_) {
      if (k >= s.v.size()) continue;
      const QPointF pt(area.left() + (s.t - t_start) / kWindowSeconds * area.width(),
                       area.bottom() - (s.v[k] - lo) / (hi - lo) * area.height());
      first ? path.moveTo(pt) : path.lineTo(pt);
      first = false;
    }
    const QColor c = kColours[k % 6];
    p.setPen(QPen(c, 1.5));
    p.drawPath(path);
    const double step = (area.width() - 8) / static_cast<double>(names_.size());
    p.drawText(QPointF(area.left() + 4 + step * static_cast<double>(k), height() - 6), names_[k]);
  }
}

}  // namespace dashboard
