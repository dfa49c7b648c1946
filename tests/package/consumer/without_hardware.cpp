// An application built against the installed package and developed without hardware: the
// installed drop-in D2XX library stands in for FTDI's, with its ready-made boards, and the
// program unplugs one and plugs it in again through the drop-in's control API, by hand and on a
// schedule.
#include <kavro/kavro.h>
#include <kavro_dropin.h>
#include <unistd.h>

#include <cstdio>

int main() {
  auto board = kavro::Board::Open("KAVRO-0009");  // the default link: "FTDI's" library
  if (!board) {
    std::printf("open failed: %s\n", board.error().Describe().c_str());
    return 1;
  }
  const auto what = [&board] {
    const auto r = board->Read(0);
    return r ? "a reading" : kavro::ErrorKindName(r.error().kind);
  };
  kavroemu_unplug("KAVRO-0009");
  const char* lost = what();
  if (kavroemu_replug("KAVRO-0009") != 0 || kavroemu_schedule_unplug("NO-SUCH", 0, 0) != -1)
    return 1;
  usleep(150000);  // the first reopen is due
  const char* back = what();
  kavroemu_schedule_unplug("KAVRO-0009", 0, 1000000);  // at the next call, for a second
  std::printf("%u channels, then %s, %s, %s\n", board->info().channels, lost, back, what());
  return 0;
}
