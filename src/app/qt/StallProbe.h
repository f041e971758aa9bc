// Measures how long the window's event loop was kept from running: a timer
// asks to run every 10 ms, and the longest lateness seen, with when it ended,
// is written to standard error (so to the log) when the probe goes, as is
// the time from the probe's making to the loop's first turn (start-up). Only
// made where WAVECRATE_STALL_PROBE is set (benchmarks), since it wakes the
// program a hundred times a second.
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
      const qint64 now = since_.elapsed();
      if (startUpMs_ < 0) {
        startUpMs_ = now;
      } else if (now - last_ - kIntervalMs > longestMs_) {
        longestMs_ = now - last_ - kIntervalMs;
        longestEndedMs_ = now;
      }
      last_ = now;
    });
    since_.start();
    timer_.start();
  }
  ~TStallProbe() override {
    std::fprintf(stderr,
                 "wavecrate: start-up took %lld ms before the event loop ran; longest stall of the window's "
                 "event loop since: %lld ms, ending %.1f s after start\n",
                 static_cast<long long>(startUpMs_), static_cast<long long>(longestMs_),
                 static_cast<double>(longestEndedMs_) / 1000.0);
  }

 private:
  static constexpr int kIntervalMs = 10;
  QTimer timer_;
  QElapsedTimer since_;
  qint64 startUpMs_ = -1;
  qint64 last_ = 0;
  qint64 longestMs_ = 0;
  qint64 longestEndedMs_ = 0;
};

}  // namespace wavecrate
