// The mokctl commands, one file each (cmd_<name>.cpp). Each registers its
// sub-command on the CLI11 app and leaves the work in `run`, which main calls
// after parsing; work throws Failure for anything the user should read. A new
// command is one declaration here and one line in main.cpp.
#pragma once

#include <functional>
#include <string>

#include <CLI/CLI.hpp>

#include "session.hpp"

namespace mokctl {

using Runner = std::function<void()>;

void add_info(CLI::App& app, const GlobalOptions& g, Runner& run);
void add_set(CLI::App& app, const GlobalOptions& g, Runner& run);
void add_scan(CLI::App& app, const GlobalOptions& g, Runner& run);
void add_snapshot(CLI::App& app, const GlobalOptions& g, Runner& run);
void add_video(CLI::App& app, const GlobalOptions& g, Runner& run);
void add_record(CLI::App& app, const GlobalOptions& g, Runner& run);
void add_demo(CLI::App& app, const GlobalOptions& g, Runner& run);
void add_stats(CLI::App& app, const GlobalOptions& g, Runner& run);
void add_view(CLI::App& app, const GlobalOptions& g, Runner& run);
void add_convert(CLI::App& app, const GlobalOptions& g, Runner& run);
void add_track(CLI::App& app, const GlobalOptions& g, Runner& run);
// Only where the calibration library is built (MOKCTL_CALIBRATE).
void add_calibrate(CLI::App& app, const GlobalOptions& g, Runner& run);

// The client's counters and last failure, a few lines.
void print_stats(mok::Client& client);

// Identity and settings as reported by the camera, one per line.
void print_device(mok::Client& client);

}  // namespace mokctl
