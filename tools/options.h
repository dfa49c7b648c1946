// The kavro tool's command line: what the user asked for, parsed and checked. Every option
// keeps one name across the subcommands that take it (-s SERIAL, -c CHANNELS, ...).
#ifndef KAVRO_TOOL_OPTIONS_H
#define KAVRO_TOOL_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
class Validator;
}

namespace kavro::tool {

enum class Subcommand { kList, kInfo, kRead, kConfig, kReset, kRegister, kView, kCalibrate };
enum class Format { kTable, kCsv, kJson };

struct Options {
  // Before the subcommand.
  std::string link;  // "d2xx", "ftdi", "emulator"; "" lets the tool choose
  bool emulate = false;
  std::string emulator_clock = "real";  // "real" or "virtual"
  std::string emulator_fault;           // "", "drop" or "teds"
  struct Unplug {
    double after_s = 0, for_s = 0;
    double every_s = 0;  // 0: once
    std::string serial;  // "": every emulated board
  };
  std::vector<Unplug> emulator_unplug;  // --emulator-unplug, as often as it was given
  std::optional<double> emulator_load;  // every emulated channel reads these counts
  bool trace = false;
  bool verbose = false;
  std::string capture;               // --capture FILE: the link's traffic captured there
  bool capture_force = false;        // --force: an existing --capture FILE is replaced
  std::string replay;                // --replay FILE: answered from that capture, no board
  std::string replay_pace = "fast";  // "fast" or "recorded"
  std::string command_line;          // what the user typed, for the capture's header

  Subcommand subcommand = Subcommand::kList;
  std::string serial;    // -s; "" means the only board attached
  std::string channels;  // -c: "0", "0,2" or "all"; "" means channel 0

  // read
  std::uint64_t count = 0;  // -n; 0 with no duration means the default of 10
  double duration_s = 0;    // -d
  double interval_ms = 100;
  Format format = Format::kTable;
  std::string output;  // -o; "" is standard output
  bool append = false, force = false;
  bool raw = false, tare = false;
  bool no_reconnect = false;
  bool no_comments = false;  // CSV and table files without their "#" header lines
  std::string settings;      // --settings FILE; "" the user's (kavro::Settings::DefaultPath)

  // calibrate
  bool zero = false;           // --zero: the first step alone
  std::optional<double> span;  // --span LOAD: the second step
  std::optional<std::string> unit;
  unsigned int samples = 10;  // readings averaged for each point
  std::uint64_t rotate_size = 0;      // --rotate-size: the most bytes a file takes; 0: no limit
  std::uint64_t rotate_every_us = 0;  // --rotate-every: a new file each period; 0: none
  bool wait = false;                  // --wait: a board not attached at the start is waited for

  // config
  std::optional<int> rate, byte;
  // register
  std::optional<int> eeprom, address;
  // view (-i is interval_ms, 0 unless given)
  std::vector<std::string> serials;  // read and view: -s, repeated, or "all"; empty: the only one
  std::string listen = "127.0.0.1";
  int port = 8070;
  std::string recordings = "kavro-recordings";

  bool Emulated() const { return emulate || link == "emulator"; }
};

// Parses the command line. Returns the exit code when the tool should end now (help, version,
// a usage error, already reported), or nothing when opts is ready to run.
std::optional<int> ParseCommandLine(int argc, char** argv, Options& opts);

// Adds the view subcommand and its options (tools/view_options.cpp).
CLI::App* AddView(CLI::App& app, Options& opts);

// Checks a numeric option: a number in [low, high], whole (decimal, or hexadecimal after 0x)
// when asked; NaN, infinities and anything outside are refused, naming the range.
CLI::Validator Within(double low, double high, bool whole);
// Checks a quantity: a plain decimal number, then one of units (each with its factor; the first
// is taken when none is written), whose value in base units lies in [low, high]; what is
// refused is "not a " + what. Handed on as the whole number of base units.
CLI::Validator Quantity(double low, double high, std::vector<std::pair<std::string, double>> units,
                        std::string what);

// Reads an --emulator-unplug AFTER,FOR[,EVERY][,SERIAL] into u; why it is refused, or "".
std::string ParseUnplug(const std::string& text, Options::Unplug& u);

// The channels -c names ("0", "0,2", "all" for every one of board_channels), in order; ""
// gives channel 0. Whether the board has them is for the board to say. Empty when the text is
// not such a list.
std::vector<unsigned int> ParseChannels(const std::string& text, unsigned int board_channels);

}  // namespace kavro::tool

#endif  // KAVRO_TOOL_OPTIONS_H
