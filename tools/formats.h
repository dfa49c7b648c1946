// The output formats of a recording: rows of readings, failed readings and connection events
// as a table, CSV or JSON lines, and the summary at the end.
#ifndef KAVRO_TOOL_FORMATS_H
#define KAVRO_TOOL_FORMATS_H

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "kavro/board.h"
#include "kavro/recording.h"
#include "options.h"

namespace kavro::tool {

// When a row happened: on the wall clock (shown in UTC) and in seconds since the start of the
// recording on the monotonic clock the recording keeps its due times on.
struct Stamp {
  std::chrono::system_clock::time_point wall;
  double elapsed_s = 0;
  std::string serial;
  std::string session;  // when the recording started, in UTC to the microsecond: tells
                        // sessions appended to one file apart
};

// Minimum, maximum, mean and standard deviation of one channel's values.
struct ChannelStats {
  unsigned int channel = 0;
  std::uint64_t count = 0;
  double min = 0, max = 0, mean = 0, m2 = 0;
  void Add(double value);
  double sd() const;
};

struct RecordingEnd {
  std::string serial;
  RecordSummary summary;
  std::vector<ChannelStats> channels;
  std::map<std::string, std::uint64_t> failures;  // failed readings by what failed
  std::string ended;                              // why it ended: "count reached", ...
};

// What a recording's file opens with, so that it can be read without the tool: the board, the
// converter and calibration of each channel recorded, and the tare taken off its loads.
struct ChannelHeader {
  unsigned int channel = 0;
  Result<ConverterConfig> converter = Error{};  // on boards with a converter per channel
  Result<Calibration> calibration = Error{};    // the board's
  ChannelSettings settings;                     // what the settings file holds for it
  std::optional<double> tare;  // taken off every load of the channel; none when not tared
  bool default_tare = false;   // the tare is the settings' default tare
};
struct BoardHeader {
  BoardInfo info;
  std::string link;
  bool converter_per_channel = false;
  Result<ConverterConfig> converter = Error{};  // the board's, when not per channel
  std::vector<ChannelHeader> channels;
};
struct FileHeader {
  std::string command;  // the command line as typed
  std::string host;
  std::vector<BoardHeader> boards;
  std::string settings;  // the settings file applied ("" none), and whether it was there
  bool settings_found = false;
  unsigned part = 0;  // which file of a rotated recording this opens, from 1; 0: not rotated
};

// The unit a channel's loads are in: the settings' label, else "unit code N" from the board's
// calibration (no names are made up for the codes); "" when neither is known.
std::string UnitOf(const ChannelHeader& c);

// Asks the board for its converter configuration and the calibration of each of the channels,
// in the order `kavro info` shows them; what fails is kept as its error.
BoardHeader DescribeBoard(Board& board, const std::vector<unsigned int>& channels);
// This machine's name, "" when it has none.
std::string HostName();
// A board's description as a JSON document (the same fields as the header of a JSON recording).
std::string BoardJson(const BoardHeader& board, int indent);

// "2026-12-06T08:55:59.749Z", or with 6 decimals "2026-12-06T08:55:59.749012Z"
std::string UtcTime(std::chrono::system_clock::time_point t, int decimals = 3);
// "timed out: Timeout Error" (with " (D2XX status N)" when there is one), printable.
std::string Brief(const Error& error);

class Rows {
 public:
  // loads: a load column (calibrated recording); digits[channel]: decimals of its loads.
  // reconnects: a loss is followed by reopening (else it ends the recording).
  // comments: CSV and table files open with their header block as lines starting with "#".
  Rows(Format format, bool loads, std::vector<int> digits, bool reconnects, bool comments = true);

  std::string Header() const;  // "" for JSON
  // What opens each recording (at is its start), in a fresh file or appended to one: in JSON a
  // "session" line that carries the header; in CSV and table the header block as "#" lines
  // (unless without comments), then the column header (CSV: only in a fresh file).
  std::string SessionStart(const Stamp& at, bool fresh, const FileHeader& header) const;
  // Why rows of this format may not be appended to a file whose first line is first_line (""
  // when they may): a file of another format, or with other columns, is never mixed with them.
  std::string AppendRefusal(const std::string& first_line) const;
  std::string Reading(const Stamp& at, const Reading& reading) const;
  std::string Failure(const Stamp& at, unsigned int channel, const Error& error) const;
  std::string Event(const Stamp& at, const BoardEvent& event) const;
  // A JSON line; "" for the others. With boards (more than one), the totals of that many
  // boards: a line of type "total" (end.serial is then not used).
  std::string Summary(const RecordingEnd& end, std::size_t boards = 0) const;
  // The summary for standard error, whatever the format; "summary SERIAL:" when there are
  // several boards, and "summary:" for one board or for the totals (boards > 1).
  std::string SummaryText(const RecordingEnd& end, std::size_t boards = 0) const;
  // A load as the table shows it: the decimals of the channel's calibration (at least one).
  std::string Load(unsigned int channel, double load, const std::string& serial = "") const;
  // The decimals of each channel of the board serial, when several boards are recorded.
  void SetDigits(const std::string& serial, std::vector<int> digits);

 private:
  std::string EventText(const BoardEvent& event) const;
  Format format_;
  bool loads_;
  int Digits(const std::string& serial, unsigned int channel) const;
  std::vector<int> digits_;
  std::map<std::string, std::vector<int>> board_digits_;
  bool several_ = false;  // rows of more than one board
  bool reconnects_;
  bool comments_;
};

}  // namespace kavro::tool

#endif  // KAVRO_TOOL_FORMATS_H
