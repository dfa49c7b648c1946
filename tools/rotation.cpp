// Rotation of a recording's files: when to switch, what the next file is called, and a switch
// that loses no row and writes none twice.
#include "rotation.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "platform/platform.h"

namespace kavro::tool {

std::string Files::Refusal(const Options& o) {
  if (o.rotate_size == 0 && o.rotate_every_us == 0) return "";
  if (o.output.empty()) {
    return "--rotate-size and --rotate-every start new files named after -o FILE: give -o FILE "
           "(not standard output)";
  }
  if (o.append) {
    return "--append: a rotated recording starts new files, each named by its start, and "
           "appends to none; leave out --append";
  }
  return "";
}

std::string Files::PartName(const std::string& path, std::chrono::system_clock::time_point start,
                            unsigned part) {
  const std::size_t slash = path.find_last_of("/\\");  // a folder's end on any platform
  const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
  std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot <= base) dot = path.size();  // no extension, or ".name"
  const std::time_t s =
      std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(start));
  std::tm tm{};
  platform::UtcCalendar(s, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof(stamp), "%Y%m%dT%H%M%SZ", &tm);
  char sequence[16];
  std::snprintf(sequence, sizeof(sequence), "%04u", part);
  return path.substr(0, dot) + "-" + stamp + "-" + sequence + path.substr(dot);
}

Files::Files(const Options& o) : options_(o), out_(std::make_unique<Output>()) {}

bool Files::Open() {
  if (rotating()) return true;
  if (out_->Open(options_.output, options_.append, options_.force)) return true;
  error_ = out_->error();
  return false;
}

std::chrono::system_clock::time_point Files::Wall(std::uint64_t at_us) const {
  const auto since = static_cast<std::int64_t>(at_us - start_us_);
  return start_wall_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                           std::chrono::microseconds(since));
}

bool Files::Begin(std::uint64_t start_us, std::chrono::system_clock::time_point start,
                  Opening opening) {
  start_us_ = start_us;
  start_wall_ = start;
  opening_ = std::move(opening);
  if (rotating()) return Next(start_us, 0);
  return Write(opening_(start_us, 0, out_->fresh()));
}

bool Files::Next(std::uint64_t file_start_us, std::uint64_t period) {
  const std::string name = PartName(options_.output, Wall(file_start_us), part_ + 1);
  auto next = std::make_unique<Output>();
  // A name taken already (a recording started in the same second) is replaced only with --force.
  if (!next->Open(name, false, options_.force)) {
    const bool taken = errno == EEXIST;
    error_ = next->error() + (part_ == 0 ? "" : " (the next file of the recording)") +
             (taken ? "; give --force to replace it" : "");
    return false;
  }
  // Open first, then close the one before: when the next cannot be had, the current one
  // stays open for what ends the recording.
  if (part_ > 0 && !out_->Close()) {
    error_ = out_->error();
    next->Close();
    std::error_code ignored;  // still empty: the recording ends before it
    std::filesystem::remove(platform::PathFromUtf8(name), ignored);
    return false;
  }
  out_ = std::move(next);
  ++part_;
  size_ = rows_ = 0;
  period_ = period;
  return Write(opening_(file_start_us, part_, true));
}

bool Files::Row(const std::string& row, std::uint64_t at_us) {
  if (part_ > 0) {
    const std::uint64_t every = options_.rotate_every_us;
    const std::uint64_t period = every != 0 && at_us > start_us_ ? (at_us - start_us_) / every : 0;
    if (every != 0 && period > period_ && rows_ == 0) {
      period_ = period;  // a file holds at least one row: this one starts the period here
    } else if (every != 0 && period > period_) {
      if (!Next(start_us_ + period * every, period)) return false;
    } else if (options_.rotate_size != 0 && rows_ > 0 &&
               size_ + row.size() > options_.rotate_size) {
      if (!Next(at_us, period_)) return false;
    }
  }
  if (!Write(row)) return false;
  ++rows_;
  return true;
}

bool Files::Write(const std::string& text) {
  if (!out_->Write(text)) {
    error_ = out_->error();
    return false;
  }
  size_ += text.size();
  return true;
}

bool Files::Close() {
  if (out_->Close()) return true;
  if (error_.empty()) error_ = out_->error();
  return false;
}

}  // namespace kavro::tool
