// How the program meets the desktop session: a second copy is refused, the
// session's end (SIGTERM, SIGINT, SIGHUP) runs the normal exit, and system
// sleep is blocked while the program runs.
#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

namespace wavecrate {

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the GUI thread (the
// handler only writes a byte into a pipe that the event loop watches).
class TSessionSignals : public QObject {
  Q_OBJECT
 public:
  explicit TSessionSignals(QObject* parent = nullptr);
  ~TSessionSignals() override;

 signals:
  void EndRequested(int signalNumber);

 private:
  QSocketNotifier* notifier_ = nullptr;
};

// Holds a systemd-logind "sleep" inhibitor lock (mode "block") from creation
// to destruction. Where there is no logind (or no system bus) it holds
// nothing and says why on standard error.
class TSleepInhibitor {
 public:
  TSleepInhibitor(const QString& who, const QString& why);
  ~TSleepInhibitor();
  TSleepInhibitor(const TSleepInhibitor&) = delete;
  TSleepInhibitor& operator=(const TSleepInhibitor&) = delete;

  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace wavecrate
