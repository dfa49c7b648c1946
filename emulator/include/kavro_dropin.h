/* The control API of the emulator's drop-in D2XX library (libftd2xx.so from the board
 * emulator): with that library on the loader's path in place of FTDI's, a D2XX program, this
 * library's default link included, talks to emulated boards. It starts with the ready-made
 * boards KAVRO-0001 (type 3, one channel) and KAVRO-0009 (type 9, four channels) attached;
 * these functions add boards, unplug and replug them and make D2XX calls fail. Any thread may call
 * them, while other threads make D2XX calls. Link with the drop-in library (-lftd2xx from its
 * folder), or look the functions up with dlsym. The functions keep their kavroemu_ names, which
 * programs already call, though the header is named after the drop-in library. */
#ifndef KAVRO_DROPIN_H
#define KAVRO_DROPIN_H

#ifdef __cplusplus
extern "C" {
#endif

/* Puts a board of board_type with that many channels on the bus behind a bridge with serial
 * number serial. Returns the device's index in the device list, or -1 for a missing or
 * over-long serial number (15 characters at most). */
int kavroemu_add_board(const char* serial, unsigned int board_type, unsigned int channels);

/* Unplugs the device with serial number serial: it leaves the device list, and its open handle
 * fails with FT_IO_ERROR until closed. */
void kavroemu_unplug(const char* serial);

/* Plugs the unplugged device with serial number serial in again, freshly powered: back in the
 * device list, its converter configuration at its power-on values. Handles from before the
 * unplug stay dead; a new open works. Returns 0, or -1 when no such device is unplugged. */
int kavroemu_replug(const char* serial);

/* Unplugs the device with serial number serial at the first D2XX call made once after_us
 * microseconds have passed, and plugs it in again for_us microseconds later (real time). Returns
 * 0, or -1 when no board has that serial number. */
int kavroemu_schedule_unplug(const char* serial, unsigned long long after_us,
                             unsigned long long for_us);

/* Makes the nth next call of the D2XX function named (e.g. "FT_OpenEx") fail with status; nth 0
 * makes every call fail. Returns 0, or -1 for an unknown name. */
int kavroemu_fail_call(const char* function, unsigned int status, unsigned int nth);

/* Ends every injected failure. */
void kavroemu_clear_faults(void);

/* Makes the board behind serial take latency_us from a request to its reply. Returns 0, or -1
 * when no board has that serial number. */
int kavroemu_set_reply_latency(const char* serial, unsigned int latency_us);

/* How many times the D2XX function named has been called, or -1 for an unknown name. */
long long kavroemu_count_calls(const char* function);

#ifdef __cplusplus
}
#endif

#endif /* KAVRO_DROPIN_H */
