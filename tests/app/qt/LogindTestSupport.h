// A private system bus with python-dbusmock's logind, for the tests of the
// window and the session (this machine runs no logind).
#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QString>
#include <QVariantList>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "support/Subprocess.h"
#include "support/TempDir.h"

namespace wavecrate::test {

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
    const std::string address = "unix:path=" + dir_.File("system_bus");
    const std::string config = dir_.File("bus.conf");
    WriteFile(config,
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
              "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig><type>system</type><listen>" +
                  address +
                  "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
                  "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    bus_.emplace(std::vector<std::string>{"dbus-daemon", "--nofork", "--config-file=" + config});
    if (!WaitUntil([&] { return std::filesystem::exists(dir_.File("system_bus")); },
                   std::chrono::milliseconds(5000)))
      return false;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
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
  TempDir dir_;
  std::optional<Subprocess> bus_;
  std::optional<Subprocess> logind_;
};

}  // namespace wavecrate::test
