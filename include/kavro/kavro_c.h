// The C interface of the library, for every language that calls plain C functions in a shared
// library: C, LabVIEW, C# (P/Invoke), MATLAB (loadlibrary), Python (ctypes), Rust, Julia.
//
// C99, and C++ as well. Built on the typed API (kavro/kavro.h) in the same shared library.
//
// - Every function returns a kavro_status (fixed numbers, never renumbered) unless it says
//   otherwise; kavro_status_name() names it and kavro_last_error() gives the text and hint of a
//   failure. Nothing is thrown through this interface.
// - The caller owns every buffer it passes, with its length; the library never hands out
//   memory for the caller to free. Texts are NUL-terminated; a text cut to fit its buffer
//   answers KAVRO_BUFFER_TOO_SMALL.
// - Structs start with their own size (set it to sizeof, or use the *_init function), so that
//   later versions can add fields at their end. On 64-bit platforms they have no padding, so a
//   byte-packed LabVIEW cluster of the same fields matches. No unions; the only function
//   pointer is the optional event callback.
// - The calling convention is the platform's default for C (cdecl on 32-bit Windows; LabVIEW's
//   "C" calling convention, P/Invoke's CallingConvention.Cdecl).
// - Threads: any function may be called from any thread. Calls on one board take turns;
//   kavro_close may come from any thread at any time, also while other threads call the board
//   or a recording runs (they finish or answer KAVRO_CLOSED).
#ifndef KAVRO_KAVRO_C_H
#define KAVRO_KAVRO_C_H

#include <stddef.h>
#include <stdint.h>

#include "kavro/export.h"

#ifdef __cplusplus
extern "C" {
#endif

// Changes when the interface changes in a way that breaks callers built against an older one.
#define KAVRO_ABI_VERSION 1
KAVRO_API uint32_t kavro_abi_version(void);

typedef enum kavro_status {
  KAVRO_OK = 0,
  // Failures of the board and its link (the typed API's error kinds).
  KAVRO_NOT_FOUND = 1,          // no board with that serial number (or none at all)
  KAVRO_CANNOT_OPEN = 2,        // the bridge is there but cannot be opened (in use, permission)
  KAVRO_DISCONNECTED = 3,       // the link went away (or reconnecting gave up)
  KAVRO_TIMED_OUT = 4,          // the board did not answer in time
  KAVRO_BOARD_REFUSED = 5,      // the board answered with an error reply
  KAVRO_PROTOCOL_ERROR = 6,     // a reply that does not match or cannot be parsed
  KAVRO_NOT_SUPPORTED = 7,      // the board's type lacks the operation
  KAVRO_INVALID_ARGUMENT = 8,   // a bad argument (a channel the board does not have, ...)
  KAVRO_BAD_CALIBRATION = 9,    // the stored calibration cannot convert
  KAVRO_LINK_UNAVAILABLE = 10,  // no link library (vendor D2XX missing, no libftdi1 built in)
  KAVRO_STOPPED = 11,           // ended by a stop request
  // What this interface finds itself.
  KAVRO_BUFFER_TOO_SMALL = 12,  // the caller's buffer cannot hold the answer (filled as far as
                                // it goes)
  KAVRO_INVALID_HANDLE = 13,    // a null board or emulator
  KAVRO_CLOSED = 14,            // the board was closed
  KAVRO_BUSY = 15,              // a recording already runs on the board
  KAVRO_NOT_RECORDING = 16,     // no recording was started
  KAVRO_OVERFLOW = 17,          // rows were lost because the recording's buffer was full (the
                                // rows fetched are good; the count is in the summary)
  KAVRO_OUT_OF_MEMORY = 18,
  KAVRO_INTERNAL_ERROR = 19  // an unexpected failure inside the library
} kavro_status;

// "ok", "not found", "cannot open", ...; "unknown status" for a number not listed above.
KAVRO_API const char* kavro_status_name(kavro_status status);

typedef struct kavro_board kavro_board;        // an open board (opaque)
typedef struct kavro_emulator kavro_emulator;  // emulated boards, for tests (opaque)

// The text and hint of the board's last failure as one line ("timed out: Timeout Error (status
// 4) - hint"); "" when there was none. board NULL: the last failure on this thread of a call
// that had no open board (an open, a listing, a null handle, the emulator).
KAVRO_API kavro_status kavro_last_error(const kavro_board* board, char* text, size_t length);

// ---- opening ------------------------------------------------------------------------------

typedef enum kavro_link {
  KAVRO_LINK_DEFAULT = 0,  // the vendor D2XX library when it loads, else libftdi1
  KAVRO_LINK_D2XX = 1,     // FTDI's D2XX library only
  KAVRO_LINK_LIBFTDI = 2,  // libftdi1 only
  KAVRO_LINK_EMULATOR = 3  // the emulator in kavro_open_options.emulator
} kavro_link;

typedef enum kavro_event_kind {
  KAVRO_EVENT_DISCONNECTED = 0,
  KAVRO_EVENT_RECONNECTED = 1,
  KAVRO_EVENT_GAVE_UP = 2
} kavro_event_kind;

typedef struct kavro_event {
  uint32_t size;
  int32_t kind;           // kavro_event_kind
  uint64_t monotonic_us;  // when, on the board's clock
  int64_t utc_us;         // when, in microseconds since 1970-01-01 UTC
  uint64_t gap_us;        // reconnected, gave up: how long the board was gone
  uint32_t attempts;      // reopen attempts since the loss
  int32_t status;         // the failure behind it (kavro_status)
  uint32_t d2xx_status;   // its D2XX status, 0 when none
  uint32_t reserved;
  char serial[16];
  char error[200];  // its text and hint, cut to fit
} kavro_event;

// Called on the thread whose call noticed the event (a recording's thread, too), after the
// board's lock is released. It may call the board, but not close it.
typedef void (*kavro_event_callback)(const kavro_event* event, void* user);

typedef struct kavro_open_options {
  uint32_t size;
  int32_t link;                   // kavro_link
  uint64_t first_delay_us;        // first reopen this long after a loss (default 100 ms),
  uint64_t max_delay_us;          // doubling after each failure up to this (default 2 s);
                                  // with reconnect on, a first delay of 0 or a delay past the
                                  // clock's end is refused: KAVRO_INVALID_ARGUMENT
  uint64_t give_up_after_us;      // 0: never give up for time
  uint32_t max_attempts;          // 0: unlimited
  int32_t reconnect;              // 1 (default): reopen after a loss; 0: the first loss is final
  int32_t calibrated_loads;       // 1 (default): readings carry calibrated loads
  int32_t reserved;               // 0
  kavro_emulator* emulator;       // KAVRO_LINK_EMULATOR: the emulator to open on; it must
                                  // outlive the board
  kavro_event_callback on_event;  // optional; events are queued for kavro_next_event anyway
  void* user;                     // handed to on_event
} kavro_open_options;

// The defaults, with size set.
KAVRO_API void kavro_open_options_init(kavro_open_options* options);

// Opens the board with that serial number. options NULL: the defaults. *board is NULL on
// failure (kavro_last_error(NULL, ...) says why).
KAVRO_API kavro_status kavro_open(const char* serial, const kavro_open_options* options,
                                  kavro_board** board);
// Opens the only board attached: KAVRO_NOT_FOUND when none, KAVRO_INVALID_ARGUMENT (naming
// them) when several.
KAVRO_API kavro_status kavro_open_only(const kavro_open_options* options, kavro_board** board);

// The serial numbers of the attached boards (only link and emulator of options are used).
// *count is set to how many are attached; serials, if not NULL, gets up to max of them, each
// in 16 bytes (NUL-terminated) one after the other. KAVRO_BUFFER_TOO_SMALL when more than max
// are attached; call with serials NULL to learn the count first.
KAVRO_API kavro_status kavro_list(const kavro_open_options* options, char* serials, size_t max,
                                  size_t* count);

// Closes the board: ends its recording (its rows stay to be fetched until kavro_release),
// closes the device, and every later call on it answers KAVRO_CLOSED. May be called again,
// and from any thread while others use the board.
KAVRO_API kavro_status kavro_close(kavro_board* board);
// Closes the board if it is open and frees the handle. Call it once, when no other thread can
// still use the handle. NULL is ignored.
KAVRO_API void kavro_release(kavro_board* board);

// ---- the board ----------------------------------------------------------------------------

typedef struct kavro_board_info {
  uint32_t size;
  uint32_t type;       // board type
  uint8_t version[5];  // the five version fields
  uint8_t reserved[3];
  uint32_t channels;  // 1, or on type 9 as many as answer
  char serial[16];
  char link[48];  // "vendor D2XX library", "libftdi1", "board emulator", ...
} kavro_board_info;

KAVRO_API kavro_status kavro_board_get_info(kavro_board* board, kavro_board_info* info);
// *connected 0 after the link went away, until a reopen succeeds.
KAVRO_API kavro_status kavro_connected(kavro_board* board, int32_t* connected);

typedef enum kavro_reading_state {
  KAVRO_READING_OK = 0,  // counts valid
  KAVRO_READING_POSITIVE_OVERFLOW = 1,
  KAVRO_READING_NEGATIVE_OVERFLOW = 2,
  KAVRO_READING_CONVERTER_FAULT = 3,
  KAVRO_READING_UNASSIGNED = 4,
  KAVRO_READING_UNRECOGNISED = 5,
  KAVRO_READING_FAILED = 6  // no reading: status says why
} kavro_reading_state;

typedef struct kavro_reading {
  uint32_t size;
  uint32_t channel;
  int32_t status;         // kavro_status of this reading
  int32_t state;          // kavro_reading_state
  int64_t counts;         // valid when state is KAVRO_READING_OK
  double load;            // calibrated, tare applied; NaN when there is none
  uint64_t monotonic_us;  // when it was taken, on the board's clock
  int64_t utc_us;         // the same moment in microseconds since 1970-01-01 UTC
} kavro_reading;

KAVRO_API kavro_status kavro_read(kavro_board* board, uint32_t channel, kavro_reading* reading);
// Reads each of n channels in turn into readings[0..n-1] (their size fields set by the
// caller). Answers KAVRO_OK when all succeeded, else the status of the first that failed; each
// reading carries its own status.
KAVRO_API kavro_status kavro_read_channels(kavro_board* board, const uint32_t* channels, size_t n,
                                           kavro_reading* readings);

typedef struct kavro_calibration {
  uint32_t size;
  uint32_t unit_code;
  int64_t offset_reading;  // converter counts
  int64_t fullscale_reading;
  uint32_t offset_load;  // stored loads
  uint32_t fullscale_load;
  uint32_t decimal_point;
  uint32_t reserved;
} kavro_calibration;

// The channel's calibration record, read once and kept.
KAVRO_API kavro_status kavro_get_calibration(kavro_board* board, uint32_t channel,
                                             kavro_calibration* calibration);
KAVRO_API kavro_status kavro_refresh_calibration(kavro_board* board, uint32_t channel);
// Two-point conversion of counts to a load; KAVRO_BAD_CALIBRATION when the two readings are
// equal. Needs no board.
KAVRO_API kavro_status kavro_calibration_to_load(const kavro_calibration* calibration,
                                                 int64_t counts, double* load);

// Zeroes a channel on the mean calibrated load of samples readings; *tare (may be NULL) gets it.
KAVRO_API kavro_status kavro_tare(kavro_board* board, uint32_t channel, uint32_t samples,
                                  double* tare);
KAVRO_API kavro_status kavro_clear_tare(kavro_board* board, uint32_t channel);
// *tare is NaN when the channel has none.
KAVRO_API kavro_status kavro_get_tare(kavro_board* board, uint32_t channel, double* tare);

// The converter configuration: the sampling-rate code (bits 0-3) and the upper field (4-6).
KAVRO_API kavro_status kavro_get_converter(kavro_board* board, uint32_t channel, uint8_t* rate,
                                           uint8_t* upper);
// Both are remembered and applied again after a reconnect.
KAVRO_API kavro_status kavro_set_sampling_rate(kavro_board* board, uint32_t channel, uint8_t rate);
KAVRO_API kavro_status kavro_set_converter_byte(kavro_board* board, uint32_t channel,
                                                uint8_t value);
// The three bytes of an EEPROM register, or of a channel register (type 9).
KAVRO_API kavro_status kavro_read_eeprom_register(kavro_board* board, uint8_t address,
                                                  uint8_t bytes[3]);
KAVRO_API kavro_status kavro_read_channel_register(kavro_board* board, uint32_t channel,
                                                   uint8_t address, uint8_t bytes[3]);
KAVRO_API kavro_status kavro_reset(kavro_board* board);
KAVRO_API kavro_status kavro_ping(kavro_board* board);

// The next connection event, oldest first: *got 1 and *event filled, or *got 0 when there is
// none. Up to 256 wait to be fetched; older ones give way to newer and are counted in
// kavro_record_summary.events_lost.
KAVRO_API kavro_status kavro_next_event(kavro_board* board, kavro_event* event, int32_t* got);

// ---- recording without callbacks ------------------------------------------------------------
// A thread of the library reads the channels at start + k * interval on the board's clock into
// a bounded buffer; the caller fetches what has arrived, in any loop of its own. A board that
// goes away and comes back leaves failed rows (state KAVRO_READING_FAILED) and events.

typedef struct kavro_record_options {
  uint32_t size;
  uint32_t reserved;
  const uint32_t* channels;  // each due time reads every channel, in order
  size_t channel_count;
  uint64_t interval_us;  // 0: as fast as the board answers
  uint64_t count;        // due times to take; 0: until duration or stop
  uint64_t duration_us;  // 0: until count or stop
  size_t capacity;       // rows the buffer holds (0: 65536)
} kavro_record_options;

typedef struct kavro_record_summary {
  uint32_t size;
  int32_t running;     // 1 while the recording thread still runs
  int32_t status;      // KAVRO_OK, or why it ended early (KAVRO_DISCONNECTED: gave up)
  int32_t stopped;     // 1: ended by kavro_record_stop or kavro_close
  uint64_t due_times;  // due times taken
  uint64_t readings;   // successful readings
  uint64_t errors;     // failed readings
  uint64_t missed;     // due times skipped because they had passed (a stall)
  uint64_t gaps;       // disconnects, and the time the board was gone in them
  uint64_t gap_us;
  uint64_t elapsed_us;
  uint64_t overflowed;   // rows lost because the buffer was full
  uint64_t events_lost;  // events that gave way to newer ones before they were fetched
  uint64_t buffered;     // rows waiting to be fetched
} kavro_record_summary;

// Starts recording channels[0..n-1] every interval_us until kavro_record_stop.
KAVRO_API kavro_status kavro_record_start(kavro_board* board, const uint32_t* channels, size_t n,
                                          uint64_t interval_us);
KAVRO_API kavro_status kavro_record_start_ex(kavro_board* board,
                                             const kavro_record_options* options);
// Moves up to max rows, oldest first, into the caller's arrays (any of them may be NULL):
// the channel, the calibrated load (NaN when none), the counts, the state
// (kavro_reading_state) and the time on the board's clock. *got is the number moved. Answers
// KAVRO_OVERFLOW once when rows were lost since the last fetch (the rows moved are good).
KAVRO_API kavro_status kavro_record_fetch(kavro_board* board, size_t max, uint32_t* channels,
                                          double* loads, int64_t* counts, int32_t* states,
                                          uint64_t* monotonic_us, size_t* got);
// How the recording stands (also after it ended by itself). While it runs, readings, errors,
// overflowed and buffered are counted as they happen; the rest comes when it ends.
KAVRO_API kavro_status kavro_record_status(kavro_board* board, kavro_record_summary* summary);
// Ends the recording and waits for its thread; summary (may be NULL) gets its summary. The
// rows not yet fetched stay to be fetched.
KAVRO_API kavro_status kavro_record_stop(kavro_board* board, kavro_record_summary* summary);

// ---- the emulator, for tests and trying things without a board ---------------------------

// A virtual USB bus with the boards KAVRO-0001 (type 3, one channel) and KAVRO-0009 (type 9,
// four channels). real_time 0: virtual time, where waits take no time at all.
KAVRO_API kavro_status kavro_emulator_new(int32_t real_time, kavro_emulator** emulator);
// Frees it; every board opened on it must be released first.
KAVRO_API void kavro_emulator_free(kavro_emulator* emulator);
// Plugs in a board of board_type with that many channels (default calibration, steady load).
KAVRO_API kavro_status kavro_emulator_add_board(kavro_emulator* emulator, const char* serial,
                                                uint32_t board_type, uint32_t channels);
KAVRO_API kavro_status kavro_emulator_unplug(kavro_emulator* emulator, const char* serial);
KAVRO_API kavro_status kavro_emulator_replug(kavro_emulator* emulator, const char* serial);
// Unplugs the board after_us from now on the emulator's clock, and plugs it in for_us later.
KAVRO_API kavro_status kavro_emulator_schedule_unplug(kavro_emulator* emulator, const char* serial,
                                                      uint64_t after_us, uint64_t for_us);

typedef enum kavro_emulator_fault {
  KAVRO_FAULT_DROP = 0,        // the reply never comes
  KAVRO_FAULT_TEDS_ERROR = 1,  // an error reply ("TEDS Error") instead
  KAVRO_FAULT_CORRUPT = 2      // the reply's code byte spoilt
} kavro_emulator_fault;

// Spoils the board's next `times` replies.
KAVRO_API kavro_status kavro_emulator_reply_fault(kavro_emulator* emulator, const char* serial,
                                                  int32_t fault, uint32_t times);
// Makes the nth next call of a D2XX function ("FT_OpenEx") fail with a D2XX status; nth 0:
// every call, until kavro_emulator_clear_faults.
KAVRO_API kavro_status kavro_emulator_fail_call(kavro_emulator* emulator, const char* function,
                                                uint32_t d2xx_status, uint32_t nth);
KAVRO_API kavro_status kavro_emulator_clear_faults(kavro_emulator* emulator);

#ifdef __cplusplus
}
#endif

#endif  // KAVRO_KAVRO_C_H
