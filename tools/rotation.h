// Where a recording's rows go when it may outgrow one file: with --rotate-size or
// --rotate-every, a series of files named after the -o path, each with its own header block,
// switched only between rows; without them, the one file (or standard output) as before.
#ifndef KAVRO_TOOL_ROTATION_H
#define KAVRO_TOOL_ROTATION_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "options.h"
#include "output.h"

namespace kavro::tool {

class Files {
 public:
  // The text that opens a file: its header block for the file that starts at at_us on the
  // recording's clock, the part-th of a rotated recording (0: not rotated); fresh: a file
  // with nothing in it yet.
  using Opening = std::function<std::string(std::uint64_t at_us, unsigned part, bool fresh)>;

  // Why the rotation options cannot be used as given ("" when they can): they need -o FILE,
  // and a rotated recording appends to no file.
  static std::string Refusal(const Options& o);
  // The name of a rotated recording's part-th file, which starts at start (UTC, to the
  // second): "dir/load.csv" gives "dir/load-20261207T120000Z-0001.csv".
  static std::string PartName(const std::string& path, std::chrono::system_clock::time_point start,
                              unsigned part);

  explicit Files(const Options& o);

  // Without rotation, opens -o (or standard output) as Output::Open does. With rotation
  // nothing is opened yet: the first file is named after the recording's start.
  bool Open();
  // The recording starts at start_us on its clock, start on the wall clock: the first file of
  // a rotated recording is opened, and its opening written.
  bool Begin(std::uint64_t start_us, std::chrono::system_clock::time_point start, Opening opening);
  // Writes a row taken at at_us, first starting the next file when one is due: the row would
  // take the file past --rotate-size (a file always holds at least one row), or at_us is in a
  // later period of --rotate-every. A rotation that fails ends the writing: the next file
  // could not be opened, or the one before not flushed and closed; the row is then written
  // nowhere and the call answers false.
  bool Row(const std::string& row, std::uint64_t at_us);
  // Writes text into the current file, never starting another (the closing summary).
  bool Write(const std::string& text);
  // Flushes the current file to its disk and closes it.
  bool Close();

  const std::string& error() const { return error_; }
  unsigned files() const { return part_; }  // files of a rotated recording opened so far

 private:
  bool rotating() const { return options_.rotate_size != 0 || options_.rotate_every_us != 0; }
  bool Next(std::uint64_t file_start_us, std::uint64_t period);
  std::chrono::system_clock::time_point Wall(std::uint64_t at_us) const;

  const Options& options_;
  std::unique_ptr<Output> out_;
  Opening opening_;
  std::string error_;
  std::uint64_t start_us_ = 0;
  std::chrono::system_clock::time_point start_wall_;
  std::uint64_t size_ = 0;    // bytes in the current file
  std::uint64_t rows_ = 0;    // rows in the current file
  std::uint64_t period_ = 0;  // the --rotate-every period the current file belongs to
  unsigned part_ = 0;
};

}  // namespace kavro::tool

#endif  // KAVRO_TOOL_ROTATION_H
