// Notifications through the desktop's notification service
// (org.freedesktop.Notifications on the session bus), or the tray icon's
// balloon where the desktop has none. Never modal, never waits for a click,
// and never blocks the GUI thread on the bus: every call is asynchronous and
// its answer (or failure) comes back through the event loop.
#pragma once

#include <QObject>
#include <QPointer>
#include <functional>

#include "app/RecordingNotices.h"

class QDBusConnection;
class QSystemTrayIcon;

namespace wavecrate {

class TDesktopNotifier : public QObject {
  Q_OBJECT
 public:
  // `tray` gives the balloon of the fallback; it may be null or go away.
  explicit TDesktopNotifier(QSystemTrayIcon* tray, QObject* parent = nullptr);

  // GUI thread.
  void Notify(const TNotice& notice);

  // Where a notice goes when no notification service takes it: the tray
  // icon's balloon unless replaced.
  std::function<void(const TNotice&)> Fallback;

 private:
  void Balloon(const TNotice& notice);
  // The bus is first used by the first notice, not by the window's start.
  void AskCapabilitiesOnce(QDBusConnection& bus);

  QPointer<QSystemTrayIcon> tray_;
  // Whether the service reads markup in bodies, so our text must be escaped
  // (learned from its capabilities; until the answer comes, assumed, as
  // escaping plain text only costs a few odd characters).
  bool bodyMarkup_ = true;
  bool askedCapabilities_ = false;
};

}  // namespace wavecrate
