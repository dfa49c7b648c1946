// Where a recording's rows go: standard output or a file, each row written whole as it is
// taken (nothing waits in a buffer) and every write error caught. An existing file is never
// emptied unless the user says --force, and is opened only when there is something to write.
#ifndef KAVRO_TOOL_OUTPUT_H
#define KAVRO_TOOL_OUTPUT_H

#include <cstdint>
#include <optional>
#include <string>

namespace kavro::tool {

class Output {
 public:
  Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  ~Output();

  // Checked before the board is touched: why path may not be written ("" when it may). An
  // existing regular file needs append or force.
  static std::string Refusal(const std::string& path, bool append, bool force);

  // The first line of the file at path, without its end (past_comments: the first that does
  // not start with "#", "" when there is none in its first MiB); nothing when the file is empty
  // or is not a regular file. What --append checks the rows to be added against.
  static std::optional<std::string> FirstLine(const std::string& path, bool past_comments);

  // Opens path ("" for standard output): appended to, replaced (force) or created.
  bool Open(const std::string& path, bool append, bool force);
  // Standard output, or a file that had nothing in it (a header belongs at its top).
  bool fresh() const { return fresh_; }
  // Writes text whole. On a failure the part of it that reached a file is cut off again, so
  // the file ends with the last whole row, and nothing more is written.
  bool Write(const std::string& text);
  // Flushes a file to its disk and closes it.
  bool Close();

  const std::string& name() const { return name_; }
  const std::string& error() const { return error_; }  // what failed, for the user

 private:
  bool Failed(const std::string& what);

  int fd_ = -1;
  bool owned_ = false, regular_ = false, fresh_ = true, failed_ = false;
  std::int64_t whole_ = 0;  // the size of a regular file up to the last whole row
  std::string name_ = "standard output", error_;
};

}  // namespace kavro::tool

#endif  // KAVRO_TOOL_OUTPUT_H
