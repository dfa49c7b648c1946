// The command line, with CLI11. Each subcommand's help ends with examples that run as they
// stand (the tests run every one of them), on the emulated boards.
#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kavro::tool {

namespace {

constexpr int kUsage = 2;

// "Examples:" and the lines given, each a command as the user would type it.
std::string Examples(std::initializer_list<const char*> lines, const char* after = "") {
  std::string text = "\nExamples:\n";
  for (const char* line : lines) text += std::string("  ") + line + "\n";
  return text + after;
}

const char kAfterMain[] =
    "\nWithout --emulate, boards are reached through FTDI's D2XX library when it is installed,\n"
    "else through libftdi1; --link names one. --capture FILE keeps every call to the link in\n"
    "FILE; --replay FILE runs the same subcommand and arguments again from it, with no board,\n"
    "and says where the run departs from the capture. Exit codes: 0 success; 1 a board, link\n"
    "or file failure, or a replay that departed; 2 a usage error (a --replay FILE that is not a\n"
    "capture among them).\n";

const char kAfterRead[] =
    "\nRows name the board and the channel, with the time in UTC and the seconds since the\n"
    "start. A board that goes away is reopened (rows and events show the gap) unless\n"
    "--no-reconnect. Every row is written as it is taken; a write error ends the recording\n"
    "(exit 1) and keeps the rows written. Ctrl-C, SIGTERM and SIGHUP end it with the summary.\n"
    "Each recording opens with its header: the tool, the start, the host, the command line and\n"
    "each board's type, version, converter, calibration, unit and tare; as lines starting\n"
    "with # in CSV and table (--no-comments leaves them out), in the session record in JSON.\n"
    "The settings file (--settings, else kavro/settings.json in the user's configuration\n"
    "folder) gives channels a unit label, a default tare and a calibration of the user's\n"
    "(kavro calibrate); the header says which calibration gives each channel's loads.\n"
    "--rotate-size and --rotate-every write -o NAME.EXT as NAME-20261207T120000Z-0001.EXT,\n"
    "-0002 and so on (the UTC start of each file and its sequence number), each file with its\n"
    "header; the periods count from the start on the recording's own clock.\n";

}  // namespace

// A number in [low, high]: whole (decimal, or hexadecimal after 0x) or not. NaN, infinities
// and anything outside are refused with the option's range in plain numbers; what is accepted
// is handed on in decimal, so that every option reads its number the same way.
CLI::Validator Within(double low, double high, bool whole) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        const char* p = text.c_str();
        char* end = nullptr;
        double value = 0;
        errno = 0;
        if (whole) {
          const bool hex = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0;
          const bool digits = !text.empty() && text.find_first_not_of(
                                                   hex ? "0123456789abcdefABCDEFxX" : "0123456789",
                                                   hex ? 2 : 0) == std::string::npos;
          const unsigned long long n = digits ? std::strtoull(p, &end, hex ? 16 : 10) : 0;
          value = static_cast<double>(n);
          if (!digits || errno != 0 || end == p || *end != '\0') value = std::nan("");
        } else {
          value = std::strtod(p, &end);
          if (end == p || *end != '\0') value = std::nan("");
        }
        if (!(value >= low && value <= high)) {  // NaN fails both
          char range[96];
          std::snprintf(range, sizeof(range), "%s from %.15g to %.15g",
                        whole ? "a whole number" : "a number", low, high);
          return text + " is not " + range;
        }
        char canonical[64];
        std::snprintf(canonical, sizeof(canonical), whole ? "%.0f" : "%.17g", value);
        text = canonical;
        return "";
      },
      "");
}

CLI::Validator Quantity(double low, double high, std::vector<std::pair<std::string, double>> units,
                        std::string what) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        const std::size_t unit = text.find_first_not_of("0123456789.");
        const std::string number = text.substr(0, unit);
        const std::string suffix = unit == std::string::npos ? "" : text.substr(unit);
        double factor = suffix.empty() ? units.front().second : 0;
        for (const auto& [name, times] : units) {
          if (suffix.size() == name.size() &&
              std::equal(name.begin(), name.end(), suffix.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
              }))
            factor = times;
        }
        const bool plain = number.find_first_of("0123456789") != std::string::npos &&
                           number.find('.') == number.rfind('.');
        const double value =
            plain && factor > 0 ? std::strtod(number.c_str(), nullptr) * factor : std::nan("");
        if (!(value >= low && value <= high)) return text + " is not a " + what;
        char canonical[32];
        std::snprintf(canonical, sizeof(canonical), "%.0f", std::round(value));
        text = canonical;
        return "";
      },
      "");
}

namespace {

void AddSerial(CLI::App* c, Options& o) {
  c->add_option("-s,--serial", o.serial, "Serial number of the board (default: the only one)");
}

void AddSettings(CLI::App* c, Options& o) {
  c->add_option("--settings", o.settings,
                "Settings file with unit labels, user calibrations and default tares (default: "
                "kavro/settings.json in the user's configuration folder)")
      ->type_name("FILE");
}

CLI::Option* AddChannels(CLI::App* c, Options& o, const char* what) {
  return c->add_option("-c,--channel", o.channels, what);
}

}  // namespace

std::vector<unsigned int> ParseChannels(const std::string& text, unsigned int board_channels) {
  std::vector<unsigned int> channels;
  if (text.empty()) return {0};
  if (text == "all") {
    for (unsigned int c = 0; c < board_channels; ++c) channels.push_back(c);
    return channels;
  }
  const char* p = text.data();
  const char* end = p + text.size();
  for (;;) {
    unsigned int c = 0;
    const auto r = std::from_chars(p, end, c);
    if (r.ec != std::errc() || r.ptr == p) return {};
    for (unsigned int before : channels) {
      if (before == c) return {};  // a channel read twice on every row
    }
    channels.push_back(c);
    if (r.ptr == end) return channels;
    if (*r.ptr != ',') return {};
    p = r.ptr + 1;
  }
}

std::string ParseUnplug(const std::string& text, Options::Unplug& u) {
  std::vector<std::string> fields;
  for (std::size_t at = 0;;) {
    const std::size_t comma = text.find(',', at);
    fields.push_back(text.substr(at, comma == std::string::npos ? comma : comma - at));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  if (fields.size() < 2 || fields.size() > 4)
    return text + " is not AFTER,FOR[,EVERY][,SERIAL]";
  double* numbers[] = {&u.after_s, &u.for_s, &u.every_s};
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const bool serial = i == 3 || (i == 2 && fields.size() == 3 &&
                                   fields[i].find_first_not_of("0123456789.eE+") != std::string::npos);
    if (serial) {
      if (i != fields.size() - 1 || fields[i].empty()) return text + ": SERIAL comes last";
      u.serial = fields[i];
      continue;
    }
    std::string number = fields[i];
    if (std::string why = Within(0, 86400, false)(number); !why.empty()) return why;
    *numbers[i] = std::stod(number);
  }
  if (u.every_s != 0 && u.every_s <= u.for_s)
    return text + ": EVERY must be longer than FOR, or the board never comes back";
  return "";
}

std::optional<int> ParseCommandLine(int argc, char** argv, Options& o) {
  std::vector<std::string> unplugs;  // --emulator-unplug as given
  CLI::App app{"kavro: list, inspect, configure and record USB load-measuring boards"};
  app.set_version_flag("--version", "kavro " KAVRO_VERSION " (KAVRO_USB_DLL " KAVRO_VERSION ")");
  app.footer(Examples({"kavro --emulate list", "kavro --emulate info -s KAVRO-0009",
                       "kavro --emulate read -s KAVRO-0001 -n 20 -i 50",
                       "kavro --emulate --emulator-unplug 1,1 read -s KAVRO-0001 -d 3 -i 250",
                       "kavro --emulate --emulator-clock virtual --emulator-unplug 10,1,20,KAVRO-0009 "
                       "read -s all -d 60 -i 1000",
                       "kavro --emulate --capture session.kavrolog --force read -s KAVRO-0001 -n 5 "
                       "-i 50",
                       "kavro --replay session.kavrolog read -s KAVRO-0001 -n 5 -i 50",
                       "kavro --replay session.kavrolog --replay-pace recorded read -s KAVRO-0001 "
                       "-n 5 -i 50"},
                      kAfterMain));
  app.require_subcommand(0, 1);
  app.fallthrough();
  auto* link =
      app.add_option("--link", o.link,
                     "Link to the boards: d2xx (FTDI's D2XX library), ftdi (libftdi1) or emulator")
          ->check(CLI::IsMember({"d2xx", "ftdi", "emulator"}));
  auto* emulate =
      app.add_flag("--emulate", o.emulate,
                   "Use the built-in emulated boards KAVRO-0001 (one channel) and KAVRO-0009 (four "
                   "channels); the same as --link emulator");
  app.add_option("--emulator-clock", o.emulator_clock,
                 "real (default), or virtual: runs as fast as possible, for trying things and "
                 "for tests")
      ->envname("KAVRO_EMULATOR_CLOCK")
      ->check(CLI::IsMember({"real", "virtual"}));
  app.add_option("--emulator-unplug", unplugs,
                 "AFTER,FOR[,EVERY][,SERIAL]: unplug the emulated boards (or only SERIAL) AFTER "
                 "seconds from the start, for FOR seconds, and with EVERY again every EVERY "
                 "seconds (more than FOR); each 0 to 86400; give it again for another board")
      ->type_size(1)
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->check(CLI::Validator(
          [](std::string& text) {
            Options::Unplug u;
            return ParseUnplug(text, u);
          },
          ""));
  app.add_option("--emulator-fault", o.emulator_fault,
                 "Make the emulated boards misbehave: drop (no replies) or teds (every command "
                 "refused with a TEDS error)")
      ->check(CLI::IsMember({"drop", "teds"}));
  app.add_option("--emulator-load", o.emulator_load,
                 "COUNTS: every channel of the emulated boards reads this constant converter "
                 "count (0 to 8000000), as with a load held still on the cell")
      ->check(Within(0, 8e6, false));
  app.add_flag("--trace", o.trace, "Print every frame sent and received");
  app.add_flag("--verbose", o.verbose, "Say which link is used, and the board's events");
  app.add_option("--capture", o.capture,
                 "Capture every call to the link in FILE, to replay it later with --replay (an "
                 "existing FILE is refused unless --force)")
      ->type_name("FILE");
  // The option's earlier name, kept for scripts written with it; left out of the help.
  std::string record;
  app.add_option("--record", record)->group("");
  app.add_flag("--force", o.capture_force, "Replace the --capture FILE if it exists");
  auto* replay = app.add_option("--replay", o.replay,
                                "Answer from a --capture FILE instead of a board: give the "
                                "subcommand and arguments it was captured with")
                     ->type_name("FILE")
                     ->excludes(link)
                     ->excludes(emulate);
  app.add_option("--replay-pace", o.replay_pace,
                 "fast (default): at once; recorded: at the pace of the capture")
      ->check(CLI::IsMember({"fast", "recorded"}))
      ->needs(replay);

  auto* list =
      app.add_subcommand("list", "Count the attached boards and list their serial numbers");
  std::string format = "table";
  const auto add_format = [&format](CLI::App* c) {
    c->add_option("--format", format, "table (default) or json (one JSON document)")
        ->check(CLI::IsMember({"table", "json"}));
  };
  add_format(list);
  list->footer(Examples({"kavro --emulate list", "kavro --emulate list --format json"}));

  auto* info = app.add_subcommand(
      "info", "Show boards' link, type, version, converter and calibration (all boards unless -s)");
  AddSerial(info, o);
  add_format(info);
  info->footer(Examples({"kavro --emulate info", "kavro --emulate info -s KAVRO-0009",
                         "kavro --emulate info -s KAVRO-0001 --format json"}));

  auto* read = app.add_subcommand("read", "Record readings (calibrated loads unless --raw)");
  read->add_option("-s,--serial", o.serials,
                   "Board to record, repeated for several on one schedule, or all (default: the "
                   "only one)")
      ->take_all();
  AddChannels(read, o,
              "Channels to record on each board: 0 (default), a list such as 0,2, or all");
  auto* n =
      read->add_option("-n,--count", o.count, "Readings per channel, 1 to 1000000000 (default 10)")
          ->check(Within(1, 1e9, true));
  read->add_option("-d,--duration", o.duration_s,
                   "Record for this many seconds, 0.001 to 1000000000")
      ->check(Within(0.001, 1e9, false))
      ->excludes(n);
  read->add_option("-i,--interval", o.interval_ms,
                   "Milliseconds from one reading to the next, 0 to 86400000 (default 100; 0: as "
                   "fast as the board answers)")
      ->check(Within(0, 86400000, false));
  read->add_option("--format", format, "table (default), csv or json (one object per line)")
      ->check(CLI::IsMember({"table", "csv", "json"}));
  auto* out = read->add_option("-o,--output", o.output,
                               "Write the rows to this file, - for standard output (an existing "
                               "file is refused unless --append or --force)");
  auto* append =
      read->add_flag("--append", o.append, "Add to the -o file if it exists")->needs(out);
  read->add_flag("--force", o.force, "Replace the -o file if it exists")
      ->needs(out)
      ->excludes(append);
  auto* raw = read->add_flag("--raw", o.raw, "Record converter counts, without calibration");
  read->add_flag("--tare", o.tare, "Zero each channel on the mean of 10 readings first")
      ->excludes(raw);
  read->add_flag("--no-reconnect", o.no_reconnect,
                 "Stop at the first failure (a board gone, a reading failed), exit 1");
  AddSettings(read, o);
  read->add_flag("--no-comments", o.no_comments,
                 "CSV and table without the header lines starting with # (for readers that "
                 "cannot skip them)");
  read->add_option("--rotate-size", o.rotate_size,
                   "Start a new -o file before a row would take one past SIZE: bytes, or with "
                   "K, M, G or T (powers of 1024), 1K to 1T")
      ->type_name("SIZE")
      ->transform(Quantity(
          1024, 1099511627776.0,
          {{"", 1}, {"K", 1024}, {"M", 1048576}, {"G", 1073741824.0}, {"T", 1099511627776.0}},
          "size from 1K to 1T (bytes, or with K, M, G or T, such as 10M)"));
  read->add_option("--rotate-every", o.rotate_every_us,
                   "Start a new -o file every DURATION of the recording: a number with s, m, h "
                   "or d, 1s to 365d")
      ->type_name("DURATION")
      ->transform(Quantity(1e6, 365 * 86400e6,
                           {{"s", 1e6}, {"m", 60e6}, {"h", 3600e6}, {"d", 86400e6}},
                           "duration from 1s to 365d (a number with s, m, h or d, such as 15m)"));
  read->add_flag("--wait", o.wait,
                 "Wait for a board that is not attached yet (looked for every 0.1 s) instead "
                 "of failing; Ctrl-C ends the wait");
  read->footer(Examples(
      {"kavro --emulate read -s KAVRO-0001 -n 20 -i 50",
       "kavro --emulate read -s KAVRO-0001 -s KAVRO-0009 -n 5 --format csv",
       "kavro --emulate read -s KAVRO-0009 -c 0,2 -n 10 --format csv -o load.csv",
       "kavro --emulate read -s KAVRO-0009 -c all -n 5 --format csv --append -o load.csv",
       "kavro --emulate read -s KAVRO-0001 --raw -n 5 --force -o load.csv",
       "kavro --emulate read -s KAVRO-0001 -n 5 --format csv --no-comments --force -o load.csv",
       "kavro --emulate read -s KAVRO-0001 --tare -d 2 --format json",
       "kavro --emulate --emulator-clock virtual read -s KAVRO-0001 -d 7200 -i 1000 "
       "--format csv --rotate-every 1h --force -o load.csv",
       "kavro --emulate --emulator-clock virtual --emulator-unplug 0,2 read -s KAVRO-0001 "
       "--wait -n 5",
       "kavro --emulate --emulator-unplug 1,1 read -s KAVRO-0001 -d 3 -i 250",
       "kavro --emulate --emulator-clock virtual --emulator-unplug 2,2 read -s KAVRO-0001 -d 6"},
      kAfterRead));

  auto* config = app.add_subcommand("config", "Show or set the converter configuration");
  AddSerial(config, o);
  AddChannels(config, o, "Channels (type-9 boards): 0 (default), a list such as 0,2, or all");
  auto* rate = config->add_option("--rate", o.rate, "Set the sampling-rate code, 0 to 15")
                   ->check(Within(0, 15, true));
  config->add_option("--byte", o.byte, "Write the whole configuration byte, 0 to 255")
      ->check(Within(0, 255, true))
      ->excludes(rate);
  config->footer(Examples({"kavro --emulate config -s KAVRO-0001",
                           "kavro --emulate config -s KAVRO-0001 --rate 7",
                           "kavro --emulate config -s KAVRO-0009 -c all --byte 0x35"}));

  auto* reset = app.add_subcommand("reset", "Reset a board and wait for it to restart");
  AddSerial(reset, o);
  reset->footer(Examples({"kavro --emulate reset -s KAVRO-0001"}));

  auto* reg = app.add_subcommand("register", "Read an EEPROM or channel register");
  AddSerial(reg, o);
  auto* ee = reg->add_option("--eeprom", o.eeprom, "EEPROM address, 0 to 255")
                 ->check(Within(0, 255, true));
  AddChannels(reg, o, "Channel of a channel register")->excludes(ee);
  reg->add_option("--address", o.address, "Channel register address, 0 to 255")
      ->check(Within(0, 255, true))
      ->excludes(ee);
  reg->footer(Examples({"kavro --emulate register -s KAVRO-0001 --eeprom 0x40",
                        "kavro --emulate register -s KAVRO-0009 -c 1 --address 0x64"}));

  CLI::App* view = AddView(app, o);

  auto* calibrate = app.add_subcommand(
      "calibrate", "Calibrate a channel on two points: unloaded, then with a known load");
  AddSerial(calibrate, o);
  AddChannels(calibrate, o, "The channel to calibrate (default 0)");
  auto* zero = calibrate->add_flag(
      "--zero", o.zero, "Only take the zero reading now (the cell unloaded); --span follows");
  calibrate
      ->add_option("--span", o.span,
                   "LOAD: take the span reading now, with LOAD on the cell, after --zero; LOAD "
                   "is in the unit the loads are to be in, not 0")
      ->excludes(zero);
  calibrate->add_option("--unit", o.unit, "Unit label for the channel's loads, such as kg");
  calibrate
      ->add_option("-n,--samples", o.samples,
                   "Readings averaged for each point, 1 to 100000 (default 10)")
      ->check(Within(1, 1e5, true));
  AddSettings(calibrate, o);
  calibrate->footer(Examples(
      {"kavro --emulate --emulator-load 1000 calibrate -s KAVRO-0001 --zero --settings s.json",
       "kavro --emulate --emulator-load 401000 calibrate -s KAVRO-0001 --span 100 --unit kg "
       "--settings s.json",
       "kavro --emulate --emulator-load 201000 read -s KAVRO-0001 -n 3 --settings s.json"},
      "\nWithout --zero or --span it asks on the terminal: unload the cell and press Enter, then\n"
      "put a known load on it and type that load. The calibration is stored with its date in\n"
      "the settings file; `kavro read` then gives the channel's loads by it and says so.\n"));

  app.allow_extras();  // to name an unknown subcommand in the message
  for (CLI::App* c : {list, info, read, config, reset, reg, view, calibrate})
    c->allow_extras(false);

  // As a shell would take it again: an argument with anything but plain characters is quoted.
  o.command_line = "kavro";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool plain = !arg.empty() && arg.find_first_not_of(
                                           "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                           "0123456789_./,:=@%+-") == std::string::npos;
    std::string quoted = "'";
    for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    o.command_line += " " + (plain ? arg : quoted + "'");
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : kUsage;
  }
  const std::vector<std::string> extra = app.remaining();
  const std::vector<CLI::App*> chosen = app.get_subcommands();
  if (chosen.empty()) {
    if (extra.empty()) {
      std::fprintf(stderr,
                   "kavro: a subcommand is required\nRun with --help for more information.\n");
    } else {
      std::fprintf(stderr,
                   "kavro: unknown subcommand '%s' (list, info, read, config, reset, register, "
                   "view, calibrate)\n",
                   extra.front().c_str());
    }
    return kUsage;
  }
  if (!extra.empty()) {
    std::fprintf(stderr, "kavro %s: unexpected argument '%s'\n", chosen[0]->get_name().c_str(),
                 extra.front().c_str());
    return kUsage;
  }
  const std::pair<CLI::App*, Subcommand> subcommands[] = {
      {list, Subcommand::kList},   {info, Subcommand::kInfo},
      {read, Subcommand::kRead},   {config, Subcommand::kConfig},
      {reset, Subcommand::kReset}, {reg, Subcommand::kRegister},
      {view, Subcommand::kView},   {calibrate, Subcommand::kCalibrate}};
  for (const auto& [app_of, which] : subcommands) {
    if (chosen[0] == app_of) o.subcommand = which;
  }

  auto usage = [](const char* message) {
    std::fprintf(stderr, "kavro: %s\n", message);
    return kUsage;
  };
  if (!record.empty() && !o.capture.empty())
    return usage("--record and --capture are one option: give it once");
  if (o.capture.empty()) o.capture = record;
  if (o.capture_force && o.capture.empty()) return usage("--force needs --capture FILE");
  if (o.emulate && !o.link.empty() && o.link != "emulator")
    return usage("--emulate and --link name different links");
  if (!o.Emulated() && (!o.emulator_fault.empty() || !unplugs.empty() || o.emulator_load))
    return usage("--emulator-fault, --emulator-load and --emulator-unplug need --emulate");
  if (o.subcommand == Subcommand::kRegister && !o.eeprom && !(o.address && !o.channels.empty()))
    return usage("register: give --eeprom ADDR, or -c CH with --address ADDR");
  // Which channels the board has is for the board to say; the list itself is checked here.
  if (!o.channels.empty() && o.channels != "all" && ParseChannels(o.channels, 0).empty()) {
    return usage(
        ("-c " + o.channels + ": give a channel, a list of different channels such as 0,2, or all")
            .c_str());
  }
  for (const std::string& text : unplugs) {
    Options::Unplug u;
    (void)ParseUnplug(text, u);  // checked while parsing
    if (!u.serial.empty() && u.serial != "KAVRO-0001" && u.serial != "KAVRO-0009") {
      return usage(("--emulator-unplug " + text +
                    ": no emulated board " + u.serial + " (KAVRO-0001, KAVRO-0009)")
                       .c_str());
    }
    o.emulator_unplug.push_back(u);
  }
  if (o.output == "-") o.output.clear();  // standard output
  o.format = format == "csv" ? Format::kCsv : format == "json" ? Format::kJson : Format::kTable;
  if (o.subcommand == Subcommand::kRead && o.count == 0 && o.duration_s == 0) o.count = 10;
  if (o.subcommand == Subcommand::kView && view->get_option("--interval")->count() == 0)
    o.interval_ms = 0;
  return std::nullopt;
}

}  // namespace kavro::tool
