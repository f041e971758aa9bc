// The program's command line: no argument runs the window, --headless runs
// the schedule without a window or a tray.
#pragma once

#include <string>
#include <vector>

namespace wavecrate {

struct TCommandLine {
  bool Headless = false;
  bool Help = false;
  // What was not understood; empty when the line was good.
  std::string Error;
};

TCommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// What --help prints.
std::string CommandLineHelp(const std::string& programName);

}  // namespace wavecrate
