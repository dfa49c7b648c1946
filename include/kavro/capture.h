// Capturing a session's D2XX traffic to a file, and playing it back without a board.
//
// A CaptureLink wraps any provider and passes every call through unchanged, appending one
// line per D2XX call to a file: the call, its arguments, what it answered and when; and one
// per read of the clock the session runs on. A ReplayLink answers from such a file, so the
// library's real protocol code runs on a machine with no board exactly as it ran on the rig,
// taking every decision that depends on time as it did then: open a board on it as on any link.
//
//   kavro::CaptureLink capture("session.kavrolog");  // the default link, captured
//   auto board = kavro::Board::Open("KAVRO-0001", capture.Options());
//
//   kavro::ReplayLink replay("session.kavrolog");
//   auto again = kavro::Board::Open("KAVRO-0001", replay.Options());
//
// The file's layout: docs/capture-format.md.
#ifndef KAVRO_CAPTURE_H
#define KAVRO_CAPTURE_H

#include <cstdint>
#include <memory>
#include <string>

#include "kavro/board.h"
#include "kavro/export.h"
#include "kavro/link.h"

namespace kavro {

// Passes every call to the inner provider and appends its record to the file, flushed at once,
// so a capture cut short (a crash, a pulled cable) holds every call up to its last whole
// line. Calls from several threads are captured in the order they return.
//
// An existing file is kept and refused (ok() false, Diagnostic() says so) unless the link is
// made with IfExists::kReplace; a device or a pipe is written to. A new file is made only if
// none appeared meanwhile.
//
// When the file cannot be created or a record cannot be written (disk full), the capture
// stops: ok() turns false, Diagnostic() says which file and why, and every later call but Close
// fails with FT_OTHER_ERROR (18) without reaching the inner provider, so that a session is not
// taken for captured when it is not. Close still passes through, so devices are released.
class KAVRO_API CaptureLink final : public ForwardingLink {
 public:
  // What becomes of a regular file already at the path.
  enum class IfExists { kRefuse, kReplace };

  // Captures the calls made on inner, which must outlive the link, into path (created; emptied
  // only with kReplace). note, when given, goes into the header (what was captured, e.g. a
  // command line).
  CaptureLink(LinkProvider& inner, const std::string& path, const std::string& note = "",
              IfExists if_exists = IfExists::kRefuse);
  // Captures the default link: the vendor library when it loads, else libftdi1 (owned).
  explicit CaptureLink(const std::string& path, const std::string& note = "",
                       IfExists if_exists = IfExists::kRefuse);
  ~CaptureLink() override;

  // False once the capture stopped (Diagnostic() says why).
  bool ok() const;
  // Records written so far.
  std::uint64_t records() const;
  // base with this link: Board::Open(serial, capture.Options()).
  OpenOptions Options(OpenOptions base = {});

  KAVRO_D2XX_CALLS(KAVRO_D2XX_OVERRIDE)
  // The inner provider's clock and wait, captured: what they answered decides a reply's wait,
  // a reopen and a due time, so that a replay decides what the session decided here. Sleeps
  // (SleepUntil) go to the inner provider uncaptured: the clock reads after them are captured.
  std::uint64_t NowMicroseconds() override;
  unsigned int WaitForRx(void* handle, unsigned int bytes, std::uint64_t deadline_us) override;
  // Why the capture stopped, else the inner provider's diagnostic.
  std::string Diagnostic() const override;

 private:
  struct Impl;
  CaptureLink(std::shared_ptr<LinkProvider> inner, const std::string& path, const std::string& note,
              IfExists if_exists);
  std::unique_ptr<Impl> impl_;
};

// How fast a replay runs: as fast as the calls come, or at the pace they were captured.
enum class ReplayPace { kFast, kRecorded };

// Answers every call from a capture, read line by line as the session goes (memory stays
// the same however long the file). Calls are matched in order: the call and its arguments
// (the bytes written among them) must be the captured ones, and the answers (status, bytes
// queued, bytes read, device list) are the captured ones. Handles are the replay's own.
//
// The clock reads answer the captured times and the waits for
// received bytes their captured status, at once: a session reads its time where the captured
// one did, so its reply budgets, reconnection and due times come out as they did, at any speed.
// A clock read the capture does not hold answers the time the replay has reached; captured
// clock reads and waits the session does not make (a capture by a build that read its clock
// elsewhere) are passed over.
//
// A capture of the first format version holds no clock reads: there the replay lets through
// what may vary between runs: how many status queries a reply wait makes, the waits themselves
// (WaitForRx answers at once) and clock reads. Its clock follows the captured times: a wait
// that was answered in the capture moves it to when the reply came, a wait that ran out
// moves it to the deadline.
//
// When the session departs from the capture (another call or other bytes written, the
// capture runs out, a line of it is corrupt), that call and every later one fail with
// FT_OTHER_ERROR (18), ok() turns false and Diagnostic() says where and how: the file, the
// record and line, what was captured and what came. A file that cannot be read, is empty or
// has no valid header (another format, a newer version) fails the same way from the first call.
//
// Replays one session as it was captured: several threads calling at once would meet the
// records in another order than the capture did.
class KAVRO_API ReplayLink final : public LinkProvider {
 public:
  explicit ReplayLink(const std::string& path, ReplayPace pace = ReplayPace::kFast);
  ~ReplayLink() override;

  // False once the replay failed (Diagnostic() says why).
  bool ok() const;
  // True when every record has been matched (trailing status queries may remain).
  bool finished() const;
  // Records matched so far.
  std::uint64_t records() const;
  // What the capture says it captured (its header's note), "" when it says nothing.
  std::string note() const;
  // base with this link: Board::Open(serial, replay.Options()).
  OpenOptions Options(OpenOptions base = {});

  KAVRO_D2XX_CALLS(KAVRO_D2XX_OVERRIDE)
  // The captured clock read (the capture clock's microseconds).
  std::uint64_t NowMicroseconds() override;
  // Moves the replay's time on to deadline_us at once, or at the captured pace when paced.
  void SleepUntil(std::uint64_t deadline_us) override;
  // Never waits: answers the captured wait's status (a first-version capture: moves the
  // replay's time on to when the captured session saw something new queued on handle, or to
  // the deadline when it saw nothing more).
  unsigned int WaitForRx(void* handle, unsigned int bytes, std::uint64_t deadline_us) override;
  // Where and how the replay failed; "" while it goes as captured.
  std::string Diagnostic() const override;
  // "replay of PATH".
  std::string Name() const override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kavro

#endif  // KAVRO_CAPTURE_H
