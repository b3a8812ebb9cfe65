// Waiting in Qt tests: the event loop runs while a condition is polled.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <functional>

namespace testing_support {

inline bool PumpUntil(const std::function<bool()>& done, int limit_ms = 15000) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < limit_ms) {
    if (done()) return true;
    QApplication::processEvents(QEventLoop::AllEvents, 5);
    QTest::qWait(2);
  }
  return done();
}

}  // namespace testing_support
