#include "app/CommandLine.h"

namespace wavecrate {

TCommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  TCommandLine line;
  for (const std::string& a : arguments) {
    if (a == "--headless") {
      line.Headless = true;
    } else if (a == "--help" || a == "-h") {
      line.Help = true;
    } else if (line.Error.empty()) {
      line.Error = "unknown argument \"" + a + "\"";
    }
  }
  return line;
}

std::string CommandLineHelp(const std::string& programName) {
  return "Usage: " + programName +
         " [--headless]\n"
         "Records internet radio shows at the times of its schedule.\n"
         "\n"
         "  (no argument)  show the schedule window and the tray icon\n"
         "  --headless     run the saved schedule without a window or a tray icon (no\n"
         "                 display needed); the log and the recordings history are\n"
         "                 written as usual; SIGTERM or SIGINT ends it cleanly. Set up\n"
         "                 the schedule in the window first: a headless copy reads the\n"
         "                 settings file at its start. Only one copy runs at a time.\n"
         "  --help         show this text\n";
}

}  // namespace wavecrate
