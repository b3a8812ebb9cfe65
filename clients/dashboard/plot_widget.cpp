#include "clients/dashboard/plot_widget.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>

namespace dashboard {

namespace {
const QColor kColours[] = {QColor(31, 119, 180), QColor(255, 127, 14),  QColor(44, 160, 44),
                           QColor(214, 39, 40),  QColor(148, 103, 189), QColor(140, 86, 75)};
constexpr double kWindowSeconds = 60.0;
constexpr double kMinSpanSeconds = 10.0;
}  // namespace

PlotWidget::PlotWidget(const QString& title, const std::vector<QString>& series, QWidget* parent)
    : QWidget(parent), title_(title), names_(series) {
  setMinimumSize(260, 130);
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
  const QRectF area(36, 20, width() - 44, height() - 48);
  p.setPen(QColor(200, 200, 200));
  p.drawRect(area);
  if (samples_.empty()) return;
  double lo = samples_.front().v.empty() ? 0 : samples_.front().v[0], hi = lo;
  for (const Sample& s : samples_)
    for (double v : s.v) lo = std::min(lo, v), hi = std::max(hi, v);
  if (hi - lo < 1) hi = lo + 1;
  // Time runs along the bottom, up to the latest reading: the last minute, or while the first minute
  // fills, the time since the first reading (at least ten seconds), so the lines use the width from
  // the start. (The web dashboard's plots follow the same rule.)
  const double t_end = samples_.back().t;
  const double t_start =
      std::max(t_end - kWindowSeconds, std::min(samples_.front().t, t_end - kMinSpanSeconds));
  const double span = t_end - t_start;
  p.setPen(Qt::darkGray);
  p.drawText(QRectF(0, area.top() - 6, 34, 12), Qt::AlignRight, QString::number(hi, 'f', 0));
  p.drawText(QRectF(0, area.bottom() - 6, 34, 12), Qt::AlignRight, QString::number(lo, 'f', 0));
  // Seconds before the latest reading, every ten.
  for (double ago = 0; ago <= span + 1e-9; ago += 10) {
    const double x = area.right() - ago / span * area.width();
    p.setPen(QColor(225, 225, 225));
    p.drawLine(QPointF(x, area.top()), QPointF(x, area.bottom()));
    p.setPen(Qt::darkGray);
    p.drawText(QRectF(x - 30, area.bottom() + 2, 60, 12), Qt::AlignHCenter,
               ago == 0 ? QString("now") : QString("-%1 s").arg(ago, 0, 'f', 0));
  }
  for (std::size_t k = 0; k < names_.size(); ++k) {
    QPainterPath path;
    bool first = true;
    for (const Sample& s : samples_) {
      if (k >= s.v.size() || s.t < t_start) continue;
      const QPointF pt(area.left() + (s.t - t_start) / span * area.width(),
                       area.bottom() - (s.v[k] - lo) / (hi - lo) * area.height());
      first ? path.moveTo(pt) : path.lineTo(pt);
      first = false;
    }
    const QColor c = kColours[k % 6];
    p.setPen(QPen(c, 1.5));
    p.drawPath(path);
    const double step = (area.width() - 8) / static_cast<double>(names_.size());
    p.drawText(QPointF(area.left() + 4 + step * static_cast<double>(k), height() - 2), names_[k]);
  }
}

double PlotWidget::SpanSeconds() const {
  if (samples_.empty()) return 0;
  const double t_end = samples_.back().t;
  return t_end - std::max(t_end - kWindowSeconds, std::min(samples_.front().t, t_end - kMinSpanSeconds));
}

}  // namespace dashboard
