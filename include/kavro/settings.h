// kavro::Settings: what the user keeps per board serial number and channel in a settings file:
// a unit label, a calibration of their own and a default tare. The board stores only a unit
// code and its own calibration; the settings add what the lab knows about the cell behind it.
//
// The file is JSON (docs/settings.md); by default <user config folder>/kavro/settings.json. A
// missing file holds no settings. Nothing here throws.
#ifndef KAVRO_SETTINGS_H
#define KAVRO_SETTINGS_H

#include <map>
#include <optional>
#include <string>
#include <utility>

#include "kavro/export.h"
#include "kavro/result.h"

namespace kavro {

// A two-point calibration made by the user: the mean converter counts with the cell unloaded
// and with a known load on it. load = span_load * (counts - zero_reading) / (span_reading -
// zero_reading), in the unit the user gave the known load in.
struct KAVRO_API UserCalibration {
  double zero_reading = 0;  // counts, unloaded
  double span_reading = 0;  // counts, with span_load on the cell
  double span_load = 0;     // the known load
  std::string date;         // when it was made, UTC ISO-8601 ("2026-12-07T21:50:24Z")

  // The two points made into a calibration, or why they make none (kInvalidArgument): a known
  // load of 0 or not finite, readings not finite, or a span reading too close to the zero
  // reading to tell loads apart (less than kMinimumSpanCounts away).
  static Result<UserCalibration> FromPoints(double zero_reading, double span_reading,
                                            double span_load, std::string date);
  static constexpr double kMinimumSpanCounts = 1000;
  double scale() const { return span_load / (span_reading - zero_reading); }  // load per count
  double ToLoad(double counts) const { return (counts - zero_reading) * scale(); }
};

// A zero reading taken on its own (`kavro calibrate --zero`), waiting for its span.
struct PendingZero {
  double reading = 0;
  std::string date;
};

struct ChannelSettings {
  std::optional<std::string> unit;             // the unit label loads are given in
  std::optional<UserCalibration> calibration;  // used instead of the board's when present
  std::optional<double> tare;                  // taken off every load from the open
  std::optional<PendingZero> zero;             // a calibration's first step
  bool empty() const { return !unit && !calibration && !tare && !zero; }
};

class KAVRO_API Settings {
 public:
  // <user config folder>/kavro/settings.json: $XDG_CONFIG_HOME or ~/.config on Linux,
  // ~/Library/Application Support on macOS. "" when there is no home folder to put it in.
  static std::string DefaultPath();

  // Reads a settings file. A missing file gives empty settings. A file that is not JSON, or
  // whose values have the wrong type or make no sense, is kInvalidArgument naming the file
  // and the place (line and column, or the path of the value).
  static Result<Settings> Load(const std::string& path);

  // Replaces one channel's entry (an empty one removes it) in the file, keeping every other
  // entry and anything else the file holds. The file is written whole to a temporary file
  // beside it, synced and renamed over it, so that it is never left half written. Its folder
  // is made when missing. kInvalidArgument when the file is there but is not a settings file
  // (it is left alone), kCannotOpen when it cannot be written.
  static Status Store(const std::string& path, const std::string& serial, unsigned int channel,
                      const ChannelSettings& entry);

  // The channel's settings; empty when the file has none for it.
  ChannelSettings Find(const std::string& serial, unsigned int channel) const;
  const std::string& path() const { return path_; }  // where they were read from
  bool empty() const { return channels_.empty(); }

 private:
  std::string path_;
  std::map<std::pair<std::string, unsigned int>, ChannelSettings> channels_;
};

}  // namespace kavro

#endif  // KAVRO_SETTINGS_H
