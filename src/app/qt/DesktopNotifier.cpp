#include "app/qt/DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QVariantMap>
#include <cstdio>

#include "app/Autostart.h"

namespace wavecrate {
namespace {

const char* const kService = "org.freedesktop.Notifications";
const char* const kPath = "/org/freedesktop/Notifications";
const char* const kInterface = "org.freedesktop.Notifications";
// An answer later than this counts as none (the call itself never blocks).
constexpr int kCallTimeoutMs = 10000;

QDBusMessage Call(const char* method) {
  return QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
}

}  // namespace

TDesktopNotifier::TDesktopNotifier(QSystemTrayIcon* tray, QObject* parent) : QObject(parent), tray_(tray) {
  Fallback = [this](const TNotice& notice) { Balloon(notice); };
}

void TDesktopNotifier::AskCapabilitiesOnce(QDBusConnection& bus) {
  if (askedCapabilities_) return;
  askedCapabilities_ = true;
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(Call("GetCapabilities"), kCallTimeoutMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
    w->deleteLater();
    const QDBusPendingReply<QStringList> reply = *w;
    if (!reply.isError()) bodyMarkup_ = reply.value().contains("body-markup");
  });
}

void TDesktopNotifier::Notify(const TNotice& notice) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    Fallback(notice);
    return;
  }
  AskCapabilitiesOnce(bus);
  const QString body = QString::fromStdString(notice.Body);
  QDBusMessage message = Call("Notify");
  QVariantMap hints;
  hints.insert("desktop-entry", QString(kDesktopId));
  // Normal urgency: a critical notification may stay until it is clicked.
  hints.insert("urgency", QVariant::fromValue(static_cast<uchar>(1)));
  message << QString("Wavecrate") << static_cast<uint>(0)
          << QString(notice.Problem ? "dialog-warning" : kDesktopId) << QString::fromStdString(notice.Title)
          << (bodyMarkup_ ? body.toHtmlEscaped() : body) << QStringList() << hints << -1;
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(message, kCallTimeoutMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, notice](QDBusPendingCallWatcher* w) {
    w->deleteLater();
    if (!w->isError()) return;
    // No notification service (or a broken one): the tray's balloon instead.
    std::fprintf(stderr, "wavecrate: no desktop notification (%s); using the tray icon's message\n",
                 qPrintable(w->error().name()));
    Fallback(notice);
  });
}

void TDesktopNotifier::Balloon(const TNotice& notice) {
  if (!tray_ || !QSystemTrayIcon::supportsMessages()) return;
  tray_->showMessage(QString::fromStdString(notice.Title), QString::fromStdString(notice.Body),
                     notice.Problem ? QSystemTrayIcon::Warning : QSystemTrayIcon::Information);
}

}  // namespace wavecrate
