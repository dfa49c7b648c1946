// An application built against the installed package and developed without hardware: the
// installed drop-in D2XX library stands in for FTDI's, with its ready-made boards, and the
// program unplugs one through the drop-in's control API.
#include <kavro/kavro.h>
#include <kavroemu.h>

#include <cstdio>

int main() {
  auto board = kavro::Board::Open("KAVRO-0009");  // the default link: "FTDI's" library
  if (!board) {
    std::printf("open failed: %s\n", board.error().Describe().c_str());
    return 1;
  }
  kavroemu_unplug("KAVRO-0009");
  const auto lost = board->Read(0);
  std::printf("%u channels, then %s\n", board->info().channels,
              lost ? "a reading" : kavro::ErrorKindName(lost.error().kind));
  return 0;
}
