// A private system bus with python-dbusmock's logind, for the tests of the
// window and the session (this machine runs no logind).
#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QString>
#include <QVariantList>
#include <QVariantMap>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "support/Subprocess.h"
#include "support/TempDir.h"

namespace wavecrate::test {

// Starts a dbus-daemon of the given type ("system" or "session") listening
// in `dir`; its address, or "" when it did not come up.
inline std::string StartPrivateBus(TempDir& dir, const std::string& type, std::optional<Subprocess>& bus) {
  const std::string socket = dir.File(type + "_bus");
  const std::string address = "unix:path=" + socket;
  const std::string config = dir.File(type + "_bus.conf");
  WriteFile(config,
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
            "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig><type>" +
                type + "</type><listen>" + address +
                "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
                "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
  bus.emplace(std::vector<std::string>{"dbus-daemon", "--nofork", "--config-file=" + config});
  if (!WaitUntil([&] { return std::filesystem::exists(socket); }, std::chrono::milliseconds(5000))) return "";
  return address;
}

// A private system bus and a private session bus, both started before Qt
// first uses D-Bus: Qt takes both buses' addresses from the environment
// once, at its first use of either. The session bus also keeps every window
// test off a real desktop's session.
class TPrivateBuses {
 public:
  static const TPrivateBuses& Get() {
    static TPrivateBuses buses;
    return buses;
  }
  std::string SystemAddress;   // "" when it did not come up
  std::string SessionAddress;  // "" when it did not come up

 private:
  TPrivateBuses() {
    SystemAddress = StartPrivateBus(dir_, "system", system_);
    SessionAddress = StartPrivateBus(dir_, "session", session_);
    if (!SystemAddress.empty()) setenv("DBUS_SYSTEM_BUS_ADDRESS", SystemAddress.c_str(), 1);
    if (!SessionAddress.empty()) setenv("DBUS_SESSION_BUS_ADDRESS", SessionAddress.c_str(), 1);
  }
  // At the process's exit. A GLib D-Bus connection that a library opened on
  // one of these buses (the web engine's settings lookups do) raises SIGTERM
  // when its bus goes away: the process would die halfway through ending its
  // helpers, leave the rest running, and hold ctest on their open output.
  ~TPrivateBuses() { std::signal(SIGTERM, SIG_IGN); }
  TempDir dir_;
  std::optional<Subprocess> system_;
  std::optional<Subprocess> session_;
};

// A private session bus with python-dbusmock's notification daemon, which
// keeps every notification it is sent; one serves every test of the process.
class TPrivateNotifications {
 public:
  struct TNotification {
    QString Icon, Summary, Body;
    QVariantMap Hints;
    int Timeout = 0;
  };

  static bool Ready() {
    static TPrivateNotifications shared;
    static const bool started = shared.Start();
    return started;
  }

  // Every Notify call the daemon got, oldest first.
  static std::vector<TNotification> Sent() {
    std::vector<TNotification> sent;
    QDBusInterface mock("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                        "org.freedesktop.DBus.Mock", QDBusConnection::sessionBus());
    const QDBusMessage reply = mock.call("GetMethodCalls", "Notify");
    if (reply.type() != QDBusMessage::ReplyMessage) return sent;
    const QDBusArgument calls = reply.arguments().at(0).value<QDBusArgument>();
    calls.beginArray();
    while (!calls.atEnd()) {
      quint64 when = 0;
      QVariantList args;
      calls.beginStructure();
      calls >> when >> args;
      calls.endStructure();
      if (args.size() < 8) continue;
      const auto arg = [&](int i) {
        const QVariant v = args.at(i);
        return v.canConvert<QDBusVariant>() ? v.value<QDBusVariant>().variant() : v;
      };
      TNotification n;
      n.Icon = arg(2).toString();
      n.Summary = arg(3).toString();
      n.Body = arg(4).toString();
      const QVariant hints = arg(6);
      if (hints.canConvert<QDBusArgument>()) {
        qdbus_cast<QVariantMap>(hints.value<QDBusArgument>()).swap(n.Hints);
      } else {
        n.Hints = hints.toMap();
      }
      n.Timeout = arg(7).toInt();
      sent.push_back(n);
    }
    calls.endArray();
    return sent;
  }

  // Replaces the daemon's Notify with one that fails (true) or the
  // template's own (false).
  static bool BreakNotify(bool broken) {
    QDBusInterface mock("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                        "org.freedesktop.DBus.Mock", QDBusConnection::sessionBus());
    const QString code =
        broken ? "raise dbus.exceptions.DBusException('broken', name='org.freedesktop.DBus.Error.Failed')"
               : "ret = self.next_id\nself.next_id += 1";
    const QDBusMessage reply =
        mock.call("AddMethod", "org.freedesktop.Notifications", "Notify", "susssasa{sv}i", "u", code);
    return reply.type() == QDBusMessage::ReplyMessage;
  }

 private:
  bool Start() {
    const std::string address = TPrivateBuses::Get().SessionAddress;
    if (address.empty()) return false;
    daemon_.emplace(std::vector<std::string>{"/usr/bin/python3", "-m", "dbusmock", "--session", "--template",
                                             "notification_daemon"},
                    std::vector<std::string>{"DBUS_SESSION_BUS_ADDRESS=" + address});
    QDBusConnection session = QDBusConnection::sessionBus();
    return session.isConnected() &&
           WaitUntil(
               [&] {
                 return session.interface()->isServiceRegistered("org.freedesktop.Notifications").value();
               },
               std::chrono::milliseconds(10000));
  }

  std::optional<Subprocess> daemon_;
};

// A private bus standing in for the system bus, with python-dbusmock's logind
// (this machine runs no logind). It must come up before anything touches the
// system bus, which Qt connects to once per process, so one serves every test
// of the process (ctest runs each test in a process of its own anyway).
class TPrivateLogind {
 public:
  // Started on first use; false when the bus or the mock did not come up.
  static bool Ready() {
    static TPrivateLogind shared;
    static const bool started = shared.Start();
    return started;
  }

 private:
  bool Start() {
    const std::string address = TPrivateBuses::Get().SystemAddress;
    if (address.empty()) return false;
    logind_.emplace(
        std::vector<std::string>{"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "logind"},
        std::vector<std::string>{"DBUS_SYSTEM_BUS_ADDRESS=" + address});
    QDBusConnection system = QDBusConnection::systemBus();
    return system.isConnected() &&
           WaitUntil(
               [&] { return system.interface()->isServiceRegistered("org.freedesktop.login1").value(); },
               std::chrono::milliseconds(10000));
  }

 public:
  // (what, who, mode) of every inhibitor logind holds.
  static std::vector<std::tuple<QString, QString, QString>> Inhibitors() {
    QDBusInterface manager("org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", QDBusConnection::systemBus());
    QDBusMessage reply = manager.call("ListInhibitors");
    std::vector<std::tuple<QString, QString, QString>> result;
    if (reply.type() != QDBusMessage::ReplyMessage) return result;
    const QDBusArgument list = reply.arguments().at(0).value<QDBusArgument>();
    list.beginArray();
    while (!list.atEnd()) {
      QString what, who, why, mode;
      uint uid = 0, pid = 0;
      list.beginStructure();
      list >> what >> who >> why >> mode >> uid >> pid;
      list.endStructure();
      result.emplace_back(what, who, mode);
    }
    list.endArray();
    return result;
  }

  static bool Holds(const QString& who, const QString& mode) {
    const auto all = Inhibitors();
    return std::count(all.begin(), all.end(), std::make_tuple(QString("sleep"), who, mode)) > 0;
  }

  // What logind says before the system sleeps (true) and after it woke (false).
  static bool EmitPrepareForSleep(bool sleeping) {
    QDBusInterface mock("org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.DBus.Mock",
                        QDBusConnection::systemBus());
    const QDBusMessage reply = mock.call("EmitSignal", "org.freedesktop.login1.Manager", "PrepareForSleep",
                                         "b", QVariantList{QVariant::fromValue(QDBusVariant(sleeping))});
    return reply.type() == QDBusMessage::ReplyMessage;
  }

 private:
  std::optional<Subprocess> logind_;
};

}  // namespace wavecrate::test
