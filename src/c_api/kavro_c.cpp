// The C interface: handles around kavro::Board, status codes from kavro::ErrorKind, the
// recording thread with its bounded buffer, and the emulator for callers without a C++ side.
// No exception leaves this file: every entry point runs its body inside Guard.
#include "kavro/kavro_c.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "kavro/kavro.h"
#include "kavro_emulator.h"

struct kavro_emulator {
  explicit kavro_emulator(bool real_time)
      : bus(real_time ? kavro::emu::VirtualBus::Clock::kReal
                      : kavro::emu::VirtualBus::Clock::kVirtual) {}
  kavro::emu::VirtualBus bus;
};

// The structs' layouts on 64-bit platforms: no padding anywhere, so that callers that pack
// their structs (LabVIEW clusters) and those that align them see the same bytes.
static_assert(sizeof(void*) != 8 ||
                  (sizeof(kavro_event) == 264 && sizeof(kavro_open_options) == 72 &&
                   sizeof(kavro_board_info) == 84 && sizeof(kavro_reading) == 48 &&
                   sizeof(kavro_calibration) == 40 && sizeof(kavro_record_options) == 56 &&
                   sizeof(kavro_record_summary) == 96),
              "a struct of the C interface has padding");

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kEventQueue = 256;
constexpr std::size_t kDefaultCapacity = 65536;
constexpr std::size_t kSerialSlot = 16;

// A failure and its status, for the board's (or the thread's) last error.
struct Failure {
  kavro_status status = KAVRO_OK;
  std::string line;
};

// The last failure of calls with no open board, per thread: a failed open has nowhere else to
// leave its reason.
thread_local Failure tls_failure;

kavro_status StatusOf(kavro::ErrorKind kind) {
  switch (kind) {
    case kavro::ErrorKind::kNotFound: return KAVRO_NOT_FOUND;
    case kavro::ErrorKind::kCannotOpen: return KAVRO_CANNOT_OPEN;
    case kavro::ErrorKind::kDisconnected: return KAVRO_DISCONNECTED;
    case kavro::ErrorKind::kTimedOut: return KAVRO_TIMED_OUT;
    case kavro::ErrorKind::kBoardRefused: return KAVRO_BOARD_REFUSED;
    case kavro::ErrorKind::kProtocol: return KAVRO_PROTOCOL_ERROR;
    case kavro::ErrorKind::kNotSupported: return KAVRO_NOT_SUPPORTED;
    case kavro::ErrorKind::kInvalidArgument: return KAVRO_INVALID_ARGUMENT;
    case kavro::ErrorKind::kBadCalibration: return KAVRO_BAD_CALIBRATION;
    case kavro::ErrorKind::kLinkUnavailable: return KAVRO_LINK_UNAVAILABLE;
    case kavro::ErrorKind::kStopped: return KAVRO_STOPPED;
  }
  return KAVRO_INTERNAL_ERROR;
}

// Copies text into a caller's buffer, NUL-terminated, cut to fit.
kavro_status CopyText(const std::string& text, char* out, std::size_t length) {
  if (out == nullptr || length == 0) return KAVRO_BUFFER_TOO_SMALL;
  const std::size_t n = std::min(text.size(), length - 1);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
  return n < text.size() ? KAVRO_BUFFER_TOO_SMALL : KAVRO_OK;
}

template <std::size_t N>
void CopyField(const std::string& text, char (&out)[N]) {
  std::memset(out, 0, N);
  std::memcpy(out, text.data(), std::min(text.size(), N - 1));
}

std::int64_t UtcMicros(std::chrono::system_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

// A struct from the caller is usable when it is there and its size covers the fields this
// version reads (a newer caller's larger struct is fine).
template <typename T>
bool Sized(const T* p, std::size_t known = sizeof(T)) {
  return p != nullptr && p->size >= known;
}

kavro_event EventOf(const kavro::BoardEvent& e) {
  kavro_event out{};
  out.size = sizeof(out);
  out.kind = e.kind == kavro::BoardEventKind::kDisconnected  ? KAVRO_EVENT_DISCONNECTED
             : e.kind == kavro::BoardEventKind::kReconnected ? KAVRO_EVENT_RECONNECTED
                                                             : KAVRO_EVENT_GAVE_UP;
  out.monotonic_us = e.monotonic_us;
  out.utc_us = UtcMicros(e.wall);
  out.gap_us = e.gap_us;
  out.attempts = e.attempts;
  out.status = e.error.text.empty() ? KAVRO_OK : StatusOf(e.error.kind);
  out.d2xx_status = e.error.status;
  CopyField(e.serial, out.serial);
  CopyField(e.error.Describe(), out.error);
  return out;
}

int32_t StateOf(kavro::ReadingState s) {
  switch (s) {
    case kavro::ReadingState::kOk: return KAVRO_READING_OK;
    case kavro::ReadingState::kPositiveOverflow: return KAVRO_READING_POSITIVE_OVERFLOW;
    case kavro::ReadingState::kNegativeOverflow: return KAVRO_READING_NEGATIVE_OVERFLOW;
    case kavro::ReadingState::kConverterFault: return KAVRO_READING_CONVERTER_FAULT;
    case kavro::ReadingState::kUnassigned: return KAVRO_READING_UNASSIGNED;
    case kavro::ReadingState::kUnrecognised: return KAVRO_READING_UNRECOGNISED;
  }
  return KAVRO_READING_UNRECOGNISED;
}

// One row of a recording, as fetched.
struct Row {
  std::uint32_t channel;
  double load;
  std::int64_t counts;
  std::int32_t state;
  std::uint64_t monotonic_us;
};

// The link a handle opens on, and the provider it owns for it (libftdi1's).
struct Link {
  kavro::LinkProvider* provider = nullptr;
  std::unique_ptr<kavro::LinkProvider> owned;
};

}  // namespace

struct kavro_board {
  // Calls that use the board hold it shared; kavro_close holds it exclusively while it ends
  // the board. closing turns new calls away at once, so a close never waits behind them.
  std::shared_mutex use;
  std::atomic<bool> closing{false};
  bool closed = false;  // under use
  Link link;
  kavro::Board board;

  kavro_event_callback callback = nullptr;
  void* user = nullptr;

  std::mutex error_mutex;
  Failure last;

  std::mutex event_mutex;
  std::deque<kavro_event> events;
  std::uint64_t events_lost = 0;

  // The recording: its thread, its buffer and its outcome, all under record_mutex.
  std::mutex record_mutex;
  std::condition_variable record_done;
  std::thread recorder;
  bool started = false, running = false;
  std::atomic<bool> stop{false};
  std::deque<Row> rows;
  std::size_t capacity = kDefaultCapacity;
  std::uint64_t overflowed = 0, unreported_overflow = 0;
  kavro::RecordSummary summary;
  kavro_status record_status = KAVRO_OK;
  bool stopped = false;

  void Fail(kavro_status status, std::string line) {
    std::lock_guard<std::mutex> lock(error_mutex);
    last = {status, std::move(line)};
  }
  kavro_status Fail(const kavro::Error& e) {
    const kavro_status s = StatusOf(e.kind);
    Fail(s, e.Describe());
    return s;
  }
  void Event(const kavro::BoardEvent& e) {
    const kavro_event out = EventOf(e);
    {
      std::lock_guard<std::mutex> lock(event_mutex);
      if (events.size() == kEventQueue) {
        events.pop_front();
        ++events_lost;
      }
      events.push_back(out);
    }
    if (callback != nullptr) callback(&out, user);
  }
  // Ends the recording and waits for its thread, whoever else is waiting too.
  void StopRecording() {
    stop = true;
    std::thread t;
    {
      std::lock_guard<std::mutex> lock(record_mutex);
      t = std::move(recorder);
    }
    if (t.joinable()) t.join();
    std::unique_lock<std::mutex> lock(record_mutex);
    record_done.wait(lock, [this] { return !running; });
  }
};

namespace {

kavro_status NoBoardFailure(kavro_status status, const char* line) noexcept {
  tls_failure.status = status;
  try {
    tls_failure.line = line;
  } catch (...) {  // out of memory: the status says enough
    tls_failure.line.clear();
  }
  return status;
}
kavro_status NoBoardFailure(kavro_status status, const std::string& line) noexcept {
  return NoBoardFailure(status, line.c_str());
}

// Keeps status and line as the board's last failure, or the thread's when there is no board.
kavro_status FailOn(kavro_board* board, kavro_status status, const char* line) noexcept {
  try {
    if (board == nullptr) return NoBoardFailure(status, line);
    board->Fail(status, line);
  } catch (...) {  // out of memory while keeping the line: the status says enough
  }
  return status;
}

// Runs body, turning anything thrown into a status: nothing crosses the C boundary.
template <typename Body>
kavro_status Guard(kavro_board* board, Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return FailOn(board, KAVRO_OUT_OF_MEMORY, "out of memory");
  } catch (...) {
    return FailOn(board, KAVRO_INTERNAL_ERROR, "unexpected failure in the library");
  }
}

// Runs body(board) on an open board, holding it against a close meanwhile.
template <typename Body>
kavro_status OnBoard(kavro_board* board, Body body) noexcept {
  if (board == nullptr) return NoBoardFailure(KAVRO_INVALID_HANDLE, "no board: the handle is NULL");
  return Guard(board, [&]() -> kavro_status {
    if (!board->closing) {
      std::shared_lock<std::shared_mutex> lock(board->use);
      if (!board->closed) return body(*board);
    }
    board->Fail(KAVRO_CLOSED, "closed: the board was closed");
    return KAVRO_CLOSED;
  });
}

// Runs body(board) on a handle that may be closed: for the calls that only touch what the
// handle keeps (the recording's rows, the events), so that they can be drained after a close.
template <typename Body>
kavro_status OnHandle(kavro_board* board, Body body) noexcept {
  if (board == nullptr) return NoBoardFailure(KAVRO_INVALID_HANDLE, "no board: the handle is NULL");
  return Guard(board, [&]() -> kavro_status { return body(*board); });
}

// Answers a typed result's status, leaving its error as the board's last.
kavro_status Check(kavro_board& b, const kavro::Status& s) {
  return s ? KAVRO_OK : b.Fail(s.error());
}

kavro_status Invalid(kavro_board& b, const char* text) {
  b.Fail(KAVRO_INVALID_ARGUMENT, std::string("invalid argument: ") + text);
  return KAVRO_INVALID_ARGUMENT;
}

void Fill(const kavro::Result<kavro::Reading>& r, unsigned int channel, kavro_reading* out) {
  const std::uint32_t size = out->size;
  *out = kavro_reading{};
  out->size = size;
  out->channel = channel;
  out->load = kNaN;
  if (!r) {
    out->status = StatusOf(r.error().kind);
    out->state = KAVRO_READING_FAILED;
    return;
  }
  out->status = KAVRO_OK;
  out->state = StateOf(r->state);
  out->counts = r->counts;
  if (r->load) out->load = *r->load;
  out->monotonic_us = r->monotonic_us;
  out->utc_us = UtcMicros(r->wall);
}

// The link the options name; a failure is the thread's last error.
kavro_status LinkOf(const kavro_open_options* o, Link* link) {
  const std::int32_t which = o != nullptr ? o->link : KAVRO_LINK_DEFAULT;
  switch (which) {
    case KAVRO_LINK_DEFAULT: return KAVRO_OK;
    case KAVRO_LINK_D2XX: link->provider = &kavro::VendorLink(); return KAVRO_OK;
    case KAVRO_LINK_LIBFTDI:
      link->owned.reset(kavro::NewLibftdiLink());
      if (!link->owned)
        return NoBoardFailure(KAVRO_LINK_UNAVAILABLE,
                              "link unavailable: this library was built without libftdi1");
      link->provider = link->owned.get();
      return KAVRO_OK;
    case KAVRO_LINK_EMULATOR:
      if (o->emulator == nullptr)
        return NoBoardFailure(KAVRO_INVALID_ARGUMENT,
                              "invalid argument: the emulator link needs options.emulator");
      link->provider = &o->emulator->bus;
      return KAVRO_OK;
    default:
      return NoBoardFailure(KAVRO_INVALID_ARGUMENT,
                            "invalid argument: unknown link " + std::to_string(which));
  }
}

kavro_status CheckOptions(const kavro_open_options* o) {
  if (o != nullptr && !Sized(o))
    return NoBoardFailure(KAVRO_INVALID_ARGUMENT,
                          "invalid argument: options.size is not sizeof(kavro_open_options)");
  return KAVRO_OK;
}

kavro_status Open(const char* serial, const kavro_open_options* o, kavro_board** out) {
  if (out == nullptr)
    return NoBoardFailure(KAVRO_INVALID_ARGUMENT, "invalid argument: board is NULL");
  *out = nullptr;
  return Guard(nullptr, [&]() -> kavro_status {
    if (kavro_status s = CheckOptions(o); s != KAVRO_OK) return s;
    kavro_open_options defaults;
    kavro_open_options_init(&defaults);
    if (o == nullptr) o = &defaults;
    auto board = std::make_unique<kavro_board>();
    if (kavro_status s = LinkOf(o, &board->link); s != KAVRO_OK) return s;
    kavro::OpenOptions options;
    options.link = board->link.provider;
    options.reconnect.enabled = o->reconnect != 0;
    options.reconnect.first_delay_us = o->first_delay_us;
    options.reconnect.max_delay_us = o->max_delay_us;
    options.reconnect.give_up_after_us = o->give_up_after_us;
    options.reconnect.max_attempts = o->max_attempts;
    options.calibrated_loads = o->calibrated_loads != 0;
    board->callback = o->on_event;
    board->user = o->user;
    kavro_board* self = board.get();
    options.on_event = [self](const kavro::BoardEvent& e) {
      try {
        self->Event(e);
      } catch (...) {  // a lost event is better than an exception in the board's call
      }
    };
    kavro::Result<kavro::Board> opened = serial != nullptr
                                             ? kavro::Board::Open(serial, std::move(options))
                                             : kavro::Board::OpenOnly(std::move(options));
    if (!opened) return NoBoardFailure(StatusOf(opened.error().kind), opened.error().Describe());
    board->board = std::move(opened.value());
    *out = board.release();
    return KAVRO_OK;
  });
}

}  // namespace

extern "C" {

uint32_t kavro_abi_version(void) {
  return KAVRO_ABI_VERSION;
}

const char* kavro_status_name(kavro_status status) {
  switch (status) {
    case KAVRO_OK: return "ok";
    case KAVRO_NOT_FOUND: return "not found";
    case KAVRO_CANNOT_OPEN: return "cannot open";
    case KAVRO_DISCONNECTED: return "disconnected";
    case KAVRO_TIMED_OUT: return "timed out";
    case KAVRO_BOARD_REFUSED: return "board refused";
    case KAVRO_PROTOCOL_ERROR: return "protocol error";
    case KAVRO_NOT_SUPPORTED: return "not supported";
    case KAVRO_INVALID_ARGUMENT: return "invalid argument";
    case KAVRO_BAD_CALIBRATION: return "bad calibration";
    case KAVRO_LINK_UNAVAILABLE: return "link unavailable";
    case KAVRO_STOPPED: return "stopped";
    case KAVRO_BUFFER_TOO_SMALL: return "buffer too small";
    case KAVRO_INVALID_HANDLE: return "invalid handle";
    case KAVRO_CLOSED: return "closed";
    case KAVRO_BUSY: return "busy";
    case KAVRO_NOT_RECORDING: return "not recording";
    case KAVRO_OVERFLOW: return "overflow";
    case KAVRO_OUT_OF_MEMORY: return "out of memory";
    case KAVRO_INTERNAL_ERROR: return "internal error";
  }
  return "unknown status";
}

kavro_status kavro_last_error(const kavro_board* board, char* text, size_t length) {
  auto* b = const_cast<kavro_board*>(board);
  return Guard(b, [&]() -> kavro_status {
    if (b == nullptr) return CopyText(tls_failure.line, text, length);
    std::lock_guard<std::mutex> lock(b->error_mutex);
    return CopyText(b->last.line, text, length);
  });
}

void kavro_open_options_init(kavro_open_options* options) {
  if (options == nullptr) return;
  const kavro::ReconnectOptions r;
  *options = kavro_open_options{};
  options->size = sizeof(*options);
  options->link = KAVRO_LINK_DEFAULT;
  options->first_delay_us = r.first_delay_us;
  options->max_delay_us = r.max_delay_us;
  options->give_up_after_us = r.give_up_after_us;
  options->max_attempts = r.max_attempts;
  options->reconnect = 1;
  options->calibrated_loads = 1;
}

kavro_status kavro_open(const char* serial, const kavro_open_options* options,
                        kavro_board** board) {
  if (serial == nullptr)
    return NoBoardFailure(KAVRO_INVALID_ARGUMENT, "invalid argument: serial is NULL");
  return Open(serial, options, board);
}

kavro_status kavro_open_only(const kavro_open_options* options, kavro_board** board) {
  return Open(nullptr, options, board);
}

kavro_status kavro_list(const kavro_open_options* options, char* serials, size_t max,
                        size_t* count) {
  return Guard(nullptr, [&]() -> kavro_status {
    if (count == nullptr)
      return NoBoardFailure(KAVRO_INVALID_ARGUMENT, "invalid argument: count is NULL");
    *count = 0;
    if (kavro_status s = CheckOptions(options); s != KAVRO_OK) return s;
    Link link;
    if (kavro_status s = LinkOf(options, &link); s != KAVRO_OK) return s;
    auto listed = kavro::Board::List(link.provider);
    if (!listed) return NoBoardFailure(StatusOf(listed.error().kind), listed.error().Describe());
    *count = listed->size();
    if (serials == nullptr) return KAVRO_OK;
    for (std::size_t i = 0; i < std::min(max, listed->size()); ++i)
      CopyText((*listed)[i], serials + i * kSerialSlot, kSerialSlot);
    if (listed->size() <= max) return KAVRO_OK;
    return NoBoardFailure(KAVRO_BUFFER_TOO_SMALL,
                          "buffer too small: " + std::to_string(listed->size()) +
                              " boards attached, room for " + std::to_string(max));
  });
}

kavro_status kavro_close(kavro_board* board) {
  if (board == nullptr) return NoBoardFailure(KAVRO_INVALID_HANDLE, "no board: the handle is NULL");
  return Guard(board, [&]() -> kavro_status {
    board->closing = true;
    board->StopRecording();
    std::unique_lock<std::shared_mutex> lock(board->use);
    if (board->closed) return KAVRO_OK;
    // Again: a recording may have been started by a call that was under way when the close
    // began. Then the device is closed.
    board->StopRecording();
    board->board = kavro::Board();
    board->closed = true;
    return KAVRO_OK;
  });
}

void kavro_release(kavro_board* board) {
  if (board == nullptr) return;
  kavro_close(board);
  delete board;
}

kavro_status kavro_board_get_info(kavro_board* board, kavro_board_info* info) {
  return OnBoard(board, [&](kavro_board& b) {
    if (!Sized(info)) return Invalid(b, "info is NULL or its size is not sizeof(kavro_board_info)");
    const kavro::BoardInfo& i = b.board.info();
    const std::uint32_t size = info->size;
    *info = kavro_board_info{};
    info->size = size;
    info->type = i.type;
    std::copy(i.version.begin(), i.version.end(), info->version);
    info->channels = i.channels;
    CopyField(i.serial, info->serial);
    CopyField(b.board.link_description(), info->link);
    return KAVRO_OK;
  });
}

kavro_status kavro_connected(kavro_board* board, int32_t* connected) {
  return OnBoard(board, [&](kavro_board& b) {
    if (connected == nullptr) return Invalid(b, "connected is NULL");
    *connected = b.board.connected() ? 1 : 0;
    return KAVRO_OK;
  });
}

kavro_status kavro_read(kavro_board* board, uint32_t channel, kavro_reading* reading) {
  return kavro_read_channels(board, &channel, 1, reading);
}

kavro_status kavro_read_channels(kavro_board* board, const uint32_t* channels, size_t n,
                                 kavro_reading* readings) {
  return OnBoard(board, [&](kavro_board& b) {
    if (channels == nullptr || readings == nullptr || n == 0)
      return Invalid(b, "no channels, or no readings to fill");
    for (std::size_t i = 0; i < n; ++i)
      if (!Sized(&readings[i])) return Invalid(b, "a reading's size is not sizeof(kavro_reading)");
    kavro_status first = KAVRO_OK;
    for (std::size_t i = 0; i < n; ++i) {
      const kavro::Result<kavro::Reading> r = b.board.Read(channels[i]);
      Fill(r, channels[i], &readings[i]);
      if (!r && first == KAVRO_OK) first = b.Fail(r.error());
    }
    return first;
  });
}

kavro_status kavro_get_calibration(kavro_board* board, uint32_t channel,
                                   kavro_calibration* calibration) {
  return OnBoard(board, [&](kavro_board& b) {
    if (!Sized(calibration))
      return Invalid(b, "calibration is NULL or its size is not sizeof(kavro_calibration)");
    const kavro::Result<kavro::Calibration> c = b.board.GetCalibration(channel);
    if (!c) return b.Fail(c.error());
    const std::uint32_t size = calibration->size;
    *calibration = kavro_calibration{};
    calibration->size = size;
    calibration->offset_reading = c->offset_reading;
    calibration->fullscale_reading = c->fullscale_reading;
    calibration->offset_load = c->offset_load;
    calibration->fullscale_load = c->fullscale_load;
    calibration->unit_code = c->unit_code;
    calibration->decimal_point = c->decimal_point;
    return KAVRO_OK;
  });
}

kavro_status kavro_refresh_calibration(kavro_board* board, uint32_t channel) {
  return OnBoard(board,
                 [&](kavro_board& b) { return Check(b, b.board.RefreshCalibration(channel)); });
}

kavro_status kavro_calibration_to_load(const kavro_calibration* calibration, int64_t counts,
                                       double* load) {
  return Guard(nullptr, [&]() -> kavro_status {
    if (!Sized(calibration) || load == nullptr)
      return NoBoardFailure(KAVRO_INVALID_ARGUMENT,
                            "invalid argument: calibration (with its size) and load are needed");
    kavro::Calibration c;
    c.offset_reading = calibration->offset_reading;
    c.fullscale_reading = calibration->fullscale_reading;
    c.offset_load = calibration->offset_load;
    c.fullscale_load = calibration->fullscale_load;
    c.unit_code = calibration->unit_code;
    c.decimal_point = calibration->decimal_point;
    const kavro::Result<double> r = c.ToLoad(counts);
    *load = r ? r.value() : kNaN;
    return r ? KAVRO_OK : NoBoardFailure(StatusOf(r.error().kind), r.error().Describe());
  });
}

kavro_status kavro_tare(kavro_board* board, uint32_t channel, uint32_t samples, double* tare) {
  return OnBoard(board, [&](kavro_board& b) {
    const kavro::Result<double> t = b.board.Tare(channel, samples);
    if (!t) return b.Fail(t.error());
    if (tare != nullptr) *tare = t.value();
    return KAVRO_OK;
  });
}

kavro_status kavro_clear_tare(kavro_board* board, uint32_t channel) {
  return OnBoard(board, [&](kavro_board& b) {
    if (kavro_status s = Check(b, b.board.CheckChannel(channel)); s != KAVRO_OK) return s;
    b.board.ClearTare(channel);
    return KAVRO_OK;
  });
}

kavro_status kavro_get_tare(kavro_board* board, uint32_t channel, double* tare) {
  return OnBoard(board, [&](kavro_board& b) {
    if (tare == nullptr) return Invalid(b, "tare is NULL");
    if (kavro_status s = Check(b, b.board.CheckChannel(channel)); s != KAVRO_OK) return s;
    *tare = b.board.tare(channel).value_or(kNaN);
    return KAVRO_OK;
  });
}

kavro_status kavro_get_converter(kavro_board* board, uint32_t channel, uint8_t* rate,
                                 uint8_t* upper) {
  return OnBoard(board, [&](kavro_board& b) {
    const kavro::Result<kavro::ConverterConfig> c = b.board.GetConverterConfig(channel);
    if (!c) return b.Fail(c.error());
    if (rate != nullptr) *rate = c->rate;
    if (upper != nullptr) *upper = c->upper;
    return KAVRO_OK;
  });
}

kavro_status kavro_set_sampling_rate(kavro_board* board, uint32_t channel, uint8_t rate) {
  return OnBoard(board,
                 [&](kavro_board& b) { return Check(b, b.board.SetSamplingRate(rate, channel)); });
}

kavro_status kavro_set_converter_byte(kavro_board* board, uint32_t channel, uint8_t value) {
  return OnBoard(
      board, [&](kavro_board& b) { return Check(b, b.board.SetConverterByte(value, channel)); });
}

kavro_status kavro_read_eeprom_register(kavro_board* board, uint8_t address, uint8_t bytes[3]) {
  return OnBoard(board, [&](kavro_board& b) {
    if (bytes == nullptr) return Invalid(b, "bytes is NULL");
    auto r = b.board.ReadEepromRegister(address);
    if (!r) return b.Fail(r.error());
    std::copy(r->begin(), r->end(), bytes);
    return KAVRO_OK;
  });
}

kavro_status kavro_read_channel_register(kavro_board* board, uint32_t channel, uint8_t address,
                                         uint8_t bytes[3]) {
  return OnBoard(board, [&](kavro_board& b) {
    if (bytes == nullptr) return Invalid(b, "bytes is NULL");
    auto r = b.board.ReadChannelRegister(channel, address);
    if (!r) return b.Fail(r.error());
    std::copy(r->begin(), r->end(), bytes);
    return KAVRO_OK;
  });
}

kavro_status kavro_reset(kavro_board* board) {
  return OnBoard(board, [&](kavro_board& b) { return Check(b, b.board.Reset()); });
}

kavro_status kavro_ping(kavro_board* board) {
  return OnBoard(board, [&](kavro_board& b) { return Check(b, b.board.Ping()); });
}

kavro_status kavro_next_event(kavro_board* board, kavro_event* event, int32_t* got) {
  return OnHandle(board, [&](kavro_board& b) {
    if (!Sized(event) || got == nullptr)
      return Invalid(b, "event (with its size) and got are needed");
    *got = 0;
    std::lock_guard<std::mutex> lock(b.event_mutex);
    if (b.events.empty()) return KAVRO_OK;
    const std::uint32_t size = event->size;
    *event = b.events.front();
    event->size = size;
    b.events.pop_front();
    *got = 1;
    return KAVRO_OK;
  });
}

kavro_status kavro_record_start(kavro_board* board, const uint32_t* channels, size_t n,
                                uint64_t interval_us) {
  kavro_record_options o{};
  o.size = sizeof(o);
  o.channels = channels;
  o.channel_count = n;
  o.interval_us = interval_us;
  return kavro_record_start_ex(board, &o);
}

kavro_status kavro_record_start_ex(kavro_board* board, const kavro_record_options* options) {
  return OnBoard(board, [&](kavro_board& b) {
    if (!Sized(options) || options->channels == nullptr || options->channel_count == 0)
      return Invalid(b, "record options (with their size) and at least one channel are needed");
    kavro::RecordOptions record;
    record.channels.assign(options->channels, options->channels + options->channel_count);
    for (unsigned int channel : record.channels)
      if (kavro_status s = Check(b, b.board.CheckChannel(channel)); s != KAVRO_OK) return s;
    record.interval_us = options->interval_us;
    record.count = options->count;
    record.duration_us = options->duration_us;
    record.should_stop = [&b] { return b.stop.load(); };

    std::lock_guard<std::mutex> lock(b.record_mutex);
    if (b.running) {
      b.Fail(KAVRO_BUSY, "busy: a recording already runs on this board");
      return KAVRO_BUSY;
    }
    if (b.recorder.joinable()) b.recorder.join();  // a recording that ended by itself
    b.rows.clear();
    b.capacity = options->capacity != 0 ? options->capacity : kDefaultCapacity;
    b.overflowed = b.unreported_overflow = 0;
    b.summary = kavro::RecordSummary{};
    b.record_status = KAVRO_OK;
    b.stopped = false;
    b.stop = false;
    b.started = b.running = true;
    try {
      b.recorder = std::thread([&b, record = std::move(record)] {
        kavro::Result<kavro::RecordSummary> summary = kavro::Error{};
        bool failed = false;
        try {
          summary = kavro::Record(b.board, record, [&b](const kavro::Sample& s) {
            Row row{s.channel, kNaN, 0, KAVRO_READING_FAILED, s.due_us};
            if (s.reading) {
              row = {s.channel, s.reading->load.value_or(kNaN), s.reading->counts,
                     StateOf(s.reading->state), s.reading->monotonic_us};
            }
            std::lock_guard<std::mutex> rows_lock(b.record_mutex);
            ++(s.reading ? b.summary.readings : b.summary.errors);  // the whole summary at the end
            if (b.rows.size() >= b.capacity) {
              ++b.overflowed;
              ++b.unreported_overflow;
            } else {
              b.rows.push_back(row);
            }
            return true;
          });
        } catch (...) {
          failed = true;
        }
        std::lock_guard<std::mutex> done_lock(b.record_mutex);
        if (failed) {
          b.record_status = KAVRO_INTERNAL_ERROR;
        } else if (!summary) {
          b.record_status = StatusOf(summary.error().kind);
        } else {
          b.summary = summary.value();
          b.stopped = summary->stopped;
          if (summary->gave_up) b.record_status = KAVRO_DISCONNECTED;
        }
        b.running = false;
        b.record_done.notify_all();
      });
    } catch (...) {
      b.started = b.running = false;
      throw;
    }
    return KAVRO_OK;
  });
}

kavro_status kavro_record_fetch(kavro_board* board, size_t max, uint32_t* channels, double* loads,
                                int64_t* counts, int32_t* states, uint64_t* monotonic_us,
                                size_t* got) {
  return OnHandle(board, [&](kavro_board& b) {
    if (got == nullptr) return Invalid(b, "got is NULL");
    *got = 0;
    std::lock_guard<std::mutex> lock(b.record_mutex);
    if (!b.started) {
      b.Fail(KAVRO_NOT_RECORDING, "not recording: no recording was started on this board");
      return KAVRO_NOT_RECORDING;
    }
    const std::size_t n = std::min(max, b.rows.size());
    for (std::size_t i = 0; i < n; ++i) {
      const Row& r = b.rows[i];
      if (channels != nullptr) channels[i] = r.channel;
      if (loads != nullptr) loads[i] = r.load;
      if (counts != nullptr) counts[i] = r.counts;
      if (states != nullptr) states[i] = r.state;
      if (monotonic_us != nullptr) monotonic_us[i] = r.monotonic_us;
    }
    b.rows.erase(b.rows.begin(), b.rows.begin() + static_cast<std::ptrdiff_t>(n));
    *got = n;
    if (b.unreported_overflow == 0) return KAVRO_OK;
    b.Fail(KAVRO_OVERFLOW, "overflow: " + std::to_string(b.unreported_overflow) +
                               " rows lost because the recording's buffer was full: fetch "
                               "more often or give a larger capacity");
    b.unreported_overflow = 0;
    return KAVRO_OVERFLOW;
  });
}

kavro_status kavro_record_status(kavro_board* board, kavro_record_summary* summary) {
  return OnHandle(board, [&](kavro_board& b) {
    if (!Sized(summary))
      return Invalid(b, "summary is NULL or its size is not sizeof(kavro_record_summary)");
    std::lock_guard<std::mutex> lock(b.record_mutex);
    if (!b.started) {
      b.Fail(KAVRO_NOT_RECORDING, "not recording: no recording was started on this board");
      return KAVRO_NOT_RECORDING;
    }
    const std::uint32_t size = summary->size;
    *summary = kavro_record_summary{};
    summary->size = size;
    summary->running = b.running ? 1 : 0;
    summary->status = b.record_status;
    summary->stopped = b.stopped ? 1 : 0;
    summary->due_times = b.summary.due_times;
    summary->readings = b.summary.readings;
    summary->errors = b.summary.errors;
    summary->missed = b.summary.missed;
    summary->gaps = b.summary.gaps;
    summary->gap_us = b.summary.gap_us;
    summary->elapsed_us = b.summary.elapsed_us;
    summary->overflowed = b.overflowed;
    summary->buffered = b.rows.size();
    std::lock_guard<std::mutex> events_lock(b.event_mutex);
    summary->events_lost = b.events_lost;
    return KAVRO_OK;
  });
}

kavro_status kavro_record_stop(kavro_board* board, kavro_record_summary* summary) {
  const kavro_status s = OnHandle(board, [&](kavro_board& b) {
    {
      std::lock_guard<std::mutex> lock(b.record_mutex);
      if (!b.started) {
        b.Fail(KAVRO_NOT_RECORDING, "not recording: no recording was started on this board");
        return KAVRO_NOT_RECORDING;
      }
    }
    b.StopRecording();
    return KAVRO_OK;
  });
  if (s != KAVRO_OK || summary == nullptr) return s;
  return kavro_record_status(board, summary);
}

// ---- the emulator ---------------------------------------------------------------------------

kavro_status kavro_emulator_new(int32_t real_time, kavro_emulator** emulator) {
  return Guard(nullptr, [&]() -> kavro_status {
    if (emulator == nullptr)
      return NoBoardFailure(KAVRO_INVALID_ARGUMENT, "invalid argument: emulator is NULL");
    auto e = std::make_unique<kavro_emulator>(real_time != 0);
    kavro::emu::AddReadyMadeBoards(e->bus);
    *emulator = e.release();
    return KAVRO_OK;
  });
}

void kavro_emulator_free(kavro_emulator* emulator) {
  delete emulator;
}

}  // extern "C"

namespace {

// Runs body on the emulator; a false from it is an unknown serial number (or function name).
template <typename Body>
kavro_status OnEmulator(kavro_emulator* e, const char* name, Body body) noexcept {
  return Guard(nullptr, [&]() -> kavro_status {
    if (e == nullptr)
      return NoBoardFailure(KAVRO_INVALID_HANDLE, "no emulator: the handle is NULL");
    if (name == nullptr)
      return NoBoardFailure(KAVRO_INVALID_ARGUMENT, "invalid argument: NULL name");
    if (body(e->bus, std::string(name))) return KAVRO_OK;
    return NoBoardFailure(KAVRO_INVALID_ARGUMENT,
                          std::string("invalid argument: not possible for '") + name + "' now");
  });
}

}  // namespace

extern "C" {

kavro_status kavro_emulator_add_board(kavro_emulator* emulator, const char* serial,
                                      uint32_t board_type, uint32_t channels) {
  return OnEmulator(emulator, serial, [&](kavro::emu::VirtualBus& bus, const std::string& s) {
    if (s.empty() || s.size() >= kSerialSlot || channels == 0 || channels > 16) return false;
    kavro::emu::VirtualBoard board(board_type, channels);
    board.reply_latency_us = 1500;
    bus.AddDevice(s, std::move(board));
    return true;
  });
}

kavro_status kavro_emulator_unplug(kavro_emulator* emulator, const char* serial) {
  return OnEmulator(emulator, serial, [](kavro::emu::VirtualBus& bus, const std::string& s) {
    return bus.Unplug(s);
  });
}

kavro_status kavro_emulator_replug(kavro_emulator* emulator, const char* serial) {
  return OnEmulator(emulator, serial, [](kavro::emu::VirtualBus& bus, const std::string& s) {
    return bus.Replug(s);
  });
}

kavro_status kavro_emulator_schedule_unplug(kavro_emulator* emulator, const char* serial,
                                            uint64_t after_us, uint64_t for_us) {
  return OnEmulator(emulator, serial, [&](kavro::emu::VirtualBus& bus, const std::string& s) {
    bus.ScheduleUnplug(s, after_us, for_us);
    return true;
  });
}

kavro_status kavro_emulator_reply_fault(kavro_emulator* emulator, const char* serial, int32_t fault,
                                        uint32_t times) {
  return OnEmulator(emulator, serial, [&](kavro::emu::VirtualBus& bus, const std::string& s) {
    kavro::emu::ReplyFault f;
    switch (fault) {
      case KAVRO_FAULT_DROP: f.kind = kavro::emu::ReplyFault::kDrop; break;
      case KAVRO_FAULT_TEDS_ERROR:
        f.kind = kavro::emu::ReplyFault::kErrorReply;
        f.error_code = 'L';
        break;
      case KAVRO_FAULT_CORRUPT: f.kind = kavro::emu::ReplyFault::kCorruptCode; break;
      default: return false;
    }
    return bus.WithDevice(s, [&](kavro::emu::VirtualBus::Device& d) {
      for (std::uint32_t i = 0; i < times; ++i) d.board.faults.push_back(f);
    });
  });
}

kavro_status kavro_emulator_fail_call(kavro_emulator* emulator, const char* function,
                                      uint32_t d2xx_status, uint32_t nth) {
  return OnEmulator(emulator, function, [&](kavro::emu::VirtualBus& bus, const std::string& f) {
    kavro::emu::Call call;
    if (!kavro::emu::CallFromName(f, &call)) return false;
    if (nth == 0)
      bus.FailEveryCall(call, d2xx_status);
    else
      bus.FailCall(call, d2xx_status, nth);
    return true;
  });
}

kavro_status kavro_emulator_clear_faults(kavro_emulator* emulator) {
  return OnEmulator(emulator, "", [](kavro::emu::VirtualBus& bus, const std::string&) {
    bus.ClearFaults();
    return true;
  });
}

}  // extern "C"
