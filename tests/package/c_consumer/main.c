// A C program on the installed C interface: a reading of the emulated board.
#include <kavro/kavro_c.h>
#include <stdio.h>

int main(void) {
  kavro_emulator* emulator = NULL;
  kavro_board* board = NULL;
  kavro_open_options options;
  kavro_reading reading;
  kavro_open_options_init(&options);
  kavro_emulator_new(0, &emulator);
  options.link = KAVRO_LINK_EMULATOR;
  options.emulator = emulator;
  reading.size = sizeof reading;
  if (kavro_open("KAVRO-0001", &options, &board) != KAVRO_OK ||
      kavro_read(board, 0, &reading) != KAVRO_OK)
    return 1;
  printf("abi %u, load %.3f\n", (unsigned)kavro_abi_version(), reading.load);
  kavro_release(board);
  kavro_emulator_free(emulator);
  return 0;
}
