// calibrate: a channel's two-point calibration, kept in the settings file with its date. The
// two points are the mean converter counts with the cell unloaded and with a known load on it;
// they are taken in one run (asked for on the terminal) or in two (--zero, then --span LOAD).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "formats.h"
#include "report.h"
#include "subcommands.h"

namespace kavro::tool {

std::string SettingsPath(const Options& o) {
  return o.settings.empty() ? Settings::DefaultPath() : o.settings;
}

namespace {

// A known load is a finite number other than 0; a negative one (a cell pulled the other way)
// is a load like any other.
std::string LoadRefusal(double load) {
  if (!std::isfinite(load)) return "the known load must be a finite number";
  if (load == 0) return "the known load must not be 0: a span needs a load on the cell";
  return "";
}

// The mean counts of `samples` readings, or why there is none.
Result<double> MeanCounts(Board& board, unsigned int channel, unsigned int samples) {
  double sum = 0;
  for (unsigned int i = 0; i < samples; ++i) {
    Result<Reading> r = board.Read(channel);
    if (!r) return r.error();
    if (r->state != ReadingState::kOk) {
      Error e;
      e.kind = ErrorKind::kProtocol;
      e.text = "reading " + std::to_string(i + 1) + " was '" + r->raw + "', not a count";
      return e;
    }
    sum += static_cast<double>(r->counts);
  }
  return sum / samples;
}

// A line from standard input after a prompt on standard error; nothing at the end of input.
std::optional<std::string> Ask(const std::string& prompt) {
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  std::string line;
  if (!std::getline(std::cin, line)) return std::nullopt;
  return line;
}

}  // namespace

int Calibrate(const Session& s) {
  const Options& o = s.options;
  const std::string path = SettingsPath(o);
  if (path.empty())
    return Usage("calibrate: no home folder for the settings: give --settings FILE");
  if (o.span) {
    if (const std::string why = LoadRefusal(*o.span); !why.empty())
      return Usage("--span " + std::to_string(*o.span) + ": " + why);
  }
  if (o.unit && o.unit->empty()) return Usage("--unit: give a label, such as kg");
  const Result<Settings> settings = Settings::Load(path);
  if (!settings) return Usage(settings.error().text);

  int code = kExitOk;
  OpenOptions opening = s.Opening(false);
  opening.calibrated_loads = false;  // counts are all a calibration needs
  Result<Board> board = s.Open(opening, &code);
  if (!board) return code;
  const Result<std::vector<unsigned int>> channels = s.Channels(board.value(), &code);
  if (!channels) return code;
  if (channels->size() != 1) return Usage("calibrate: -c names one channel");
  const unsigned int ch = channels->front();
  const std::string serial = board->info().serial;
  const std::string where = serial + " channel " + std::to_string(ch);
  ChannelSettings entry = settings->Find(serial, ch);
  if (o.span && !entry.zero) {
    return Usage("--span: " + path + " has no zero reading of " + where +
                 ": take it first with --zero, the cell unloaded");
  }
  if (o.unit) entry.unit = *o.unit;

  auto measure = [&](const char* point) -> std::optional<double> {
    const Result<double> mean = MeanCounts(board.value(), ch, o.samples);
    if (!mean) {
      Fail(std::string("cannot take the ") + point + " reading of " + where, mean.error());
      return std::nullopt;
    }
    std::fprintf(stderr, "kavro: %s reading of %s: %.1f counts (the mean of %u)\n", point,
                 where.c_str(), *mean, o.samples);
    return *mean;
  };
  auto now = [] { return UtcTime(std::chrono::system_clock::now(), 3); };
  auto store = [&]() {
    const Status stored = Settings::Store(path, serial, ch, entry);
    if (!stored) return Fail("cannot store the calibration of " + where, stored.error());
    return kExitOk;
  };

  if (o.zero) {
    const std::optional<double> zero = measure("zero");
    if (!zero) return kExitFailure;
    entry.zero = PendingZero{*zero, now()};
    if (const int stored = store(); stored != kExitOk) return stored;
    std::printf(
        "%s: zero reading stored in %s; now put a known load on the cell and run\n"
        "  kavro calibrate -s %s -c %u --span LOAD\n",
        where.c_str(), path.c_str(), serial.c_str(), ch);
    return kExitOk;
  }
  double zero = 0, load = 0;
  if (o.span) {
    zero = entry.zero->reading;
    load = *o.span;
  } else {
    if (!Ask("Unload " + where + ", then press Enter: "))
      return Fail("calibrate: standard input ended before the cell was unloaded");
    const std::optional<double> measured = measure("zero");
    if (!measured) return kExitFailure;
    zero = *measured;
    const std::optional<std::string> typed =
        Ask("Put a known load on the cell and type that load, then press Enter: ");
    if (!typed) return Fail("calibrate: standard input ended before the known load was typed");
    // Blanks around the number (and the carriage return of a terminal that sends one) are
    // not part of it.
    std::string text = *typed;
    text.erase(text.find_last_not_of(" \t\r") + 1);
    text.erase(0, text.find_first_not_of(" \t"));
    char* end = nullptr;
    load = std::strtod(text.c_str(), &end);
    if (text.empty() || end == text.c_str() || *end != '\0')
      return Usage("calibrate: '" + *typed + "' is not a load");
    if (const std::string why = LoadRefusal(load); !why.empty()) return Usage("calibrate: " + why);
  }
  const std::optional<double> span = measure("span");
  if (!span) return kExitFailure;
  const Result<UserCalibration> made = UserCalibration::FromPoints(zero, *span, load, now());
  // The zero reading stays stored: a span taken again with the load on may still use it.
  if (!made) return Fail(where + ": " + made.error().text);
  entry.calibration = made.value();
  entry.zero.reset();
  if (const int stored = store(); stored != kExitOk) return stored;
  std::printf(
      "%s: calibrated on %s: zero reading %.1f, span reading %.1f at load %g; stored in %s\n",
      where.c_str(), made->date.c_str(), made->zero_reading, made->span_reading, made->span_load,
      path.c_str());
  return kExitOk;
}

}  // namespace kavro::tool
