// The C interface from C99, on the emulator in virtual time: listing, opening, readings,
// calibration, tare, configuration, a recording fetched across an unplug, the status of each
// failure, short buffers and null or closed handles.
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "kavro/kavro_c.h"

static int failures = 0;
#define EXPECT(cond)                                                     \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                        \
    }                                                                    \
  } while (0)
#define EXPECT_STATUS(want, call) EXPECT_STATUS_((want), (call), #call, __LINE__)
static void EXPECT_STATUS_(kavro_status want, kavro_status got, const char* call, int line) {
  if (want != got) {
    fprintf(stderr, "line %d: %s answered %s, not %s\n", line, call, kavro_status_name(got),
            kavro_status_name(want));
    ++failures;
  }
}

static kavro_emulator* emu;
static int callback_events = 0;
static void on_event(const kavro_event* event, void* user) {
  (void)event;
  ++*(int*)user;
}

static kavro_board* open_board(const char* serial, int reconnect) {
  kavro_open_options o;
  kavro_board* board = NULL;
  kavro_open_options_init(&o);
  o.link = KAVRO_LINK_EMULATOR;
  o.emulator = emu;
  o.reconnect = reconnect;
  o.on_event = on_event;
  o.user = &callback_events;
  EXPECT_STATUS(KAVRO_OK, kavro_open(serial, &o, &board));
  return board;
}

static kavro_status read_status(kavro_board* board, uint32_t channel) {
  kavro_reading r;
  r.size = sizeof r;
  return kavro_read(board, channel, &r);
}

static void listing_and_opening(void) {
  kavro_open_options o;
  char serials[2][16], text[256];
  size_t count = 0;
  kavro_board* board = (kavro_board*)&count;
  kavro_open_options_init(&o);
  o.link = KAVRO_LINK_EMULATOR;
  o.emulator = emu;
  EXPECT_STATUS(KAVRO_OK, kavro_list(&o, NULL, 0, &count));
  EXPECT(count == 2);
  EXPECT_STATUS(KAVRO_BUFFER_TOO_SMALL, kavro_list(&o, serials[0], 1, &count));
  EXPECT(count == 2 && strcmp(serials[0], "KAVRO-0001") == 0);
  EXPECT_STATUS(KAVRO_OK, kavro_list(&o, serials[0], 2, &count));
  EXPECT(strcmp(serials[1], "KAVRO-0009") == 0);

  EXPECT_STATUS(KAVRO_NOT_FOUND, kavro_open("KAVRO-9999", &o, &board));
  EXPECT(board == NULL);
  EXPECT_STATUS(KAVRO_OK, kavro_last_error(NULL, text, sizeof text));
  EXPECT(strstr(text, "not found") != NULL);
  EXPECT_STATUS(KAVRO_BUFFER_TOO_SMALL, kavro_last_error(NULL, text, 4));
  EXPECT(strcmp(text, "not") == 0);
  EXPECT_STATUS(KAVRO_INVALID_ARGUMENT, kavro_open_only(&o, &board));  // two boards attached
  EXPECT_STATUS(KAVRO_OK, kavro_emulator_fail_call(emu, "FT_OpenEx", 3, 1));
  EXPECT_STATUS(KAVRO_CANNOT_OPEN, kavro_open("KAVRO-0001", &o, &board));
  o.size = 8;  // an options struct older than any this library knows
  EXPECT_STATUS(KAVRO_INVALID_ARGUMENT, kavro_open("KAVRO-0001", &o, &board));
  o.size = sizeof o;
  o.link = KAVRO_LINK_D2XX;  // no vendor library on the loader's path here
  EXPECT_STATUS(KAVRO_LINK_UNAVAILABLE, kavro_list(&o, NULL, 0, &count));
}

static void readings_calibration_tare_configuration(void) {
  kavro_board* multi = open_board("KAVRO-0009", 1);
  kavro_board* steady;
  kavro_board_info info;
  kavro_reading r[4];
  kavro_calibration c;
  const uint32_t all[4] = {0, 1, 2, 3};
  double load = 0, tare = 0;
  uint8_t rate = 0, upper = 0, bytes[3];
  int i;
  info.size = sizeof info;
  EXPECT_STATUS(KAVRO_OK, kavro_board_get_info(multi, &info));
  EXPECT(info.type == 9 && info.channels == 4 && strcmp(info.serial, "KAVRO-0009") == 0);
  EXPECT(strcmp(info.link, "board emulator") == 0);
  for (i = 0; i < 4; ++i) r[i].size = sizeof r[i];
  EXPECT_STATUS(KAVRO_OK, kavro_read_channels(multi, all, 4, r));
  for (i = 0; i < 4; ++i)
    EXPECT(r[i].status == KAVRO_OK && r[i].channel == (uint32_t)i && !isnan(r[i].load));
  EXPECT(r[3].monotonic_us > r[0].monotonic_us && r[0].utc_us > 1700000000000000LL);
  EXPECT_STATUS(KAVRO_INVALID_ARGUMENT, read_status(multi, 4));
  EXPECT_STATUS(KAVRO_OK, kavro_set_sampling_rate(multi, 2, 7));
  EXPECT_STATUS(KAVRO_OK, kavro_get_converter(multi, 2, &rate, &upper));
  EXPECT(rate == 7 && upper == 2);
  EXPECT_STATUS(KAVRO_OK, kavro_read_channel_register(multi, 1, 0x5f, bytes));
  EXPECT_STATUS(KAVRO_OK, kavro_ping(multi));
  kavro_release(multi);

  EXPECT_STATUS(KAVRO_OK, kavro_emulator_add_board(emu, "STEADY", 3, 1));  // 250.0 constant
  steady = open_board("STEADY", 1);
  c.size = sizeof c;
  EXPECT_STATUS(KAVRO_OK, kavro_get_calibration(steady, 0, &c));
  EXPECT(c.fullscale_reading - c.offset_reading == 2000000 && c.fullscale_load == 5000);
  EXPECT_STATUS(KAVRO_OK, kavro_calibration_to_load(&c, c.offset_reading + 1000000, &load));
  EXPECT(fabs(load - 250.0) < 1e-9);
  EXPECT_STATUS(KAVRO_OK, kavro_tare(steady, 0, 5, &tare));
  EXPECT(fabs(tare - 250.0) < 1e-6);
  EXPECT_STATUS(KAVRO_OK, kavro_read(steady, 0, &r[0]));
  EXPECT(fabs(r[0].load) < 1e-6 && r[0].state == KAVRO_READING_OK);
  EXPECT_STATUS(KAVRO_OK, kavro_clear_tare(steady, 0));
  EXPECT_STATUS(KAVRO_OK, kavro_get_tare(steady, 0, &tare));
  EXPECT(isnan(tare));
  EXPECT_STATUS(KAVRO_OK, kavro_read_eeprom_register(steady, 0x10, bytes));
  EXPECT_STATUS(KAVRO_OK, kavro_reset(steady));

  // Each failure of the board answers its own status.
  EXPECT_STATUS(KAVRO_OK, kavro_emulator_reply_fault(emu, "STEADY", KAVRO_FAULT_DROP, 1));
  EXPECT_STATUS(KAVRO_TIMED_OUT, read_status(steady, 0));
  EXPECT_STATUS(KAVRO_OK, kavro_emulator_reply_fault(emu, "STEADY", KAVRO_FAULT_TEDS_ERROR, 1));
  EXPECT_STATUS(KAVRO_BOARD_REFUSED, read_status(steady, 0));
  EXPECT_STATUS(KAVRO_OK, kavro_emulator_reply_fault(emu, "STEADY", KAVRO_FAULT_CORRUPT, 1));
  EXPECT_STATUS(KAVRO_PROTOCOL_ERROR, read_status(steady, 0));
  c.fullscale_reading = c.offset_reading;
  EXPECT_STATUS(KAVRO_BAD_CALIBRATION, kavro_calibration_to_load(&c, 0, &load));
  EXPECT(isnan(load));
  kavro_release(steady);

  EXPECT_STATUS(KAVRO_OK, kavro_emulator_add_board(emu, "TYPE5", 5, 1));
  steady = open_board("TYPE5", 1);
  EXPECT_STATUS(KAVRO_NOT_SUPPORTED, kavro_get_calibration(steady, 0, &c));
  kavro_release(steady);

  steady = open_board("KAVRO-0001", 0);  // the first loss is final
  EXPECT_STATUS(KAVRO_OK, kavro_emulator_unplug(emu, "KAVRO-0001"));
  EXPECT_STATUS(KAVRO_DISCONNECTED, read_status(steady, 0));
  EXPECT_STATUS(KAVRO_OK, kavro_emulator_replug(emu, "KAVRO-0001"));
  kavro_release(steady);
}

// A recording fetched while it runs, across an unplug: the rows in the gap failed, the events
// came, and every due time's row reached the caller.
static void recording_across_an_unplug(void) {
  kavro_board* board = open_board("KAVRO-0001", 1);
  const uint32_t channel = 0;
  kavro_record_options ro;
  kavro_record_summary s;
  kavro_event e;
  uint32_t channels[16];
  int32_t states[16];
  size_t got = 0, rows = 0, failed = 0, i;
  int32_t have = 0, kinds = 0;
  char text[64];
  callback_events = 0;
  s.size = sizeof s;
  e.size = sizeof e;
  EXPECT_STATUS(KAVRO_NOT_RECORDING,
                kavro_record_fetch(board, 16, NULL, NULL, NULL, NULL, NULL, &got));
  memset(&ro, 0, sizeof ro);
  ro.size = sizeof ro;
  ro.channels = &channel;
  ro.channel_count = 1;
  ro.interval_us = 100000;
  ro.count = 40;
  EXPECT_STATUS(KAVRO_OK, kavro_emulator_schedule_unplug(emu, "KAVRO-0001", 1000000, 1000000));
  EXPECT_STATUS(KAVRO_OK, kavro_record_start_ex(board, &ro));
  EXPECT_STATUS(KAVRO_BUSY, kavro_record_start(board, &channel, 1, 1000));
  do {
    EXPECT_STATUS(KAVRO_OK, kavro_record_status(board, &s));
    EXPECT(s.readings + s.errors >= rows);
    EXPECT_STATUS(KAVRO_OK,
                  kavro_record_fetch(board, 16, channels, NULL, NULL, states, NULL, &got));
    for (i = 0; i < got; ++i) failed += states[i] == KAVRO_READING_FAILED;
    rows += got;
  } while (s.running || got > 0);
  EXPECT(s.status == KAVRO_OK && s.due_times == 40 && rows == 40 && s.overflowed == 0);
  EXPECT(s.gaps == 1 && s.gap_us > 0 && failed > 0 && failed == s.errors &&
         s.readings == 40 - failed);
  while (kavro_next_event(board, &e, &have) == KAVRO_OK && have) kinds = kinds * 10 + 1 + e.kind;
  EXPECT(kinds == 12 && callback_events == 2);  // disconnected, then reconnected

  ro.capacity = 4;  // a buffer too small for what comes: the loss is counted and reported
  ro.count = 10;
  EXPECT_STATUS(KAVRO_OK, kavro_record_start_ex(board, &ro));
  do EXPECT_STATUS(KAVRO_OK, kavro_record_status(board, &s));
  while (s.running);
  EXPECT_STATUS(KAVRO_OK, kavro_record_stop(board, &s));
  EXPECT(s.due_times == 10 && s.overflowed == 6 && s.buffered == 4);
  EXPECT_STATUS(KAVRO_OVERFLOW, kavro_record_fetch(board, 16, NULL, NULL, NULL, NULL, NULL, &got));
  EXPECT(got == 4);
  EXPECT_STATUS(KAVRO_OK, kavro_record_fetch(board, 16, NULL, NULL, NULL, NULL, NULL, &got));

  // A closed handle answers a status; its rows and events can still be drained.
  EXPECT_STATUS(KAVRO_OK, kavro_close(board));
  EXPECT_STATUS(KAVRO_OK, kavro_close(board));
  EXPECT_STATUS(KAVRO_CLOSED, read_status(board, 0));
  EXPECT_STATUS(KAVRO_OK, kavro_last_error(board, text, sizeof text));
  EXPECT(strcmp(text, "closed: the board was closed") == 0);
  EXPECT_STATUS(KAVRO_CLOSED, kavro_record_start(board, &channel, 1, 1000));
  EXPECT_STATUS(KAVRO_OK, kavro_record_fetch(board, 16, NULL, NULL, NULL, NULL, NULL, &got));
  kavro_release(board);
}

static void status_names_and_null_handles(void) {
  int s, t;
  kavro_reading r;
  r.size = sizeof r;
  EXPECT(kavro_abi_version() == KAVRO_ABI_VERSION);
  for (s = KAVRO_OK; s <= KAVRO_INTERNAL_ERROR; ++s)
    for (t = KAVRO_OK; t < s; ++t)
      EXPECT(strcmp(kavro_status_name((kavro_status)s), kavro_status_name((kavro_status)t)) != 0);
  EXPECT(strcmp(kavro_status_name((kavro_status)99), "unknown status") == 0);
  EXPECT_STATUS(KAVRO_INVALID_HANDLE, kavro_read(NULL, 0, &r));
  EXPECT_STATUS(KAVRO_INVALID_HANDLE, kavro_close(NULL));
  EXPECT_STATUS(KAVRO_INVALID_HANDLE, kavro_record_stop(NULL, NULL));
  EXPECT_STATUS(KAVRO_INVALID_HANDLE, kavro_emulator_unplug(NULL, "KAVRO-0001"));
  kavro_release(NULL);
}

int main(void) {
  EXPECT_STATUS(KAVRO_OK, kavro_emulator_new(0, &emu));
  status_names_and_null_handles();
  listing_and_opening();
  readings_calibration_tare_configuration();
  recording_across_an_unplug();
  kavro_emulator_free(emu);
  if (failures != 0) fprintf(stderr, "%d failed\n", failures);
  return failures != 0;
}
