// The subcommands, each on the typed API (kavro::Board) over the link the tool chose.
#ifndef KAVRO_TOOL_SUBCOMMANDS_H
#define KAVRO_TOOL_SUBCOMMANDS_H

#include <functional>

#include "kavro/board.h"
#include "links.h"
#include "options.h"

namespace kavro::tool {

struct Session {
  const Options& options;
  Links& links;

  // How boards are opened: on the chosen link and its clock; reopened after a loss when
  // reconnect is true.
  OpenOptions Opening(bool reconnect) const;
  // Opens -s SERIAL, or the only board attached. A failure is reported on standard error;
  // *exit_code says how the tool ends.
  Result<Board> Open(OpenOptions opening, int* exit_code) const;
  // The same for serial ("": the only board attached).
  Result<Board> Open(const std::string& serial, OpenOptions opening, int* exit_code) const;
  // Open, but with --wait a board that is not attached (or cannot be opened yet) is waited for
  // on the reconnect schedule, the wait shown on standard error, until it opens or stop
  // answers true: then a kStopped error ("while waiting for SERIAL"), for the caller to report.
  Result<Board> OpenWaiting(const std::string& serial, OpenOptions opening,
                            const std::function<bool()>& stop, int* exit_code) const;
  // Reports a failed open of serial on standard error as Open does; returns the exit code.
  int OpenFailed(const std::string& serial, Error error) const;
  // For a board not found: when no USB bus could be read, says so (instead of advice to plug
  // the board in), sets *exit_code and returns true.
  bool NoBus(const Error& error, const std::string& what, int* exit_code) const;
  // The channels -c names on the board; a usage error (reported) when the board lacks one.
  Result<std::vector<unsigned int>> Channels(const Board& board, int* exit_code) const;
};

int List(const Session& s);
int Info(const Session& s);
int Read(const Session& s);
int Config(const Session& s);
int Reset(const Session& s);
int Register(const Session& s);
// Serves the live view of the boards in the browser until Ctrl-C (tools/view.cpp); its
// options are added to the command line by AddView.
int View(const Session& s);
// Two-point calibration of a channel, stored in the settings file (tools/calibrate.cpp).
int Calibrate(const Session& s);
// The settings file the tool uses: --settings FILE, else the user's ("" when there is none).
std::string SettingsPath(const Options& o);


}  // namespace kavro::tool

#endif  // KAVRO_TOOL_SUBCOMMANDS_H
