/* Reads a board and records it for two seconds through the library's C interface, fetching
 * the rows in a loop of its own as a LabVIEW or MATLAB program would.
 *   read_and_record [SERIAL]      the board with that serial number (default: the only one)
 *   read_and_record --emulate     the emulated board KAVRO-0001, unplugged for a moment */
#include <kavro/kavro_c.h>
#include <stdio.h>
#include <string.h>

static int failed(const kavro_board* board, kavro_status status, const char* what) {
  char text[256];
  kavro_last_error(board, text, sizeof text);
  fprintf(stderr, "%s: %s (%s)\n", what, kavro_status_name(status), text);
  return 1;
}

int main(int argc, char** argv) {
  const int emulate = argc > 1 && strcmp(argv[1], "--emulate") == 0;
  const uint32_t channel = 0;
  kavro_emulator* emulator = NULL;
  kavro_board* board = NULL;
  kavro_open_options options;
  kavro_reading reading;
  kavro_record_summary summary;
  kavro_event event;
  double loads[256];
  int32_t states[256], got_event = 0;
  size_t got = 0, i, rows = 0;
  kavro_status s;

  kavro_open_options_init(&options);
  if (emulate) {
    kavro_emulator_new(0, &emulator); /* virtual time: the two seconds take none */
    kavro_emulator_schedule_unplug(emulator, "KAVRO-0001", 500000, 400000);
    options.link = KAVRO_LINK_EMULATOR;
    options.emulator = emulator;
  }
  s = emulate || argc > 1 ? kavro_open(emulate ? "KAVRO-0001" : argv[1], &options, &board)
                          : kavro_open_only(&options, &board);
  if (s != KAVRO_OK) return failed(NULL, s, "open");

  reading.size = sizeof reading;
  s = kavro_read(board, channel, &reading);
  if (s != KAVRO_OK) return failed(board, s, "read");
  printf("reading: %lld counts, load %.3f\n", (long long)reading.counts, reading.load);

  s = kavro_record_start(board, &channel, 1, 100000); /* every 100 ms */
  if (s != KAVRO_OK) return failed(board, s, "record");
  summary.size = sizeof summary;
  do {
    kavro_record_status(board, &summary);
    s = kavro_record_fetch(board, 256, NULL, loads, NULL, states, NULL, &got);
    if (s == KAVRO_OVERFLOW) failed(board, s, "fetch");
    for (i = 0; i < got; ++i, ++rows) {
      if (states[i] == KAVRO_READING_FAILED)
        printf("%3u  no reading\n", (unsigned)rows);
      else
        printf("%3u  %.3f\n", (unsigned)rows, loads[i]);
    }
  } while (rows < 20 && summary.running);
  kavro_record_stop(board, &summary);
  printf("%llu readings, %llu failed, %llu gaps\n", (unsigned long long)summary.readings,
         (unsigned long long)summary.errors, (unsigned long long)summary.gaps);

  event.size = sizeof event;
  while (kavro_next_event(board, &event, &got_event) == KAVRO_OK && got_event)
    printf("event %d after %.3f s: %s\n", (int)event.kind, event.gap_us / 1e6, event.error);
  kavro_release(board);
  kavro_emulator_free(emulator);
  return 0;
}
