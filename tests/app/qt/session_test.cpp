// The program's place in the desktop session: a sleep inhibitor held through
// logind, and a second copy recognised through the process list.
#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QProcessEnvironment>
#include <filesystem>

#include "app/ProgramIdentity.h"
#include "app/qt/Session.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"

namespace wavecrate {
namespace {

using namespace std::chrono_literals;

// A private bus standing in for the system bus, with python-dbusmock's logind
// (this machine runs no logind). Must run before anything touches the system bus.
TEST(SessionTest, SleepIsBlockedThroughALogindInhibitor) {
  test::TempDir dir;
  const std::string address = "unix:path=" + dir.File("system_bus");
  const std::string config = dir.File("bus.conf");
  test::WriteFile(
      config,
      "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
      "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
      "<busconfig><type>system</type><listen>" +
          address +
          "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
          "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
  test::Subprocess bus({"dbus-daemon", "--nofork", "--config-file=" + config});
  ASSERT_TRUE(test::WaitUntil([&] { return std::filesystem::exists(dir.File("system_bus")); }, 5000ms));
  setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
  test::Subprocess logind({"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "logind"},
                          {"DBUS_SYSTEM_BUS_ADDRESS=" + address});
  QDBusConnection system = QDBusConnection::systemBus();
  ASSERT_TRUE(system.isConnected());
  ASSERT_TRUE(test::WaitUntil(
      [&] { return system.interface()->isServiceRegistered("org.freedesktop.login1").value(); }, 10000ms));

  {
    TSleepInhibitor inhibitor("Wavecrate", "Recording scheduled radio shows");
    EXPECT_TRUE(inhibitor.Held());
    QDBusInterface manager("org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", system);
    QDBusMessage reply = manager.call("ListInhibitors");
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage);
    const QDBusArgument list = reply.arguments().at(0).value<QDBusArgument>();
    list.beginArray();
    bool found = false;
    while (!list.atEnd()) {
      QString what, who, why, mode;
      uint uid = 0, pid = 0;
      list.beginStructure();
      list >> what >> who >> why >> mode >> uid >> pid;
      list.endStructure();
      if (what == "sleep" && who == "Wavecrate" && mode == "block") found = true;
    }
    list.endArray();
    EXPECT_TRUE(found) << "no blocking sleep inhibitor was taken";
  }
}

TEST(SessionTest, ASecondRunningCopyIsFoundInTheProcessList) {
  // Two copies of a harmless program under our executable's file name, started
  // from the test's folder, stand for "ourselves" and "the other copy".
  test::TempDir dir;
  const std::string copy = dir.File("wavecrate");
  std::filesystem::copy_file("/bin/sleep", copy);
  const std::string ownPath = "/opt/apps/wavecrate";
  test::Subprocess first({copy, "30"});
  ASSERT_TRUE(test::WaitUntil(
      [&] {
        auto names = RunningProcessExeFileNames();
        return std::count(names.begin(), names.end(), "wavecrate") >= 1;
      },
      5000ms));
  EXPECT_FALSE(IsAlreadyRunning(ownPath, RunningProcessExeFileNames())) << "one match is ourselves";
  test::Subprocess second({copy, "30"});
  ASSERT_TRUE(test::WaitUntil(
      [&] {
        auto names = RunningProcessExeFileNames();
        return std::count(names.begin(), names.end(), "wavecrate") >= 2;
      },
      5000ms));
  EXPECT_TRUE(IsAlreadyRunning(ownPath, RunningProcessExeFileNames()));
}

}  // namespace
}  // namespace wavecrate
