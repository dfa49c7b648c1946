// kavro::Board on top of one KAVRO_USB_DLL instance: typed results, calibration, tare and
// reconnection after the link went away.
#include <algorithm>
#include <charconv>
#include <cmath>

#include "../clock_sum.h"
#include "board_impl.h"

namespace kavro {

using detail::OwnError;

namespace {

constexpr unsigned int kMaxProbedChannels = 16;

bool Finished(const std::string& status) {
  return status == "Finished";
}

bool ParseInteger(const std::string& text, std::int64_t* value) {
  const char* end = text.data() + text.size();
  const auto r = std::from_chars(text.data(), end, *value);
  return !text.empty() && r.ec == std::errc() && r.ptr == end;
}

unsigned int FieldValue(const std::string& field) {
  return field.size() == 1 ? static_cast<unsigned char>(field[0]) : 0;
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

template <typename Command>
Result<std::string> Board::Impl::Attempt(Command command) {
  dll.ErrorStatus = kFtOk;
  std::string text = command(handle);
  // "Error" with no reason is a converter fault, which the reading reports as its state.
  if (text != "Error" || dll.ErrorText[0] == '\0') return text;
  return detail::Classify({text, dll.ErrorText, dll.ErrorStatus}, detail::Stage::kOpen,
                          dll.CurrentLink(), Reconnects());
}

template <typename Command>
Result<std::string> Board::Impl::Run(Command command) {
  Result<std::string> r = Attempt(command);
  if (!r && r.error().kind == ErrorKind::kDisconnected) LinkLost(r.error());
  return r;
}

Status Board::Impl::OpenHandle(detail::Stage stage) {
  std::vector<char> serial(info.serial.begin(), info.serial.end());
  serial.push_back('\0');
  dll.ErrorStatus = kFtOk;
  dll.Open_Device_Connection(serial.data());
  if (dll.DeviceHandle == nullptr) {
    return detail::Classify({"Error", dll.ErrorText, dll.ErrorStatus}, stage, dll.CurrentLink(),
                            stage == detail::Stage::kOpen);
  }
  SetHandle(dll.DeviceHandle);
  return {};
}

std::string Board::Impl::Version(void* h) {
  dll.Get_Version_of_Board(h);
  return Finished(dll.WriteStatus) && Finished(dll.ReadStatus) ? "0" : "Error";
}

Status Board::Impl::Open() {
  if (Status opened = OpenHandle(detail::Stage::kOpening); !opened) return opened;
  auto version = Attempt([this](void* h) { return Version(h); });
  if (!version) return version.error();
  info.type = dll.BoardType;
  info.version = {static_cast<std::uint8_t>(FieldValue(dll.VersionField1)),
                  static_cast<std::uint8_t>(FieldValue(dll.VersionField2)),
                  static_cast<std::uint8_t>(FieldValue(dll.VersionField3)),
                  static_cast<std::uint8_t>(FieldValue(dll.VersionField4)),
                  static_cast<std::uint8_t>(FieldValue(dll.VersionField5))};
  // Type 9 has channels of its own: count those whose configuration register answers.
  info.channels = 1;
  while (info.type == kBoardTypeChannelRegisters && info.channels < kMaxProbedChannels) {
    const auto channel = static_cast<unsigned char>(info.channels);
    auto probe = Attempt([&](void* h) {
      return dll.Read_Channel_Register(h, channel, ConfigRegisterAddress(info.type));
    });
    if (!probe && probe.error().kind == ErrorKind::kDisconnected) return probe.error();
    if (!probe) break;
    ++info.channels;
  }
  channels.assign(info.channels, ChannelState{});
  monotonic_at_open = clock->NowMicroseconds();
  wall_at_open = std::chrono::system_clock::now();
  return {};
}

std::chrono::system_clock::time_point Board::Impl::Wall(std::uint64_t monotonic_us) const {
  const auto since_open = static_cast<std::int64_t>(monotonic_us - monotonic_at_open);
  return wall_at_open + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                            std::chrono::microseconds(since_open));
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
  // The board may have been powered off: apply the configuration made through it again.
  for (std::size_t ch = 0; ch < channels.size(); ++ch) {
    const auto c = static_cast<unsigned char>(ch);
    const ChannelState& s = channels[ch];
    Result<std::string> r = std::string();
    if (s.config_byte)
      r = Attempt([&](void* h) { return dll.Set_ADC_Configuration2(h, *s.config_byte, c); });
    if (r && s.config_rate)
      r = Attempt([&](void* h) { return dll.Set_ADC_Configuration(h, *s.config_rate, c); });
    if (!r) {
      dll.Close_Device_Connection(handle);
      SetHandle(nullptr);
      return r.error();
    }
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
  using Query = std::string (KAVRO_USB_DLL::*)(void*, unsigned char);
  static constexpr struct {
    Query query;
    const char* name;
  } kFields[] = {{&KAVRO_USB_DLL::Get_Offset_Value, "offset reading"},
                 {&KAVRO_USB_DLL::Get_Fullscale_Value, "full-scale reading"},
                 {&KAVRO_USB_DLL::Get_Offset_Load, "offset load"},
                 {&KAVRO_USB_DLL::Get_Fullscale_Load, "full-scale load"},
                 {&KAVRO_USB_DLL::Get_Unit_Code, "unit code"},
                 {&KAVRO_USB_DLL::Get_Decimal_Point, "decimal point"}};
  std::int64_t v[6] = {};
  for (std::size_t i = 0; i < 6; ++i) {
    auto text = Run([&](void* h) { return (dll.*kFields[i].query)(h, channel); });
    if (!text) return text.error();
    if (!ParseInteger(text.value(), &v[i])) {
      return OwnError(ErrorKind::kBadCalibration, std::string("the ") + kFields[i].name +
                                                      " of channel " + std::to_string(channel) +
                                                      " is not a number");
    }
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

Result<Reading> Board::Impl::Measure(unsigned int channel) {
  ChannelState& s = channels[channel];
  // A stored calibration that cannot be read is not asked for again at every reading; one
  // that failed for a passing reason (a time-out) is.
  if (options.calibrated_loads && !s.calibration && !s.calibration_failed) {
    Result<Calibration> c = Calibrated(channel);
    if (!c && handle == nullptr) return c.error();  // the link went away meanwhile
  }
  auto text = Run([&](void* h) { return dll.Normal_Data_Request(h, channel); });
  if (!text) return text.error();
  Reading r = Parse(channel, text.value());
  r.monotonic_us = clock->NowMicroseconds();
  r.wall = Wall(r.monotonic_us);
  if (r.state == ReadingState::kOk && s.calibration) {
    Result<double> load = s.calibration->ToLoad(r.counts);
    if (load) r.load = load.value();
  }
  return r;
}

template <typename Command>
Result<std::array<std::uint8_t, 3>> Board::Impl::Register(Command read) {
  auto r = Run(read);
  if (!r) return r.error();
  return std::array<std::uint8_t, 3>{dll.PacketData[0], dll.PacketData[1], dll.PacketData[2]};
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
  auto impl = std::make_unique<Impl>(serial, std::move(options));
  if (Status usable = impl->CheckReconnect(); !usable) return usable.error();
  if (Status opened = impl->Open(); !opened) return opened.error();
  return Board(std::move(impl));
}

Result<std::vector<std::string>> Board::List(LinkProvider* link) {
  KAVRO_USB_DLL dll;
  if (link != nullptr) dll.UseLink(link);
  auto failed = [&dll](const std::string& text) {
    return detail::Classify({text, dll.ErrorText, dll.ErrorStatus}, detail::Stage::kListing,
                            dll.CurrentLink(), false);
  };
  const std::string count = dll.Get_Device_Count();
  std::int64_t n = 0;
  if (!ParseInteger(count, &n)) return failed(count);
  std::vector<std::string> serials;
  for (std::int64_t i = 0; i < n; ++i) {
    const std::string serial =
        dll.Get_Device_Serial_Number(reinterpret_cast<void*>(static_cast<std::uintptr_t>(i)));
    if (serial == "Error" && dll.ErrorText[0] != '\0') return failed(serial);
    serials.push_back(serial);
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

const BoardInfo& Board::info() const {
  static const BoardInfo kNone;
  return impl_ ? impl_->info : kNone;
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
        // The read goes by the board type of the last version request: ask for it first.
        auto text = b.Run([&](void* h) {
          if (b.Version(h) != "0") return std::string("Error");
          return b.dll.Get_ADC_Configuration(ConfigRegisterAddress(b.dll.BoardType), channel);
        });
        if (!text) return text.error();
        ConverterConfig c;
        c.rate = b.dll.AdcSamplingRate;
        c.upper = b.dll.AdcConfigUpper;
        return c;
      });
}

Status Board::SetSamplingRate(std::uint8_t rate, unsigned int channel) {
  return OnBoard<Status>(impl_.get(), channel, [&](Impl& b) -> Status {
    auto r = b.Run([&](void* h) { return b.dll.Set_ADC_Configuration(h, rate, channel); });
    if (!r) return r.error();
    b.channels[b.ConfigChannel(channel)].config_rate = rate;
    return {};
  });
}

Status Board::SetConverterByte(std::uint8_t byte, unsigned int channel) {
  return OnBoard<Status>(impl_.get(), channel, [&](Impl& b) -> Status {
    auto r = b.Run([&](void* h) { return b.dll.Set_ADC_Configuration2(h, byte, channel); });
    if (!r) return r.error();
    auto& s = b.channels[b.ConfigChannel(channel)];
    s.config_byte = byte;
    s.config_rate.reset();  // the whole byte replaces an earlier rate
    return {};
  });
}

Result<std::array<std::uint8_t, 3>> Board::ReadEepromRegister(std::uint8_t address) {
  return OnBoard<Result<std::array<std::uint8_t, 3>>>(impl_.get(), std::nullopt, [&](Impl& b) {
    return b.Register([&](void* h) { return b.dll.Read_EEPROM_Register(h, address); });
  });
}

Result<std::array<std::uint8_t, 3>> Board::ReadChannelRegister(unsigned int channel,
                                                               std::uint8_t address) {
  return OnBoard<Result<std::array<std::uint8_t, 3>>>(impl_.get(), channel, [&](Impl& b) {
    return b.Register([&](void* h) { return b.dll.Read_Channel_Register(h, channel, address); });
  });
}

Status Board::Reset() {
  return OnBoard<Status>(impl_.get(), std::nullopt, [&](Impl& b) -> Status {
    auto r = b.Run([&](void* h) { return b.dll.Reset_Board(h); });
    return r ? Status() : Status(r.error());
  });
}

Status Board::Ping() {
  return OnBoard<Status>(impl_.get(), std::nullopt, [&](Impl& b) -> Status {
    auto r = b.Run([&](void* h) { return b.dll.Slave_Activity_Inquiry(h); });
    return r ? Status() : Status(r.error());
  });
}

Result<double> Board::Tare(unsigned int channel, unsigned int samples) {
  if (impl_ && samples == 0)
    return OwnError(ErrorKind::kInvalidArgument, "a tare needs 1 reading or more");
  return OnBoard<Result<double>>(impl_.get(), channel, [&](Impl& b) -> Result<double> {
    Result<Calibration> calibration = b.Calibrated(channel);
    if (!calibration) return calibration.error();
    double sum = 0;
    for (unsigned int i = 0; i < samples; ++i) {
      Result<Reading> r = b.Measure(channel);
      if (!r) return r.error();
      if (r->state != ReadingState::kOk) {
        return OwnError(ErrorKind::kProtocol,
                        "a tare needs numeric readings; reading " + std::to_string(i + 1) + " of " +
                            std::to_string(samples) + " was '" + r->raw + "'");
      }
      Result<double> load = calibration->ToLoad(r->counts);
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

bool Board::connected() const {
  return impl_ && impl_->linked;
}

}  // namespace kavro
