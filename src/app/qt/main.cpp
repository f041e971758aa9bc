// Program entry: refuse a second copy, build the long-lived services, show
// the main window and run until File, Exit or the end of the session.
#include <QApplication>
#include <QMessageBox>
#include <filesystem>
#include <memory>

#include "app/ProgramIdentity.h"
#include "app/qt/AppServices.h"
#include "app/qt/LinuxServices.h"
#include "app/qt/MainForm.h"
#include "app/qt/Session.h"

using namespace wavecrate;

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // The command line is not read. Closing the window only hides it, so the
  // last window closing must not end the program.
  QApplication::setQuitOnLastWindowClosed(false);

  const std::string exePath = OwnExecutablePath();
  if (IsAlreadyRunning(exePath, RunningProcessExeFileNames())) {
    QMessageBox box(QMessageBox::Information, "Warning",
                    "Wavecrate is already running. Please click taskbar icon to open Wavecrate.",
                    QMessageBox::Ok);
    box.exec();
    return 0;
  }

  TSleepInhibitor inhibitor("Wavecrate", "Recording scheduled radio shows");
  TSessionSignals session;

  // The session may end while start-up still shows a message box (a nested
  // event loop, before the main one runs): close the boxes and end as soon
  // as start-up returns.
  bool ending = false;
  bool interactive = true;
  QObject::connect(&session, &TSessionSignals::EndRequested, &app, [&](int) {
    ending = true;
    interactive = false;
    while (QWidget* modal = QApplication::activeModalWidget()) {
      if (!modal->close()) break;
    }
    QApplication::quit();
  });

  // Before any window: the stereo mix decides where this process plays.
  auto services = std::make_shared<TLinuxAppServices>(std::filesystem::path(exePath).parent_path().string());
  const TAppPaths paths = TAppPaths::ForExecutable(exePath);
  TForm1 form(paths, services);
  QObject::connect(&form, &TForm1::ExitRequested, &app, &QApplication::quit);
  int code = 0;
  if (!ending) {
    // The message loop shows the window if start-up has not already.
    form.show();
    code = app.exec();
  }
  form.ExitSequence(interactive);
  return code;
}
