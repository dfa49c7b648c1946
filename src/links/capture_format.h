// One D2XX call as a capture holds it, and its line of JSON: the one place where the
// capture file's layout is defined, for the capture link that writes it and the replay link
// that reads it. docs/capture-format.md describes the same layout for people.
#ifndef KAVRO_CAPTURE_FORMAT_H
#define KAVRO_CAPTURE_FORMAT_H

#include <cstdint>
#include <string>
#include <vector>

#include "kavro/link.h"

namespace kavro::detail {

// The capture file's format name and version, on its first line. The name is older than the
// word capture and stays, so that every capture ever written still replays.
constexpr const char kCaptureFormat[] = "kavro link recording";
// Version 2 added the clock reads and the waits for received bytes (Clock, WaitForRx); a
// version 1 capture holds neither, and its replay makes up the times between its calls.
constexpr unsigned int kCaptureVersion = 2;

// The D2XX calls by their names in kavro/d2xx_calls.h, which are their names in the file.
enum class LinkCall : unsigned char {
  KAVRO_D2XX_CALLS(KAVRO_D2XX_ENUMERATOR)
  // Not D2XX calls, but what the session took from its link besides them: a read of the clock
  // its budgets and schedules run on, and the provider's wait for received bytes.
  kClock,
  kWaitForRx,
};

// A device-list node, its handle given by the capture's number for it (0: none).
struct CapturedNode {
  std::uint64_t flags = 0, type = 0, id = 0, location = 0;
  std::string serial, description;
  unsigned int handle = 0;
};

// Handles are numbered in the order the capture first met them (1, 2, ...; 0 is a null
// handle), since their values mean nothing in another process.
struct CaptureRecord {
  LinkCall call = LinkCall::kGetStatus;
  std::uint64_t t = 0;           // when the call was made: microseconds since the capture began
  unsigned int status = 0;       // what it returned
  unsigned int handle = 0;       // the handle it was made on, or (Open, OpenEx) the one it opened
  std::uint64_t arg[2] = {};     // numeric arguments, by call (see Shape in capture_format.cpp)
  std::uint64_t answer[3] = {};  // numeric answers
  std::string text[2];           // texts: OpenEx's key (argument), the texts a call answered
  std::string data;              // Write: the bytes written; Read: the bytes read
  std::vector<CapturedNode> nodes;  // GetDeviceInfoList
};

// The record's line of JSON, without the line end.
std::string RecordLine(const CaptureRecord& record);
// Reads a record line into *record; false, with *why saying what is wrong, when it is not one.
bool ParseRecordLine(const std::string& line, CaptureRecord* record, std::string* why);
// True when the two are the same call with the same arguments (answers are not compared).
bool SameCall(const CaptureRecord& a, const CaptureRecord& b);
// The call and its arguments as text, for messages: "Write(h=1, data=020442aa)".
std::string DescribeCall(const CaptureRecord& record);

// The header line; its fields are checked by ParseHeaderLine, which gives the capture
// clock's value at the start in *clock_us, the note ("" when none) in *note and the format
// version in *version.
std::string HeaderLine(const std::string& link, std::uint64_t clock_us, const std::string& note);
bool ParseHeaderLine(const std::string& line, std::uint64_t* clock_us, std::string* note,
                     unsigned int* version, std::string* why);

}  // namespace kavro::detail

#endif  // KAVRO_CAPTURE_FORMAT_H
