// How the program meets the desktop session: a second copy is refused, the
// session's end (SIGTERM, SIGINT, SIGHUP) runs the normal exit, system sleep
// is blocked while the program runs, and a sleep that happens anyway is
// prepared for and recovered from.
#pragma once

#include <QObject>
#include <QString>
#include <functional>

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

// When the system sleeps anyway (a user's or an administrator's forced
// suspend, a closed lid), logind asks its "delay" inhibitors to get ready
// first: this holds one, runs `beforeSleep` when logind announces the sleep
// (PrepareForSleep(true)) and then releases the lock so the sleep can go on;
// after the wake (PrepareForSleep(false)) it takes a new lock and runs
// `afterWake`. Both run on the GUI thread. Without logind it does nothing and
// says why on standard error.
class TSleepWatcher : public QObject {
  Q_OBJECT
 public:
  TSleepWatcher(const QString& who, const QString& why, std::function<void()> beforeSleep,
                std::function<void()> afterWake, QObject* parent = nullptr);
  ~TSleepWatcher() override;

  // A delay lock is held now (false between the announced sleep and the wake).
  bool DelayHeld() const { return fd_ >= 0; }
  // Listening to logind's sleep announcements.
  bool Watching() const { return watching_; }

 private slots:
  void PrepareForSleep(bool sleeping);

 private:
  void TakeDelayLock();
  void ReleaseDelayLock();

  QString who_;
  QString why_;
  std::function<void()> beforeSleep_;
  std::function<void()> afterWake_;
  int fd_ = -1;
  bool watching_ = false;
};

}  // namespace wavecrate
