// Failure messages. The library's hints speak to programs (Board::List(), a board that
// reconnects by itself); where the tool has a command for the same thing, its advice names the
// command, and it advises only what can work once the tool has stopped: a board that stopped
// answering answers no reset command either, and a board the tool gave up on is not reopened.
#include "report.h"

#include <cstdio>

namespace kavro::tool {

namespace {

std::string Advice(const Error& e) {
  switch (e.kind) {
    case ErrorKind::kNotFound:
      return "check that the board is plugged in and powered and that the serial number is "
             "right; `kavro list` names the boards attached";
    case ErrorKind::kTimedOut:
      return "check the board's power and cable; a board that stopped answering restarts when "
             "its power is switched off and on";
    case ErrorKind::kDisconnected:
      return "check the USB cable and power, then run the command again";
    case ErrorKind::kBadCalibration:
      return "calibrate the channel again, or record converter counts with `kavro read --raw`";
    default: return e.hint;
  }
}

}  // namespace

std::string Describe(const Error& error) {
  Error shown = error;
  shown.hint = Advice(error);
  return shown.Describe();
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "kavro: %s\n", message.c_str());
  return kExitFailure;
}

int Usage(const std::string& message) {
  std::fprintf(stderr, "kavro: %s\n", message.c_str());
  return kExitUsage;
}

int Fail(const std::string& what, const Error& error) {
  const std::string line = what + ": " + Describe(error);
  return error.kind == ErrorKind::kInvalidArgument ? Usage(line) : Fail(line);
}

}  // namespace kavro::tool
