// A small strip chart: a few named series over the last minute, time along the bottom.
#pragma once

#include <QWidget>
#include <deque>
#include <string>
#include <vector>

namespace dashboard {

class PlotWidget : public QWidget {
 public:
  PlotWidget(const QString& title, const std::vector<QString>& series, QWidget* parent = nullptr);
  // Adds one reading per series at time `seconds`.
  void Add(double seconds, const std::vector<double>& values);
  std::size_t points() const { return samples_.size(); }
  // The seconds the time axis spans now: the last minute, or the time since the first reading while
  // the first minute fills (at least ten seconds).
  double SpanSeconds() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  struct Sample {
    double t;
    std::vector<double> v;
  };
  QString title_;
  std::vector<QString> names_;
  std::deque<Sample> samples_;
};

}  // namespace dashboard
