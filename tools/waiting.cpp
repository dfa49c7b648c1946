// read --wait: a board that is not attached at the start is waited for instead of failing,
// looked for on the reconnect schedule, with the wait shown on standard error.
#include <algorithm>
#include <cstdio>

#include "report.h"
#include "subcommands.h"

namespace kavro::tool {

Result<Board> Session::OpenWaiting(const std::string& serial, OpenOptions opening,
                                   const std::function<bool()>& stop, int* exit_code) const {
  if (!options.wait) return Open(serial, std::move(opening), exit_code);
  LinkProvider& clock = *links.link;
  const std::string who = serial.empty() ? "a board" : serial;
  const std::uint64_t first = opening.reconnect.first_delay_us;
  std::uint64_t start = 0, next = 0, delay = first;
  std::string refused;  // why the attached board could not be opened, as last shown
  for (bool waiting = false;;) {
    Result<Board> board =
        serial.empty() ? Board::OpenOnly(opening) : Board::Open(serial, opening);
    const std::uint64_t now = clock.NowMicroseconds();
    if (board) {
      if (waiting) {
        std::fprintf(stderr, "kavro: %s attached after %.1f s of waiting\n",
                     board->info().serial.c_str(), static_cast<double>(now - start) / 1e6);
      }
      return board;
    }
    const Error& e = board.error();
    const bool absent = e.kind == ErrorKind::kNotFound && links.NoBus().empty();
    if (!absent && e.kind != ErrorKind::kCannotOpen) {
      *exit_code = OpenFailed(serial, e);
      return board;
    }
    if (!waiting) {
      waiting = true;
      start = next = now;
      std::fprintf(stderr, "kavro: waiting for %s (looking every %.1f s; Ctrl-C ends the wait)\n",
                   who.c_str(), static_cast<double>(first) / 1e6);
    }
    // Not attached: looked for again every first delay. Attached but not opened (still being
    // set up, or held by another program): the delay doubles, up to the longest.
    if (absent) {
      delay = first;
      next = std::max(next + first, now);
    } else {
      next = now + delay;
      delay = std::min(2 * delay, opening.reconnect.max_delay_us);
      if (Describe(e) != refused) {
        refused = Describe(e);
        std::fprintf(stderr, "kavro: %s is attached but cannot be opened yet (%s); trying again\n",
                     who.c_str(), refused.c_str());
      }
    }
    for (std::uint64_t t = now; t < next; t = clock.NowMicroseconds()) {
      if (stop()) {
        Error stopped;
        stopped.kind = ErrorKind::kStopped;
        stopped.text = "while waiting for " + who;
        return stopped;
      }
      clock.SleepUntil(std::min(next, t + first));
    }
  }
}

}  // namespace kavro::tool
