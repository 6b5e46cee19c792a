// mok-camsim's command line: every option read into the simulator's Options,
// plus how long to run and how much to log. Bad arguments end the program
// with status 2 and --help with 0, as for mokctl.
#pragma once

#include <variant>

#include "common/log.hpp"
#include "sim/cell_scan.hpp"
#include "sim/simulator.hpp"

namespace camsim {

struct CommandLine {
  Options options;
  CellCommand cell;       // the robot cell's options (none: the weaving scene)
  double duration_s = 0;  // 0: until SIGINT or SIGTERM
  mok::log::Level log_level = mok::log::Level::Info;
};

// The parsed command line, or the status to exit with (help shown or
// arguments refused, with the message already printed).
std::variant<CommandLine, int> parse_command_line(int argc, char** argv);

}  // namespace camsim
