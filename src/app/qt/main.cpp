// Program entry: refuse a second copy, decide where files live, start the
// log, build the long-lived services, show the main window (or, headless, run
// the saved schedule without one) and run until File, Exit or the end of the
// session.
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/AppPaths.h"
#include "app/CommandLine.h"
#include "app/ProgramIdentity.h"
#include "app/qt/AppServices.h"
#include "app/qt/HeadlessView.h"
#include "app/qt/LinuxServices.h"
#include "app/qt/MainForm.h"
#include "app/qt/Session.h"
#include "app/qt/StallProbe.h"
#include "audio/pulse/StereoMix.h"
#include "common/LogFile.h"
#include "common/ProgramFolders.h"

using namespace wavecrate;

namespace {

// Ends the main loop, and any loop nested in it, without asking windows to
// close. QCoreApplication::quit() would first ask every top-level window to
// close: the main window refuses (closing only hides it), and Qt then cancels
// the quit if any other top-level window was still visible at that moment,
// such as the tray icon's own window, depending on the order in which Qt
// happens to visit them. File, Exit then only hid the window, and the end of
// the session could be ignored the same way.
void EndMessageLoop() {
  QCoreApplication::exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  const TCommandLine commandLine = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (commandLine.Help) {
    std::fputs(CommandLineHelp(argv[0]).c_str(), stdout);
    return 0;
  }
  if (!commandLine.Error.empty()) {
    std::fprintf(stderr, "wavecrate: %s\n%s", commandLine.Error.c_str(), CommandLineHelp(argv[0]).c_str());
    return 2;
  }
  const bool headless = commandLine.Headless;
  if (headless) {
    // No display is needed: the players and the web views that play links
    // opening as pages draw nowhere. A platform the user chose stays.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu", 0);
  }
  // Before any thread exists (the log's reader, Qt's, the sound server's):
  // where this process plays is set in its environment once, for good.
  PointPlaybackAtStereoMix();
  const std::string exePath = OwnExecutablePath();
  // The single-instance rule keys on the executable, wherever its files are.
  if (IsAlreadyRunning(exePath, RunningProcessExeFileNames())) {
    if (headless) {
      std::fprintf(stderr, "wavecrate: Wavecrate is already running.\n");
      return 1;
    }
    QApplication app(argc, argv);
    QMessageBox box(QMessageBox::Information, "Warning",
                    "Wavecrate is already running. Please click taskbar icon to open Wavecrate.",
                    QMessageBox::Ok);
    box.exec();
    return 0;
  }

  // Decided once, before anything reads or writes a file of ours.
  const TProgramFolders folders = DecideProgramFolders(
      exePath, TAppPaths::ForExecutable(exePath).SettingsPath, TXdgEnvironment::FromProcess());
  SetProgramFolders(folders);
  std::string folderError;
  const bool foldersMade = CreateProgramFolders(folders, &folderError);
  // From here on everything written to standard error, by us or by the
  // libraries, also goes to the log file.
  TStandardErrorLog log(folders.LogPath(), std::string("wavecrate ") + WAVECRATE_VERSION + " started, pid " +
                                               std::to_string(getpid()) + ", " + exePath);
  if (!foldersMade)
    std::fprintf(stderr, "wavecrate: cannot make a folder for our files: %s\n", folderError.c_str());
  if (!log.Active()) std::fprintf(stderr, "wavecrate: no log file: %s\n", log.Error().c_str());

  QApplication app(argc, argv);
  // Closing the window only hides it, so the last window closing must not
  // end the program.
  QApplication::setQuitOnLastWindowClosed(false);
  std::unique_ptr<TStallProbe> stallProbe;
  if (std::getenv("WAVECRATE_STALL_PROBE") != nullptr) stallProbe = std::make_unique<TStallProbe>();

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
    EndMessageLoop();
  });

  // Before any window: the stereo mix decides where this process plays.
  // Scratch files go to the cache folder.
  auto services = std::make_shared<TLinuxAppServices>(folders.CacheFolder);
  const TAppPaths paths = TAppPaths::ForFolders(folders);
  if (headless) {
    if (!SettingsFileExists(paths.SettingsPath)) {
      std::fprintf(stderr,
                   "wavecrate: no settings file at %s: nothing to record (set up the schedule in the window "
                   "first)\n",
                   paths.SettingsPath.c_str());
      return 1;
    }
    int code = 0;
    {
      THeadlessView view;
      QWidget playbackHost;  // never shown
      TMainController controller(paths, services, view, &playbackHost);
      controller.StartUp();
      std::fprintf(stderr, "wavecrate: running headless\n");
      if (!ending) code = app.exec();
      controller.ExitSequence(false);
    }
    // Every slot thread has finished its file by now.
    std::fprintf(stderr, "wavecrate: headless run ended\n");
    return code;
  }
  TForm1 form(paths, services);
  QObject::connect(&form, &TForm1::ExitRequested, &app, &EndMessageLoop);
  int code = 0;
  if (!ending) {
    // The message loop shows the window if start-up has not already.
    form.show();
    code = app.exec();
  }
  form.ExitSequence(interactive);
  return code;
}
