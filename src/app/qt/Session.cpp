#include "app/qt/Session.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <utility>

namespace wavecrate {
namespace {

int g_signalPipe[2] = {-1, -1};

// Runs in signal context: only async-signal-safe calls.
void OnSignal(int signalNumber) {
  const unsigned char byte = static_cast<unsigned char>(signalNumber);
  [[maybe_unused]] const ssize_t n = write(g_signalPipe[1], &byte, 1);
}

}  // namespace

TSessionSignals::TSessionSignals(QObject* parent) : QObject(parent) {
  if (g_signalPipe[0] < 0) {
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
      std::perror("wavecrate: signal pipe");
      return;
    }
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &action, nullptr);

  // GUI thread: the notifier fires from the event loop.
  notifier_ = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] {
    unsigned char byte = 0;
    while (read(g_signalPipe[0], &byte, 1) == 1) emit EndRequested(byte);
  });
}

TSessionSignals::~TSessionSignals() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &action, nullptr);
}

TSleepInhibitor::TSleepInhibitor(const QString& who, const QString& why) {
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) {
    std::fprintf(stderr, "wavecrate: no system bus; system sleep is not blocked\n");
    return;
  }
  QDBusInterface manager("org.freedesktop.login1", "/org/freedesktop/login1",
                         "org.freedesktop.login1.Manager", bus);
  manager.setTimeout(3000);
  QDBusReply<QDBusUnixFileDescriptor> reply = manager.call("Inhibit", "sleep", who, why, "block");
  if (!reply.isValid()) {
    std::fprintf(stderr, "wavecrate: logind refused a sleep inhibitor (%s); system sleep is not blocked\n",
                 qPrintable(reply.error().message()));
    return;
  }
  // The lock lasts as long as we keep our own copy of the descriptor open.
  fd_ = dup(reply.value().fileDescriptor());
}

TSleepInhibitor::~TSleepInhibitor() {
  if (fd_ >= 0) close(fd_);
}

namespace {

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kLogindManager = "org.freedesktop.login1.Manager";

}  // namespace

TSleepWatcher::TSleepWatcher(const QString& who, const QString& why, std::function<void()> beforeSleep,
                             std::function<void()> afterWake, QObject* parent)
    : QObject(parent),
      who_(who),
      why_(why),
      beforeSleep_(std::move(beforeSleep)),
      afterWake_(std::move(afterWake)) {
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) {
    std::fprintf(stderr, "wavecrate: no system bus; recordings are not prepared for system sleep\n");
    return;
  }
  // Delivered on the GUI thread by Qt's event loop.
  watching_ =
      bus.connect(kLogind, kLogindPath, kLogindManager, "PrepareForSleep", this, SLOT(PrepareForSleep(bool)));
  if (!watching_) {
    std::fprintf(stderr, "wavecrate: cannot listen to logind's sleep announcements (%s)\n",
                 qPrintable(bus.lastError().message()));
  }
  TakeDelayLock();
}

TSleepWatcher::~TSleepWatcher() {
  ReleaseDelayLock();
}

void TSleepWatcher::TakeDelayLock() {
  if (fd_ >= 0) return;
  QDBusInterface manager(kLogind, kLogindPath, kLogindManager, QDBusConnection::systemBus());
  manager.setTimeout(3000);
  QDBusReply<QDBusUnixFileDescriptor> reply = manager.call("Inhibit", "sleep", who_, why_, "delay");
  if (!reply.isValid()) {
    std::fprintf(stderr,
                 "wavecrate: logind gave no sleep delay lock (%s); recordings may lose their end "
                 "at a sleep\n",
                 qPrintable(reply.error().message()));
    return;
  }
  fd_ = dup(reply.value().fileDescriptor());
}

void TSleepWatcher::ReleaseDelayLock() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
}

void TSleepWatcher::PrepareForSleep(bool sleeping) {
  if (sleeping) {
    // logind waits for us (up to its InhibitDelayMaxSec) until the lock goes.
    if (beforeSleep_) beforeSleep_();
    ReleaseDelayLock();
  } else {
    TakeDelayLock();
    if (afterWake_) afterWake_();
  }
}

}  // namespace wavecrate
