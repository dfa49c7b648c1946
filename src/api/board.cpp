// kavro::Board on top of one KAVRO_USB_DLL instance: typed results, calibration, tare and
// reconnection after the link went away.
#include <algorithm>
#include <charconv>
#include <cmath>

#include "clock_sum.h"
#include "board_impl.h"

namespace kavro {

using detail::OwnError;

namespace {

constexpr unsigned int kMaxProbedChannels = 16;

bool ParseInteger(const std::string& text, std::int64_t* value) {
  const char* end = text.data() + text.size();
  const auto r = std::from_chars(text.data(), end, *value);
  return !text.empty() && r.ec == std::errc() && r.ptr == end;
}

// Sorts a measurement text into a reading: counts, or the converter's condition words.
Reading Parse(unsigned int channel, const std::string& text) {
  Reading r;
  r.channel = channel;
  r.raw = text;
  if (ParseInteger(text, &r.counts)) return r;  // from_chars leaves counts 0 on failure
  if (text == "Positive Overflow") {
    r.state = ReadingState::kPositiveOverflow;
  } else if (text == "Negative Overflow") {
    r.state = ReadingState::kNegativeOverflow;
  } else if (text == "Error") {  // four zero bytes; a failed exchange never gets here
    r.state = ReadingState::kConverterFault;
  } else if (text == "Unassigned") {
    r.state = ReadingState::kUnassigned;
  } else {
    r.state = ReadingState::kUnrecognised;
  }
  return r;
}

// Runs f under the board's lock, then hands the events noticed so far to on_event.
template <typename F>
auto Locked(detail::BoardImpl& impl, F&& f) -> decltype(f()) {
  auto result = [&] {
    std::lock_guard<std::mutex> lock(impl.mutex);
    return f();
  }();
  impl.Deliver();
  return result;
}

// Runs body under the board's lock once the channel, when one is given, is found to be one of
// the board's and the board is open (reopened if need be).
template <typename R, typename F>
R OnBoard(detail::BoardImpl* impl, std::optional<unsigned int> channel, F body) {
  if (impl == nullptr) return detail::NoBoard();
  return Locked(*impl, [&]() -> R {
    if (channel) {
      if (Status s = impl->CheckChannel(*channel); !s) return s.error();
    }
    if (Status s = impl->Ready(); !s) return s.error();
    return body(*impl);
  });
}

}  // namespace

namespace detail {

Error NoBoard() {
  return OwnError(ErrorKind::kInvalidArgument,
                  "this Board holds no board (moved from, or never opened)");
}

Error NoSuchChannel(const BoardInfo& info, unsigned int channel) {
  const std::string has =
      info.channels == 1 ? "channel 0 only" : "channels 0-" + std::to_string(info.channels - 1);
  return OwnError(ErrorKind::kInvalidArgument,
                  "channel " + std::to_string(channel) + ": " + info.serial + " has " + has);
}

}  // namespace detail

// ---- calibration ----------------------------------------------------------------------------

Result<double> Calibration::ToLoad(std::int64_t counts) const {
  if (fullscale_reading == offset_reading) {
    return OwnError(ErrorKind::kBadCalibration, "offset and full-scale readings are equal (" +
                                                    std::to_string(offset_reading) +
                                                    "): no load can be computed");
  }
  // In double throughout: any counts a caller passes are safe from integer overflow.
  const double offset = static_cast<double>(offset_reading);
  const double span = static_cast<double>(fullscale_load) - static_cast<double>(offset_load);
  const double load = static_cast<double>(offset_load) +
                      (static_cast<double>(counts) - offset) * span / (fullscale_reading - offset);
  return load / std::pow(10.0, static_cast<double>(decimal_point));
}

// ---- the inside -----------------------------------------------------------------------------

Board::Impl::Impl(const std::string& serial, OpenOptions opened_with)
    : options(std::move(opened_with)) {
  info.serial = serial;
  if (options.link != nullptr) dll.UseLink(options.link);
  clock = &dll.CurrentLink();
  link_name = clock->Name();
}

Board::Impl::~Impl() {
  if (handle != nullptr) dll.Close_Device_Connection(handle);
}

void Board::Impl::SetHandle(void* h) {
  handle = h;
  linked = h != nullptr;
}

Status Board::Impl::Attempted(const detail::Failure& failure) {
  if (!failure) return {};
  return detail::Classify(failure, detail::Stage::kOpen, dll.CurrentLink(), Reconnects());
}

Status Board::Impl::Checked(const detail::Failure& failure) {
  Status s = Attempted(failure);
  if (!s && s.error().kind == ErrorKind::kDisconnected) LinkLost(s.error());
  return s;
}

Status Board::Impl::OpenHandle(detail::Stage stage) {
  const detail::Outcome<void*> opened = detail::OpenBySerial(dll, info.serial.c_str());
  if (opened.failure) {
    return detail::Classify(opened.failure, stage, dll.CurrentLink(),
                            stage == detail::Stage::kOpen);
  }
  SetHandle(opened.value);
  return {};
}

Status Board::Impl::LearnVersion() {
  const detail::Step<detail::BoardVersion> v = detail::RequestVersion(dll, handle);
  if (Status s = Attempted(v.failure); !s) return s;
  std::lock_guard<std::mutex> lock(info_mutex);
  info.type = v.value.type;
  std::copy(v.value.fields.begin(), v.value.fields.end(), info.version.begin());
  return {};
}

Status Board::Impl::Open() {
  if (Status opened = OpenHandle(detail::Stage::kOpening); !opened) return opened;
  if (Status learned = LearnVersion(); !learned) return learned;
  // Type 9 has channels of its own: count those whose configuration register answers.
  info.channels = 1;
  while (info.type == kBoardTypeChannelRegisters && info.channels < kMaxProbedChannels) {
    const auto channel = static_cast<unsigned char>(info.channels);
    const Status probe = Attempted(
        detail::ReadChannelRegister(dll, handle, channel, ConfigRegisterAddress(info.type))
            .failure);
    if (!probe && probe.error().kind == ErrorKind::kDisconnected) return probe.error();
    if (!probe) break;
    ++info.channels;
  }
  channels.assign(info.channels, ChannelState{});
  monotonic_at_open = clock->NowMicroseconds();
  wall_at_open = std::chrono::system_clock::now();
  return {};
}

// The wall time at the open moved on (or back: a reconnect's time is taken before the reopen
// that renews the open's times) as far as the link's clock has since. A virtual clock can run
// further than the system clock's type holds; the wall time then stops at that type's end.
std::chrono::system_clock::time_point Board::Impl::Wall(std::uint64_t monotonic_us) const {
  using std::chrono::duration_cast;
  using std::chrono::microseconds;
  using System = std::chrono::system_clock;
  const auto most_us =
      static_cast<std::uint64_t>(duration_cast<microseconds>(System::duration::max()).count());
  const auto open_us = static_cast<std::uint64_t>(
      duration_cast<microseconds>(wall_at_open.time_since_epoch()).count());
  // In two's complement: the wall time in microseconds is open_us plus or minus the distance.
  std::uint64_t wall_us;
  if (monotonic_us >= monotonic_at_open) {
    const std::uint64_t ahead = monotonic_us - monotonic_at_open;
    if (ahead >= most_us - open_us) return System::time_point::max();
    wall_us = open_us + ahead;
  } else {
    const std::uint64_t behind = monotonic_at_open - monotonic_us;
    if (behind >= most_us + open_us) return System::time_point::min();
    wall_us = open_us - behind;
  }
  return System::time_point(
      duration_cast<System::duration>(microseconds(static_cast<std::int64_t>(wall_us))));
}

void Board::Impl::Emit(BoardEventKind kind, std::uint64_t now, std::uint64_t gap,
                       const Error& error) {
  BoardEvent e;
  e.kind = kind;
  e.serial = info.serial;
  e.monotonic_us = now;
  e.wall = Wall(now);
  e.gap_us = gap;
  e.attempts = attempts;
  e.error = error;
  std::lock_guard<std::mutex> lock(events_mutex);
  events.push_back(std::move(e));
}

void Board::Impl::Deliver() {
  std::unique_lock<std::mutex> lock(events_mutex);
  if (delivering) return;  // the thread delivering hands these on after the ones it holds
  delivering = true;
  while (!events.empty()) {
    std::vector<BoardEvent> batch;
    batch.swap(events);
    lock.unlock();
    if (options.on_event) {
      for (const BoardEvent& e : batch) options.on_event(e);
    }
    lock.lock();
  }
  delivering = false;
}

void Board::Impl::LinkLost(const Error& error) {
  dll.Close_Device_Connection(handle);  // releases the dead handle; its status tells nothing
  SetHandle(nullptr);
  lost_at = clock->NowMicroseconds();
  attempts = 0;
  delay = options.reconnect.first_delay_us;
  next_attempt_at = detail::LaterBy(lost_at, delay);
  last_error = error;
  ++disconnects;
  Emit(BoardEventKind::kDisconnected, lost_at, 0, error);
  if (!options.reconnect.enabled) GiveUp(lost_at);  // the loss is final
}

void Board::Impl::GiveUp(std::uint64_t now) {
  gave_up = true;
  closed_gaps_us += now - lost_at;
  Emit(BoardEventKind::kGaveUp, now, now - lost_at, last_error);
}

Error Board::Impl::GaveUpError() const {
  const std::string text =
      options.reconnect.enabled
          ? "gave up reconnecting to " + info.serial + " after " + std::to_string(attempts) +
                " attempts (last: " + last_error.text + ")"
          : info.serial + " was disconnected (" + last_error.text + ") and reconnecting is off";
  return detail::LinkGone(text, last_error.status, false);
}

// Reconnect delays that make no sense: none at all (a lost board reopened on every call, as
// fast as the calls come), or one that runs past the end of the board's clock.
Status Board::Impl::CheckReconnect() const {
  const ReconnectOptions& o = options.reconnect;
  if (!o.enabled) return {};
  if (o.first_delay_us == 0)
    return OwnError(ErrorKind::kInvalidArgument, "the first reconnect delay must not be 0");
  // Failed opens double the delay up to the longer of the two.
  const std::uint64_t longest = std::max(o.first_delay_us, o.max_delay_us);
  if (!detail::FitsOnClock(clock->NowMicroseconds(), longest)) {
    return OwnError(ErrorKind::kInvalidArgument, "a reconnect delay of " +
                                                     std::to_string(longest) +
                                                     " us runs past the end of the clock");
  }
  return {};
}

Status Board::Impl::Reopen() {
  if (Status opened = OpenHandle(detail::Stage::kOpen); !opened) return opened;
  auto given_up = [this](const Status& failed) {
    dll.Close_Device_Connection(handle);
    SetHandle(nullptr);
    return failed;
  };
  // Another board may sit where the lost one was: its type is learnt again, since readings go
  // by it.
  if (Status learned = LearnVersion(); !learned) return given_up(learned);
  // The board may have been powered off: apply the configuration made through it again.
  for (std::size_t ch = 0; ch < channels.size(); ++ch) {
    const auto c = static_cast<unsigned char>(ch);
    const ChannelState& s = channels[ch];
    Status r;
    if (s.config_byte)
      r = Attempted(detail::SetConfiguration(dll, handle, *s.config_byte, c).failure);
    if (r && s.config_rate)
      r = Attempted(detail::SetSamplingRate(dll, handle, *s.config_rate, c).failure);
    if (!r) return given_up(r);
  }
  return {};
}

Status Board::Impl::Ready() {
  if (handle != nullptr) return {};
  if (gave_up) return GaveUpError();
  const std::uint64_t now = clock->NowMicroseconds();
  const ReconnectOptions& o = options.reconnect;
  if (o.give_up_after_us != 0 && now - lost_at >= o.give_up_after_us) {
    GiveUp(now);
    return GaveUpError();
  }
  // Inside the backoff window the link is left alone.
  if (now < next_attempt_at) return last_error;
  ++attempts;
  Status reopened = Reopen();
  if (reopened) {
    closed_gaps_us += now - lost_at;
    Emit(BoardEventKind::kReconnected, now, now - lost_at, last_error);
    return {};
  }
  last_error =
      detail::LinkGone("reconnecting: " + reopened.error().text, reopened.error().status, true);
  if (o.max_attempts != 0 && attempts >= o.max_attempts) {
    GiveUp(now);
    return GaveUpError();
  }
  // A board that is not attached costs nothing to look for: it is looked for again at the
  // first delay's fixed period, so that it reads again soon after it comes back. Only opens
  // that fail on an attached board (in use, not answering) back off.
  if (reopened.error().status == kFtDeviceNotFound) {
    next_attempt_at = detail::LaterBy(now, o.first_delay_us);
    return last_error;
  }
  const std::uint64_t longest = std::max(o.max_delay_us, o.first_delay_us);
  delay = delay > longest / 2 ? longest : delay * 2;
  next_attempt_at = detail::LaterBy(now, delay);
  return last_error;
}

Status Board::Impl::CheckChannel(unsigned int channel) const {
  if (channel < info.channels) return {};
  return detail::NoSuchChannel(info, channel);
}

unsigned int Board::Impl::ConfigChannel(unsigned int channel) const {
  return info.type == kBoardTypeChannelRegisters ? channel : 0;
}

Result<Calibration> Board::Impl::FetchCalibration(unsigned int channel) {
  static constexpr const char* kNames[] = {"offset reading", "full-scale reading",
                                           "offset load",    "full-scale load",
                                           "unit code",      "decimal point"};
  static constexpr detail::CalibrationField kStored[] = {
      detail::CalibrationField::kOffsetLoad, detail::CalibrationField::kFullscaleLoad,
      detail::CalibrationField::kUnitCode, detail::CalibrationField::kDecimalPoint};
  const auto ch = static_cast<unsigned char>(channel);
  std::int64_t v[6] = {};
  for (std::size_t i = 0; i < 2; ++i) {
    const auto m = detail::MeasureAnyBoard(
        dll, handle, ch, i == 0 ? detail::Measurement::kOffset : detail::Measurement::kFullscale);
    if (Status s = Checked(m.failure); !s) return s.error();
    if (!ParseInteger(m.value, &v[i])) {
      return OwnError(ErrorKind::kBadCalibration, std::string("the ") + kNames[i] + " of channel " +
                                                      std::to_string(channel) + " is not a number");
    }
  }
  for (std::size_t i = 2; i < 6; ++i) {
    const detail::Step<long long> stored =
        detail::ReadCalibration(dll, handle, ch, kStored[i - 2]);
    if (Status s = Checked(stored.failure); !s) return s.error();
    v[i] = stored.value;
  }
  Calibration c;
  c.offset_reading = v[0];
  c.fullscale_reading = v[1];
  c.offset_load = static_cast<std::uint32_t>(v[2]);
  c.fullscale_load = static_cast<std::uint32_t>(v[3]);
  c.unit_code = static_cast<unsigned int>(v[4]);
  c.decimal_point = static_cast<unsigned int>(v[5]);
  return c;
}

Result<Calibration> Board::Impl::Calibrated(unsigned int channel) {
  ChannelState& s = channels[channel];
  if (s.calibration) return *s.calibration;
  Result<Calibration> c = FetchCalibration(channel);
  if (c) {
    s.calibration = c.value();
    s.calibration_failed.reset();
  } else if (c.error().kind == ErrorKind::kBadCalibration ||
             c.error().kind == ErrorKind::kNotSupported) {
    s.calibration_failed = c.error();
  }
  return c;
}

Result<double> Board::Impl::Load(unsigned int channel, std::int64_t counts) const {
  const ChannelState& s = channels[channel];
  if (s.settings.calibration) return s.settings.calibration->ToLoad(static_cast<double>(counts));
  if (s.calibration) return s.calibration->ToLoad(counts);
  if (s.calibration_failed) return *s.calibration_failed;
  return OwnError(ErrorKind::kBadCalibration,
                  "channel " + std::to_string(channel) + ": no calibration read yet");
}

Result<Reading> Board::Impl::Measure(unsigned int channel) {
  ChannelState& s = channels[channel];
  // A stored calibration that cannot be read is not asked for again at every reading; one
  // that failed for a passing reason (a time-out) is.
  if (options.calibrated_loads && !s.calibration && !s.calibration_failed) {
    Result<Calibration> c = Calibrated(channel);
    if (!c && handle == nullptr) return c.error();  // the link went away meanwhile
  }
  // The board's type is known from the open (and learnt again at every reopen): one exchange
  // per reading, without the version exchange the public methods run first.
  const detail::Step<std::string> text = detail::Measure(
      dll, handle, static_cast<unsigned char>(channel), detail::Measurement::kNormal, info.type);
  if (Status s = Checked(text.failure); !s) return s.error();
  Reading r = Parse(channel, text.value);
  r.monotonic_us = clock->NowMicroseconds();
  r.wall = Wall(r.monotonic_us);
  if (r.state == ReadingState::kOk && (s.calibration || s.settings.calibration)) {
    Result<double> load = Load(channel, r.counts);
    if (load) {
      r.load = load.value();
      r.calibration = s.settings.calibration ? LoadCalibration::kUser : LoadCalibration::kBoard;
      if (s.settings.calibration) r.calibration_date = s.settings.calibration->date;
    }
  }
  if (s.settings.unit)
    r.unit = *s.settings.unit;
  else if (s.calibration)
    r.unit = "unit code " + std::to_string(s.calibration->unit_code);
  return r;
}

Result<std::array<std::uint8_t, 3>> Board::Impl::Register(
    const detail::Step<detail::RegisterBytes>& r) {
  if (Status s = Checked(r.failure); !s) return s.error();
  return r.value;
}

Board::Impl::Tally Board::Impl::Count(std::uint64_t now) const {
  Tally t;
  t.disconnects = disconnects;
  t.disconnected = handle == nullptr && !gave_up;
  t.gone_us = closed_gaps_us + (t.disconnected ? now - lost_at : 0);
  t.gave_up = gave_up;
  return t;
}

// ---- Board ----------------------------------------------------------------------------------

Board::Board() = default;
Board::Board(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Board::Board(Board&&) noexcept = default;
Board& Board::operator=(Board&&) noexcept = default;
Board::~Board() = default;

Result<Board> Board::Open(const std::string& serial, OpenOptions options) {
  if (serial.empty() || serial.size() >= kSerialNumberSize) {
    return OwnError(ErrorKind::kInvalidArgument, "a serial number has 1 to " +
                                                     std::to_string(kSerialNumberSize - 1) +
                                                     " characters: '" + serial + "'");
  }
  // The settings are read first: a file that cannot be read fails the open before the board
  // is touched.
  std::optional<Settings> settings;
  if (!options.settings.empty()) {
    Result<Settings> loaded = Settings::Load(options.settings);
    if (!loaded) return loaded.error();
    settings = std::move(loaded.value());
  }
  auto impl = std::make_unique<Impl>(serial, std::move(options));
  if (Status usable = impl->CheckReconnect(); !usable) return usable.error();
  if (Status opened = impl->Open(); !opened) return opened.error();
  for (unsigned int ch = 0; settings && ch < impl->channels.size(); ++ch) {
    Impl::ChannelState& c = impl->channels[ch];
    c.settings = settings->Find(serial, ch);
    c.tare = c.settings.tare;
  }
  return Board(std::move(impl));
}

Result<std::vector<std::string>> Board::List(LinkProvider* link) {
  KAVRO_USB_DLL dll;
  if (link != nullptr) dll.UseLink(link);
  auto failed = [&dll](const detail::Failure& f) {
    return detail::Classify(f, detail::Stage::kListing, dll.CurrentLink(), false);
  };
  const detail::Outcome<unsigned int> count = detail::DeviceCount(dll);
  if (count.failure) return failed(count.failure);
  std::vector<std::string> serials;
  for (unsigned int i = 0; i < count.value; ++i) {
    const detail::Outcome<std::string> serial =
        detail::DeviceSerialNumber(dll, reinterpret_cast<void*>(static_cast<std::uintptr_t>(i)));
    if (serial.failure) return failed(serial.failure);
    serials.push_back(serial.value);
  }
  return serials;
}

Result<Board> Board::OpenOnly(OpenOptions options) {
  Result<std::vector<std::string>> serials = List(options.link);
  if (!serials) return serials.error();
  if (serials->empty()) return OwnError(ErrorKind::kNotFound, "no board attached");
  if (serials->size() > 1) {
    std::string names;
    for (const std::string& s : serials.value()) names += (names.empty() ? "" : ", ") + s;
    return OwnError(ErrorKind::kInvalidArgument, std::to_string(serials->size()) +
                                                     " boards attached (" + names +
                                                     "): open one by its serial number");
  }
  return Open(serials->front(), std::move(options));
}

BoardInfo Board::info() const {
  if (!impl_) return {};
  std::lock_guard<std::mutex> lock(impl_->info_mutex);
  return impl_->info;
}

Status Board::CheckChannel(unsigned int channel) const {
  return impl_ ? impl_->CheckChannel(channel) : Status(detail::NoBoard());
}

std::string Board::link_description() const {
  if (!impl_) return "";
  return impl_->link_name.empty() ? "a link provider of the application's" : impl_->link_name;
}

Result<Reading> Board::Read(unsigned int channel) {
  return OnBoard<Result<Reading>>(impl_.get(), channel, [&](Impl& b) {
    Result<Reading> r = b.Measure(channel);
    const std::optional<double>& tare = b.channels[channel].tare;
    if (r && r->load && tare) *r->load -= *tare;
    return r;
  });
}

Result<Calibration> Board::GetCalibration(unsigned int channel) {
  return OnBoard<Result<Calibration>>(impl_.get(), channel,
                                      [&](Impl& b) { return b.Calibrated(channel); });
}

Status Board::RefreshCalibration(unsigned int channel) {
  return OnBoard<Status>(impl_.get(), channel, [&](Impl& b) -> Status {
    b.channels[channel].calibration.reset();
    Result<Calibration> c = b.Calibrated(channel);
    return c ? Status() : Status(c.error());
  });
}

Result<ConverterConfig> Board::GetConverterConfig(unsigned int channel) {
  return OnBoard<Result<ConverterConfig>>(
      impl_.get(), channel, [&](Impl& b) -> Result<ConverterConfig> {
        // The read goes by the board type the board reports now: ask for it first.
        const detail::Step<detail::BoardVersion> v = detail::RequestVersion(b.dll, b.handle);
        if (Status s = b.Checked(v.failure); !s) return s.error();
        const detail::Step<detail::ConverterByte> read =
            detail::ReadConfiguration(b.dll, b.handle, ConfigRegisterAddress(v.value.type),
                                      static_cast<unsigned char>(channel), v.value.type);
        if (Status s = b.Checked(read.failure); !s) return s.error();
        ConverterConfig c;
        c.rate = read.value.rate;
        c.upper = read.value.upper;
        return c;
      });
}

Status Board::SetSamplingRate(std::uint8_t rate, unsigned int channel) {
  return OnBoard<Status>(impl_.get(), channel, [&](Impl& b) -> Status {
    const auto c = static_cast<unsigned char>(channel);
    if (Status s = b.Checked(detail::SetSamplingRate(b.dll, b.handle, rate, c).failure); !s)
      return s;
    b.channels[b.ConfigChannel(channel)].config_rate = rate;
    return {};
  });
}

Status Board::SetConverterByte(std::uint8_t byte, unsigned int channel) {
  return OnBoard<Status>(impl_.get(), channel, [&](Impl& b) -> Status {
    const auto c = static_cast<unsigned char>(channel);
    if (Status s = b.Checked(detail::SetConfiguration(b.dll, b.handle, byte, c).failure); !s)
      return s;
    auto& s = b.channels[b.ConfigChannel(channel)];
    s.config_byte = byte;
    s.config_rate.reset();  // the whole byte replaces an earlier rate
    return {};
  });
}

Result<std::array<std::uint8_t, 3>> Board::ReadEepromRegister(std::uint8_t address) {
  return OnBoard<Result<std::array<std::uint8_t, 3>>>(impl_.get(), std::nullopt, [&](Impl& b) {
    return b.Register(detail::ReadEeprom(b.dll, b.handle, address));
  });
}

Result<std::array<std::uint8_t, 3>> Board::ReadChannelRegister(unsigned int channel,
                                                               std::uint8_t address) {
  return OnBoard<Result<std::array<std::uint8_t, 3>>>(impl_.get(), channel, [&](Impl& b) {
    return b.Register(
        detail::ReadChannelRegister(b.dll, b.handle, static_cast<unsigned char>(channel), address));
  });
}

Status Board::Reset() {
  return OnBoard<Status>(impl_.get(), std::nullopt, [&](Impl& b) -> Status {
    return b.Checked(detail::ResetBoard(b.dll, b.handle).failure);
  });
}

Status Board::Ping() {
  return OnBoard<Status>(impl_.get(), std::nullopt, [&](Impl& b) -> Status {
    return b.Checked(detail::Activity(b.dll, b.handle).failure);
  });
}

Result<double> Board::Tare(unsigned int channel, unsigned int samples) {
  if (impl_ && samples == 0)
    return OwnError(ErrorKind::kInvalidArgument, "a tare needs 1 reading or more");
  return OnBoard<Result<double>>(impl_.get(), channel, [&](Impl& b) -> Result<double> {
    if (!b.channels[channel].settings.calibration) {
      Result<Calibration> calibration = b.Calibrated(channel);
      if (!calibration) return calibration.error();
    }
    double sum = 0;
    for (unsigned int i = 0; i < samples; ++i) {
      Result<Reading> r = b.Measure(channel);
      if (!r) return r.error();
      if (r->state != ReadingState::kOk) {
        return OwnError(ErrorKind::kProtocol,
                        "a tare needs numeric readings; reading " + std::to_string(i + 1) + " of " +
                            std::to_string(samples) + " was '" + r->raw + "'");
      }
      Result<double> load = b.Load(channel, r->counts);
      if (!load) return load.error();
      sum += load.value();
    }
    b.channels[channel].tare = sum / samples;
    return sum / samples;
  });
}

void Board::ClearTare(unsigned int channel) {
  if (!impl_) return;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (channel < impl_->channels.size()) impl_->channels[channel].tare.reset();
}

std::optional<double> Board::tare(unsigned int channel) const {
  if (!impl_) return std::nullopt;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return channel < impl_->channels.size() ? impl_->channels[channel].tare : std::nullopt;
}

ChannelSettings Board::settings(unsigned int channel) const {
  if (!impl_) return {};
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return channel < impl_->channels.size() ? impl_->channels[channel].settings : ChannelSettings{};
}

const char* LoadCalibrationName(LoadCalibration calibration) {
  switch (calibration) {
    case LoadCalibration::kNone: return "none";
    case LoadCalibration::kBoard: return "board";
    case LoadCalibration::kUser: return "user";
  }
  return "unknown";
}

bool Board::connected() const {
  return impl_ && impl_->linked;
}

}  // namespace kavro
