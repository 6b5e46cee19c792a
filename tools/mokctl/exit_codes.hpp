// How mokctl ends: the exit codes `mokctl --help` lists, and Failure, which
// carries a whole sentence for the user and the code to exit with. Commands
// throw it; main prints it and returns the code.
#pragma once

#include <stdexcept>
#include <string>

namespace mokctl {

// Exit codes, listed in `mokctl --help`.
enum Exit : int {
  kOk = 0,
  kFailed = 1,       // anything else
  kUsage = 2,        // bad arguments or a refused address
  kUnreachable = 3,  // no connection to the camera
  kTimeout = 4,      // connected, but the camera did not answer in time
  kNoDecoder = 5,    // video asked for, decoder library missing
  kRefused = 6,      // a calibration refused: the views leave the mounting undetermined
};

// A failure the user should read: `what()` is a whole sentence.
class Failure : public std::runtime_error {
 public:
  Failure(int exit_code, const std::string& sentence) : std::runtime_error(sentence), exit_code_(exit_code) {}
  int exit_code() const { return exit_code_; }

 private:
  int exit_code_;
};

}  // namespace mokctl
