// Measures how long the window's event loop was kept from running: a timer
// asks to run every 10 ms, and the longest lateness seen is written to
// standard error (so to the log) when the probe goes. Only made where
// WAVECRATE_STALL_PROBE is set (benchmarks), since it wakes the program a
// hundred times a second.
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>

namespace wavecrate {

class TStallProbe : public QObject {
 public:
  explicit TStallProbe(QObject* parent = nullptr) : QObject(parent) {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(kIntervalMs);
    connect(&timer_, &QTimer::timeout, this, [this] {
      const qint64 late = clock_.restart() - kIntervalMs;
      if (late > longestMs_) longestMs_ = late;
    });
    clock_.start();
    timer_.start();
  }
  ~TStallProbe() override {
    std::fprintf(stderr, "wavecrate: longest stall of the window's event loop: %lld ms\n",
                 static_cast<long long>(longestMs_));
  }

 private:
  static constexpr int kIntervalMs = 10;
  QTimer timer_;
  QElapsedTimer clock_;
  qint64 longestMs_ = 0;
};

}  // namespace wavecrate
