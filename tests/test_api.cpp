// The typed API (kavro::Board, kavro::Record) on emulated boards, on the bus's virtual clock.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <future>
#include <numeric>
#include <thread>

#include "fixture.h"
#include "kavro/kavro.h"

namespace {

using kavro::ErrorKind;
using namespace std::string_literals;

ReplyFault ErrorReply(char code) {
  ReplyFault f = Fault(ReplyFault::kErrorReply);
  f.error_code = static_cast<std::uint8_t>(code);
  return f;
}

template <typename R>
kavro::Error ErrorOf(const R& result) {
  EXPECT_FALSE(result.ok());
  return result.error();
}

class Api : public ::testing::Test {
 public:
  kavro::OpenOptions Options() {
    kavro::OpenOptions o;
    o.link = &bus;
    o.on_event = [this](const kavro::BoardEvent& e) { events.push_back(e); };
    return o;
  }
  kavro::Board Open(const char* serial = "KV0001") { return Open(serial, Options()); }
  kavro::Board Open(const char* serial, kavro::OpenOptions options) {
    auto board = kavro::Board::Open(serial, std::move(options));
    EXPECT_TRUE(board.ok()) << board.error().Describe();
    return std::move(board.value());
  }

  // Due times, readings, errors, missed due times, gaps and their length.
  static std::vector<std::uint64_t> Counts(const kavro::RecordSummary& s) {
    return {s.due_times, s.readings, s.errors, s.missed, s.gaps, s.gap_us};
  }
  // Kind (by its name), time since start, gap and reopen attempts of an event.
  static auto Facts(const kavro::BoardEvent& e, std::uint64_t start) {
    return std::make_tuple(std::string(kavro::BoardEventKindName(e.kind)), e.monotonic_us - start,
                           e.gap_us, e.attempts);
  }
  static kavro::RecordOptions Every10ms(std::uint64_t count) {
    kavro::RecordOptions o;
    o.interval_us = 10000;
    o.count = count;
    return o;
  }

  VirtualBus bus;
  std::vector<kavro::BoardEvent> events;
};

// ---- results and error kinds ----------------------------------------------------------------

void Queue(VirtualBus& bus, ReplyFault fault) {
  bus.WithDevice("KV0001", [&](VirtualBus::Device& d) { d.board.faults.push_back(fault); });
}

using Setup = std::function<void(VirtualBus&)>;
Setup FailNext(Call call, unsigned int status) {
  return [=](VirtualBus& bus) { bus.FailCall(call, status); };
}
Setup Answer(ReplyFault fault) {
  return [=](VirtualBus& bus) { Queue(bus, fault); };
}
kavro::Error Ping(Api&, kavro::Board& b) {
  return ErrorOf(b.Ping());
}
// The emulator posing as the libftdi1 link, which detaches the serial driver by itself.
struct AsLibftdi final : kavro::ForwardingLink {
  using ForwardingLink::ForwardingLink;
  std::string Name() const override { return "libftdi1"; }
};

struct ErrorRow {
  const char* what;
  Setup setup;
  std::function<kavro::Error(Api&, kavro::Board&)> run;
  ErrorKind kind;
  unsigned int status;
  std::string text;
  std::string hint;  // a part of it; "" when there is none
};

void PrintTo(const ErrorRow& row, std::ostream* os) {  // not its bytes, some of them padding
  *os << row.what;
}

class ApiErrors : public Api, public ::testing::WithParamInterface<ErrorRow> {};

TEST_P(ApiErrors, EachFailureComesBackAsItsKindWithTheStatusTheTextAndAHint) {
  bus.AddDevice("KV0001");
  bus.AddDevice("KV0005", VirtualBoard(5, 1));
  kavro::Board board = Open();
  const ErrorRow& row = GetParam();
  if (row.setup) row.setup(bus);
  const kavro::Error e = row.run(*this, board);
  EXPECT_EQ(e.kind, row.kind) << e.Describe();
  EXPECT_EQ(e.status, row.status);
  EXPECT_EQ(e.text, row.text);
  if (row.hint.empty()) {
    EXPECT_EQ(e.hint, "");
  } else {
    EXPECT_NE(e.hint.find(row.hint), std::string::npos) << e.hint;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ApiErrors,
    ::testing::Values(
        ErrorRow{"device gone after the open", FailNext(Call::kWrite, 2), Ping,
                 ErrorKind::kDisconnected, 2, "Device Not Found", "reconnects automatically"},
        ErrorRow{"another D2XX status", FailNext(Call::kGetStatus, 17), Ping, ErrorKind::kProtocol,
                 17, "Not Supported", ""},
        ErrorRow{"board error reply", Answer(ErrorReply('L')), Ping, ErrorKind::kBoardRefused, 0,
                 "TEDS Error", "transducer"},
        ErrorRow{"another board error reply", Answer(ErrorReply('N')), Ping,
                 ErrorKind::kBoardRefused, 0, "Packet Frame Error", ""},
        ErrorRow{"no reply", Answer(Fault(ReplyFault::kDrop)), Ping, ErrorKind::kTimedOut, 0,
                 "Timeout Error", "Reset()"},
        ErrorRow{"reply to another command", Answer(Fault(ReplyFault::kCorruptCode)), Ping,
                 ErrorKind::kProtocol, 0, "Command Number Error", ""},
        ErrorRow{"rate code above 15", nullptr,
                 [](Api&, kavro::Board& b) { return ErrorOf(b.SetSamplingRate(16)); },
                 ErrorKind::kInvalidArgument, 0, "Invalid Sampling Rate", ""},
        ErrorRow{"board type without converter settings", nullptr,
                 [](Api& t, kavro::Board&) { return ErrorOf(t.Open("KV0005").SetSamplingRate(1)); },
                 ErrorKind::kNotSupported, 0, "Invalid Type of Board", ""},
        ErrorRow{"unknown serial number", nullptr,
                 [](Api& t, kavro::Board&) {
                   return ErrorOf(kavro::Board::Open("KV9999", t.Options()));
                 },
                 ErrorKind::kNotFound, 2, "Device Not Found", "Board::List()"},
        ErrorRow{"bridge held by another program", nullptr,
                 [](Api& t, kavro::Board&) {
                   return ErrorOf(kavro::Board::Open("KV0001", t.Options()));
                 },
                 ErrorKind::kCannotOpen, 3, "Device Not Opened", "ftdi_sio"},
        ErrorRow{"bridge held, on the libftdi1 link", nullptr,
                 [](Api& t, kavro::Board&) {
                   AsLibftdi link(t.bus);
                   kavro::OpenOptions options = t.Options();
                   options.link = &link;
                   return ErrorOf(kavro::Board::Open("KV0001", options));
                 },
                 ErrorKind::kCannotOpen, 3, "Device Not Opened", "you may lack permission"},
        ErrorRow{"several boards, none named", nullptr,
                 [](Api& t, kavro::Board&) { return ErrorOf(kavro::Board::OpenOnly(t.Options())); },
                 ErrorKind::kInvalidArgument, 0,
                 "2 boards attached (KV0001, KV0005): open one by its serial number", ""}));

TEST_F(Api, ABoardNamesItsTypeVersionChannelsLinkRegistersAndConfiguration) {
  bus.AddDevice("KV0009", VirtualBoard::Type9());
  kavro::Board board = Open("KV0009");
  ASSERT_TRUE(board.SetConverterByte(0x37, 1).ok());
  EXPECT_EQ(board.ReadChannelRegister(1, 0x64).value(), (std::array<std::uint8_t, 3>{0, 0, 0x37}));
  EXPECT_EQ(board.info().version, (std::array<std::uint8_t, 5>{9, 1, 2, 3, 4}));
  EXPECT_EQ(board.link_description(), "board emulator");
  kavro::Board moved = std::move(board);
  EXPECT_EQ(ErrorOf(board.Ping()).kind, ErrorKind::kInvalidArgument);  // NOLINT: moved from
  EXPECT_TRUE(moved.Ping().ok());
  EXPECT_EQ(ErrorOf(moved.Read(9)).Describe(),
            "invalid argument: channel 9: KV0009 has channels 0-3");
  EXPECT_EQ(kavro::Board::List(&bus).value(), std::vector<std::string>{"KV0009"});
  EXPECT_EQ(kavro::Board::OpenOnly(Options()).error().kind, ErrorKind::kCannotOpen);
}

// ---- calibration and tare -------------------------------------------------------------------

struct CalibrationRow {
  VirtualBoard board;
  unsigned int channel;
  kavro::Calibration stored;  // what the board keeps
  double counts;              // the channel's reading
  std::optional<double> load;
};

TEST_F(Api, ReadingsComeWithTheirLoadByTheStoredTwoPointCalibration) {
  const CalibrationRow rows[] = {
      {VirtualBoard::Common(), 0, {1200, 2001200, 0, 5000, 2, 1}, 801200, 200.0},
      {VirtualBoard::Type0(), 0, {-500, 999500, 0, 1000, 4, 0}, 499500, 500.0},  // no decimal point
      {VirtualBoard::Type9(), 2, {8390000, 10390000, 1000, 11000, 3, 3}, 9390000, 6.0},
      {VirtualBoard::Common(), 0, {5000, 5000, 0, 5000, 2, 1}, 6000, std::nullopt},  // degenerate
  };
  int serial = 0;
  for (CalibrationRow row : rows) {
    const kavro::Calibration& c = row.stored;
    kavro::emu::Channel& channel = row.board.channels[row.channel];
    std::tie(channel.offset_reading, channel.fullscale_reading, channel.signal.level) =
        std::make_tuple(c.offset_reading, c.fullscale_reading, row.counts);
    row.board.SetCalibration(row.channel, c.offset_load, c.fullscale_load, c.unit_code,
                             c.decimal_point);
    const std::string name = "KV000" + std::to_string(++serial);
    bus.AddDevice(name, row.board);
    kavro::Board board = Open(name.c_str());
    auto read = board.GetCalibration(row.channel);
    ASSERT_TRUE(read.ok()) << read.error().Describe();
    EXPECT_EQ(std::tie(read->offset_reading, read->fullscale_reading, read->offset_load,
                       read->fullscale_load, read->unit_code, read->decimal_point),
              std::tie(c.offset_reading, c.fullscale_reading, c.offset_load, c.fullscale_load,
                       c.unit_code, c.decimal_point))
        << name;
    auto reading = board.Read(row.channel);
    ASSERT_TRUE(reading.ok()) << reading.error().Describe();
    EXPECT_EQ(reading->counts, static_cast<std::int64_t>(row.counts));
    EXPECT_EQ(reading->load, row.load) << name;
    if (!row.load) {
      EXPECT_EQ(ErrorOf(read->ToLoad(6000)).kind, ErrorKind::kBadCalibration);
      EXPECT_EQ(ErrorOf(board.Tare()).kind, ErrorKind::kBadCalibration);
      bus.WithDevice(name,
                     [](VirtualBus::Device& d) { d.board.channels[0].fullscale_reading = 9000; });
      ASSERT_TRUE(board.RefreshCalibration().ok());  // recalibrated: read again
      EXPECT_EQ(board.Read()->load, 125.0);          // 1000 of the 4000 counts to 500.0
    }
  }
  const kavro::Calibration negative{-1000, 999000, 100, 10100, 0, 2};
  EXPECT_EQ(negative.ToLoad(499000).value(), 51.0);
}

// The converter's condition words are states of a reading, with no load; a board type whose
// calibration cannot be read (5) is not asked for it again at every reading.
TEST_F(Api, ConverterConditionsAreReadingStatesWithoutALoad) {
  VirtualBus::Device& dev = bus.AddDevice("KV0001");
  VirtualBus::Device& type5 = bus.AddDevice("KV0005", VirtualBoard(5, 1));
  kavro::Board board = Open();
  ASSERT_TRUE(board.GetCalibration().ok());
  using State = kavro::ReadingState;
  const std::tuple<std::array<std::uint8_t, 4>, State, std::string> rows[] = {
      {{3, 0, 0, 0}, State::kPositiveOverflow, "Positive Overflow"},
      {{0, 0xFF, 0xFF, 0xFF}, State::kNegativeOverflow, "Negative Overflow"},
      {{0, 0, 0, 0}, State::kConverterFault, "Error"},
      {{0xFF, 0xFF, 0xFF, 0xFF}, State::kUnassigned, "Unassigned"},
      {{'A', 'B', 'C', 'D'}, State::kUnrecognised, "Data A, B, C, D"}};
  for (const auto& [data, state, raw] : rows) {
    dev.board.forced_readings.push_back(data);
    auto r = board.Read();
    ASSERT_TRUE(r.ok()) << r.error().Describe();
    EXPECT_EQ(std::tie(r->state, r->raw, r->counts, r->load),
              std::make_tuple(state, raw, std::int64_t{0}, std::optional<double>()));
  }
  kavro::Board unsupported = Open("KV0005");
  EXPECT_EQ(unsupported.Read()->load, std::nullopt);
  const std::size_t frames = type5.board.transcript.size();
  EXPECT_TRUE(unsupported.Read().ok());
  // One request per reading, the measurement's: the board's type is known from the open.
  ASSERT_EQ(type5.board.transcript.size(), frames + 1);
  const Bytes& request = type5.board.transcript.back();
  EXPECT_EQ(request, (Bytes{request[0], 4, 0x42, 0xAA}));
}

// Common board: counts 1000 + 400000 per 100.0 (offset 1000, full scale 2001000 = 500.0).
TEST_F(Api, ATareZeroesLaterLoadsWithTheMeanOfItsReadingsUntilCleared) {
  VirtualBus::Device& dev = bus.AddDevice("KV0001");
  kavro::Board board = Open();
  ASSERT_TRUE(board.GetCalibration().ok());  // before the forced readings, which it would take
  for (double counts : {401000, 441000, 361000, 401000, 481000, 481000})
    dev.board.forced_readings.push_back(dev.board.Encode(counts));
  EXPECT_EQ(board.Tare(0, 4).value(), 100.0);
  EXPECT_EQ(board.Read()->load, 20.0);
  board.ClearTare();
  EXPECT_EQ(board.Read()->load, 120.0);
  EXPECT_EQ(ErrorOf(board.Tare(0, 0)).kind, ErrorKind::kInvalidArgument);
  dev.board.forced_readings.push_back({3, 0, 0, 0});  // positive overflow
  EXPECT_EQ(ErrorOf(board.Tare(0, 1)).kind, ErrorKind::kProtocol);
  EXPECT_EQ(board.tare(), std::nullopt);
}

// A settings file: the user's calibration gives the loads (also where the board's cannot be
// read), its default tare comes off from the open and readings name both calibration and unit;
// a channel without an entry keeps the board's. Storing keeps the other entries; points that
// make no calibration and a file that is not JSON are refused.
TEST_F(Api, SettingsGiveLoadsByTheUserCalibrationWithItsTareAndUnit) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("kavro-settings-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  const std::string path = (dir / "kavro" / "settings.json").string();
  VirtualBoard type5(5, 1);
  type5.channels[0].signal.level = 201000;
  bus.AddDevice("KV0005", type5);
  bus.AddDevice("KV0001");
  const auto user =
      kavro::UserCalibration::FromPoints(1000, 401000, 100, "2026-12-07T21:50:24Z").value();
  kavro::ChannelSettings entry{"kg", user, 20.0, std::nullopt};
  ASSERT_TRUE(kavro::Settings::Store(path, "KV0005", 0, entry).ok());
  ASSERT_TRUE(kavro::Settings::Store(path, "KV0001", 1, {"N", {}, {}, {}}).ok());
  kavro::OpenOptions options = Options();
  options.settings = path;
  kavro::Board board = Open("KV0005", options);
  EXPECT_EQ(board.tare(), 20.0);
  const kavro::Reading r = board.Read().value();
  EXPECT_EQ(std::tie(r.load, r.calibration, r.calibration_date, r.unit),
            std::make_tuple(std::optional<double>(30.0), kavro::LoadCalibration::kUser, user.date,
                            std::string("kg")));
  EXPECT_STREQ(kavro::LoadCalibrationName(r.calibration), "user");
  const kavro::Reading other = Open("KV0001", options).Read().value();  // only channel 1's
  EXPECT_EQ(
      std::tie(other.calibration, other.calibration_date, other.unit),
      std::make_tuple(kavro::LoadCalibration::kBoard, std::string(), std::string("unit code 1")));
  EXPECT_EQ(kavro::Settings::Load(path)->Find("KV0005", 0).calibration->span_load, 100.0);

  for (auto [zero, span, load] : {std::tuple{1000.0, 1999.0, 100.0},
                                  {1000.0, 401000.0, 0.0},
                                  {1000.0, 401000.0, std::nan("")},
                                  {NAN, 401000.0, 1.0}}) {
    EXPECT_EQ(ErrorOf(kavro::UserCalibration::FromPoints(zero, span, load, "")).kind,
              ErrorKind::kInvalidArgument);
  }
  std::FILE* f = std::fopen(path.c_str(), "w");
  std::fputs("{\"boards\": [1]}", f);
  std::fclose(f);
  const kavro::Error e = ErrorOf(kavro::Board::Open("KV0005", options));
  EXPECT_EQ(e.kind, ErrorKind::kInvalidArgument);
  EXPECT_NE(e.text.find(path + ": boards: an object is expected, not [1]"), std::string::npos);
  EXPECT_EQ(ErrorOf(kavro::Settings::Store(path, "KV0005", 0, entry)).kind,
            ErrorKind::kInvalidArgument);  // not overwritten
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

// ---- threads --------------------------------------------------------------------------------

class BoardThreads : public Api {};

TEST_F(BoardThreads, CallsOnOneBoardAreSerialisedAndTwoBoardsShareNothing) {
  bus.logging = false;
  VirtualBus::Device& shared = bus.AddDevice("KV0001");
  bus.AddDevice("KV0009", VirtualBoard::Type9());
  kavro::Board one = Open(), other = Open("KV0009");
  std::atomic<int> failures{0};
  auto work = [&failures](kavro::Board* board, unsigned int channel) {
    for (int i = 0; i < 100; ++i) {
      failures += board->Read(channel).ok() ? 0 : 1;
      if (i % 10 == 0) failures += board->SetSamplingRate(5, channel).ok() ? 0 : 1;
    }
  };
  std::thread a(work, &one, 0), b(work, &one, 0), c(work, &other, 3);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(failures, 0);
  int measurements = 0;
  for (const Bytes& frame : shared.board.transcript) measurements += frame[2] == 0x42 ? 1 : 0;
  EXPECT_EQ(measurements, 200);
}

// Holds the next write once armed until the test lets it go: a command that takes long.
struct HeldWrite final : kavro::ForwardingLink {
  using ForwardingLink::ForwardingLink;
  unsigned int Write(void* h, void* buffer, unsigned int count, unsigned int* written) override {
    if (armed.exchange(false)) {
      held.set_value();
      let_go = go.get_future().wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    }
    return ForwardingLink::Write(h, buffer, count, written);
  }
  std::atomic<bool> armed{false};
  std::promise<void> held, go;
  bool let_go = false;  // by the test, not by the wait running out
};

TEST_F(BoardThreads, GettersAnswerAtOnceWhileAnotherThreadWaitsOnAReset) {
  bus.AddDevice("KV0001");
  HeldWrite link(bus);
  kavro::OpenOptions options = Options();
  options.link = &link;
  kavro::Board board = Open("KV0001", options);
  link.armed = true;
  std::future<void> held = link.held.get_future();
  std::thread reset([&board] { EXPECT_TRUE(board.Reset().ok()); });
  held.wait();
  EXPECT_EQ(std::make_tuple(board.connected(), board.info().serial, board.link_description()),
            std::make_tuple(true, "KV0001"s, "board emulator"s));
  link.go.set_value();
  reset.join();
  EXPECT_TRUE(link.let_go);
}

// info() while another thread reopens the board, where a type 9 board now sits: the type and
// the version it answers are always of one board (the version's first field is the type).
TEST_F(BoardThreads, InfoIsOfOneBoardWhileAnotherThreadReopensIt) {
  bus.AddDevice("KV0001");
  kavro::Board board = Open();
  bus.Unplug("KV0001");
  bus.WithDevice("KV0001", [](VirtualBus::Device& d) { d.board = VirtualBoard::Type9(); });
  EXPECT_FALSE(board.Read().ok());
  bus.Replug("KV0001");
  bus.SleepUntil(bus.now_us() + 1000000);
  std::atomic<bool> reopened{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!reopened) {
      const kavro::BoardInfo i = board.info();
      torn += i.type == i.version[0] ? 0 : 1;
    }
  });
  EXPECT_TRUE(board.Read().ok());
  reopened = true;
  reader.join();
  EXPECT_EQ(std::make_tuple(torn.load(), board.info().type), std::make_tuple(0, 9u));
}

// One thread notices the loss and is still in the callback when another reopens the board:
// the reconnection is handed on after the loss, by the first thread, not beside it.
TEST_F(BoardThreads, EventsReachTheApplicationOnceInTheOrderTheyHappened) {
  bus.AddDevice("KV0001");
  std::promise<void> lost, reopened;
  std::future<void> reopened_seen = reopened.get_future();
  std::vector<std::string> seen;  // in the order the callbacks end
  kavro::OpenOptions options = Options();
  options.on_event = [&](const kavro::BoardEvent& e) {
    if (e.kind == kavro::BoardEventKind::kDisconnected) {
      lost.set_value();
      reopened_seen.wait_for(std::chrono::seconds(2));
    }
    seen.push_back(kavro::BoardEventKindName(e.kind));
  };
  kavro::Board board = Open("KV0001", options);
  bus.Unplug("KV0001");
  std::future<void> lost_seen = lost.get_future();
  std::thread first([&board] { EXPECT_FALSE(board.Read().ok()); });
  lost_seen.wait();
  bus.Replug("KV0001");
  bus.SleepUntil(bus.now_us() + 100000);
  EXPECT_TRUE(board.Read().ok());
  reopened.set_value();
  first.join();
  EXPECT_EQ(seen, (std::vector<std::string>{"disconnected", "reconnected"}));
}

// ---- recording ------------------------------------------------------------------------------

// A reading stalled by a lost reply (10 ms for the measurement request) overruns nine due times
// of a 1 ms interval: they are skipped, and every reading still falls on start + k * 1 ms.
TEST_F(Api, ARecordingKeepsItsDueTimesAndSkipsThoseAStallOverran) {
  bus.AddDevice("KV0001");
  kavro::Board board = Open();
  std::vector<kavro::Sample> samples;
  kavro::RecordOptions every_ms = Every10ms(300);
  every_ms.interval_us = 1000;
  auto summary = kavro::Record(board, every_ms, [&](const kavro::Sample& s) {
    if (s.index == 100) Queue(bus, Fault(ReplyFault::kDrop));
    samples.push_back(s);
    return true;
  });
  ASSERT_TRUE(summary.ok());
  EXPECT_EQ(Counts(*summary), (std::vector<std::uint64_t>{300, 299, 1, 9, 0, 0}));
  ASSERT_EQ(samples.size(), 300u);
  EXPECT_EQ(samples[101].reading.error().kind, ErrorKind::kTimedOut);
  EXPECT_EQ(samples[102].index, 111u);
  EXPECT_EQ(samples.back().index, 308u);
  EXPECT_EQ(samples.back().due_us - samples.front().due_us, 308000u);
  for (const kavro::Sample& s : samples) {
    if (s.reading) {
      EXPECT_LT(s.reading->monotonic_us - s.due_us, 1000u) << s.index;
    }
  }
  EXPECT_NEAR(summary->rate(), 970.65, 0.01);  // 299 readings in a little over 0.308 s
}

// The summary says which end it was (giving up: below).
TEST_F(Api, ARecordingEndsAtItsCountOrDurationWhenTheSinkDeclinesOrPromptlyWhenAskedToStop) {
  bus.AddDevice("KV0001");
  kavro::Board board = Open();
  auto all = [](const kavro::Sample&) { return true; };
  auto ended = [](auto r) {  // why it ended, after how many due times
    return kavro::RecordEndName(r->ended) + (" after " + std::to_string(r->due_times));
  };
  kavro::RecordOptions timed = Every10ms(0);
  timed.duration_us = 90000;  // due at 0, 10, ... 80 ms
  EXPECT_EQ(ended(kavro::Record(board, timed, all)), "duration reached after 9");
  EXPECT_EQ(ended(kavro::Record(board, Every10ms(3), all)), "count reached after 3");
  auto none = [](const kavro::Sample&) { return false; };
  EXPECT_EQ(ended(kavro::Record(board, Every10ms(3), none)), "sink declined after 1");

  kavro::RecordOptions hourly = Every10ms(0);
  hourly.interval_us = 3600000000;
  int polls = 0;
  hourly.should_stop = [&polls] { return ++polls == 4; };  // before the first, then waiting
  auto asked = kavro::Record(board, hourly, all);
  EXPECT_EQ(ended(asked), "stopped after 1");
  EXPECT_GE(asked->elapsed_us, 40000u);  // asked again every 20 ms
  EXPECT_LT(asked->elapsed_us, 60000u);
}

// Unplugged at 1.005 s for 0.5 s: the reading due at 1.010 s finds the link gone; reopening is
// tried every 100 ms while the board is not attached, the fifth open finds it back but fails
// (in use), and the delay doubles: the sixth, 200 ms later, opens it.
TEST_F(Api, AnUnplugLeavesAGapOfItsLengthAndTheConfigurationIsAppliedAgain) {
  VirtualBoard powered = VirtualBoard::Common();
  powered.SetPowerOnConfigByte(0, 0x24);
  bus.AddDevice("KV0001", powered);
  kavro::Board board = Open();
  ASSERT_TRUE(board.SetSamplingRate(7).ok());
  const std::uint64_t start = bus.now_us();
  bus.ScheduleUnplug("KV0001", 1005000, 500000);
  bus.FailCall(Call::kOpenEx, kavro::kFtDeviceNotOpened, 5);
  std::vector<std::uint64_t> failed;
  auto summary = kavro::Record(board, Every10ms(200), [&](const kavro::Sample& s) {
    if (!s.reading) {
      failed.push_back(s.index);
      EXPECT_EQ(s.reading.error().kind, ErrorKind::kDisconnected);
    }
    return true;
  });
  ASSERT_TRUE(summary.ok());
  EXPECT_EQ(Counts(*summary), (std::vector<std::uint64_t>{200, 130, 70, 0, 1, 700000}));
  ASSERT_EQ(failed.size(), 70u);
  EXPECT_EQ(failed.front(), 101u);
  EXPECT_EQ(failed.back(), 170u);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(Facts(events[0], start), std::make_tuple("disconnected"s, 1010000ull, 0ull, 0u));
  EXPECT_EQ(events[0].error.text, "IO Error");
  EXPECT_EQ(Facts(events[1], start), std::make_tuple("reconnected"s, 1710000ull, 700000ull, 6u));
  std::uint8_t config = 0;
  bus.WithDevice("KV0001", [&](VirtualBus::Device& d) { config = d.board.ConfigByte(0); });
  EXPECT_EQ(config, 0x27);  // the power-on 0x24 with rate 7 applied again

  // A type 9 board plugged in where it was: the reopen learns the type again, and the reading
  // after it asks by channel, as type 9 is asked.
  bus.Unplug("KV0001");
  bus.WithDevice("KV0001", [](VirtualBus::Device& d) { d.board = VirtualBoard::Type9(); });
  EXPECT_EQ(ErrorOf(board.Read()).kind, ErrorKind::kDisconnected);
  bus.Replug("KV0001");
  bus.SleepUntil(bus.now_us() + 1000000);
  ASSERT_TRUE(board.Read().ok());
  EXPECT_EQ(board.info().type, 9u);
  bus.WithDevice("KV0001", [](VirtualBus::Device& d) {
    EXPECT_EQ(d.board.transcript.back(), (Bytes{d.board.transcript.back()[0], 5, 0x52, 0, 0xAA}));
  });
}

// Unplugged for good 0.505 s after the open, each row on its own board; the link loss shows at
// 0.510 s.
TEST_F(Api, ABoardThatDoesNotComeBackIsGivenUpAndTheRecordingEnds) {
  struct Row {
    kavro::ReconnectOptions reconnect;
    std::uint64_t due_times, gave_up_at, gap_us;
    unsigned int attempts;
  };
  kavro::ReconnectOptions two_attempts, quarter_second, off;
  two_attempts.max_attempts = 2;             // tried at 0.610 and 0.710 s
  quarter_second.give_up_after_us = 250000;  // tried at 0.610 and 0.710 s, given up at 0.760 s
  off.enabled = false;
  for (const Row& row : {Row{two_attempts, 72, 710000, 200000, 2},
                         Row{quarter_second, 77, 760000, 250000, 2}, Row{off, 52, 510000, 0, 0}}) {
    const std::string serial = "KV" + std::to_string(row.due_times);
    events.clear();
    bus.AddDevice(serial);
    kavro::OpenOptions options = Options();
    options.reconnect = row.reconnect;
    kavro::Board board = Open(serial.c_str(), options);
    const std::uint64_t start = bus.now_us();
    bus.ScheduleUnplug(serial, 505000, 3600000000);
    auto summary = kavro::Record(board, Every10ms(100), [](const kavro::Sample&) { return true; });
    EXPECT_STREQ(kavro::RecordEndName(summary->ended), "gave up reconnecting");
    EXPECT_EQ(Counts(*summary), (std::vector<std::uint64_t>{row.due_times, 51, row.due_times - 51,
                                                            0, 1, row.gap_us}));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(Facts(events[1], start),
              std::make_tuple("gave up"s, row.gave_up_at, row.gap_us, row.attempts));
    const std::size_t opens = bus.CountCalls(Call::kOpenEx);
    EXPECT_EQ(ErrorOf(board.Read()).kind, ErrorKind::kDisconnected);
    EXPECT_EQ(bus.CountCalls(Call::kOpenEx), opens);  // not tried again
    EXPECT_FALSE(board.connected());
  }
}

// Two boards on one schedule, KV0009 unplugged at 1.005 s for 0.5 s: its readings fail from
// the due time at 1.010 s until it is reopened, while KV0001 takes every due time on time.
// Each board's samples come in due-time order; the sink is never called by two threads at
// once (the sanitizer build would see the unguarded vector).
TEST_F(Api, SeveralBoardsKeepOneScheduleAndAnUnpluggedOneDelaysNoOther) {
  bus.AddDevice("KV0001");
  bus.AddDevice("KV0009", VirtualBoard::Type9());
  std::mutex lock;
  std::vector<std::string> seen;  // events as "serial kind"
  kavro::OpenOptions options = Options();
  options.on_event = [&](const kavro::BoardEvent& e) {
    std::lock_guard<std::mutex> hold(lock);
    seen.push_back(e.serial + " " + kavro::BoardEventKindName(e.kind));
  };
  kavro::Board one = Open("KV0001", options), nine = Open("KV0009", options);
  const std::uint64_t start = bus.now_us();
  bus.ScheduleUnplug("KV0009", 1005000, 500000);
  bus.poll_step_us = 0;  // each read at its due time, whichever thread polls first
  std::map<std::string, std::vector<std::uint64_t>> taken, failed;
  std::uint64_t latest = 0;  // the most a reading came after its due time
  kavro::RecordOptions o = Every10ms(200);
  auto summary = kavro::Record({&one, &nine}, o, [&](const kavro::Sample& s) {
    taken[s.serial].push_back(s.index);
    EXPECT_EQ(s.due_us - start, s.index * 10000);
    if (!s.reading) failed[s.serial].push_back(s.index);
    if (s.reading) latest = std::max(latest, s.reading->monotonic_us - s.due_us);
    return true;
  });
  ASSERT_TRUE(summary.ok()) << summary.error().Describe();
  std::vector<std::uint64_t> all(200);
  std::iota(all.begin(), all.end(), 0);
  EXPECT_EQ(taken["KV0001"], all);
  EXPECT_EQ(taken["KV0009"], all);
  EXPECT_TRUE(failed["KV0001"].empty());
  std::vector<std::uint64_t> gap(50);
  std::iota(gap.begin(), gap.end(), 101);  // reopened at 1.510 s, the first try after the replug
  EXPECT_EQ(failed["KV0009"], gap);
  EXPECT_LT(latest, 2000u);  // a reply's time, not a reopen's
  ASSERT_EQ(summary->boards.size(), 2u);
  EXPECT_EQ(summary->boards[0].serial, "KV0001");
  EXPECT_EQ(Counts(summary->boards[0]), (std::vector<std::uint64_t>{200, 200, 0, 0, 0, 0}));
  EXPECT_EQ(Counts(summary->boards[1]), (std::vector<std::uint64_t>{200, 150, 50, 0, 1, 500000}));
  EXPECT_EQ(Counts(summary->total), (std::vector<std::uint64_t>{200, 350, 50, 0, 1, 500000}));
  EXPECT_STREQ(kavro::RecordEndName(summary->total.ended), "count reached");
  EXPECT_EQ(seen, (std::vector<std::string>{"KV0009 disconnected", "KV0009 reconnected"}));

  // What a recording of several boards refuses, and a sink that declines.
  bus.AddDevice("KV0002");
  kavro::ForwardingLink other(bus);  // the same boards through another link
  kavro::OpenOptions through_other = Options();
  through_other.link = &other;
  kavro::Board elsewhere = Open("KV0002", through_other);
  kavro::RecordOptions wide = Every10ms(3);
  wide.channels = {0, 2};
  std::string said;
  int calls = 0;
  const auto twice = [&calls](const kavro::Sample&) { return ++calls < 2; };
  for (auto [boards, options] : {std::pair{std::vector<kavro::Board*>{}, o},
                                 {{&one, &one}, o},
                                 {{&nine, &one}, wide},
                                 {{&one, &elsewhere}, o},
                                 {{&nine, &one}, Every10ms(5)}}) {
    auto r = kavro::Record(boards, options, twice);
    said += (r ? kavro::RecordEndName(r->total.ended) + " after "s +
                     std::to_string(r->total.readings)
               : r.error().text) + "\n";
  }
  EXPECT_EQ(said,
            "nothing to record: no boards given\n"
            "KV0001 is given twice: a recording reads each board once\n"
            "channel 2: KV0001 has channel 0 only\n"
            "KV0002 was opened on another link than KV0001: a recording keeps one schedule on "
            "one link's clock\n"
            "sink declined after 2\n");
}

// Options that make no sense are refused before any traffic: a first reconnect delay of 0, a
// delay past the clock's end, an interval whose due times run past it unless the duration ends
// the recording first. A refused recording would run on: each stops at its 5th ask.
TEST_F(Api, DelaysOfNoneAndSchedulesPastTheClocksEndAreRefused) {
  bus.AddDevice("KV0001");
  bus.SleepUntil(1000);  // a delay of kEnd fits only on a clock at 0
  constexpr std::uint64_t kEnd = ~std::uint64_t{0};
  auto said = [](const auto& r) { return r.ok() ? "ok"s : kavro::ErrorKindName(r.error().kind); };
  std::string opens, records;
  for (auto [first, longest] : {std::pair{0ull, 2000000ull}, {kEnd, 2000000ull}, {100000ull, kEnd}}) {
    kavro::OpenOptions options = Options();
    options.reconnect.first_delay_us = first;
    options.reconnect.max_delay_us = longest;
    opens += said(kavro::Board::Open("KV0001", options)) + "; ";
  }
  EXPECT_EQ(bus.CountCalls(Call::kOpenEx), 0u);
  kavro::Board board = Open();
  for (auto [interval, count, duration] : {std::tuple{kEnd, 0ull, 0ull}, {kEnd / 2, 4ull, 0ull},
                                           {kEnd / 2, 4ull, 1000000ull}, {kEnd / 2, 1ull, 0ull}}) {
    kavro::RecordOptions o = Every10ms(count);
    o.interval_us = interval;
    o.duration_us = duration;
    int asked = 0;
    o.should_stop = [&asked] { return ++asked == 5; };
    auto r = kavro::Record(board, o, [](const kavro::Sample&) { return true; });
    records += said(r) + (r.ok() ? " "s + kavro::RecordEndName(r->ended) : "") + "; ";
  }
  const std::string refused = kavro::ErrorKindName(ErrorKind::kInvalidArgument) + "; "s;
  EXPECT_EQ(opens, refused + refused + refused);
  EXPECT_EQ(records, refused + refused + "ok duration reached; ok count reached; ");
}

// A recording whose third due time would lie past the clock's end, run until the clock has
// reached its second: the third falls due at the clock's end, never wrapped round to at once.
// The readings' wall time, centuries on, stops at the system clock's end.
TEST_F(Api, ARecordingsDueTimesPastTheClocksEndNeverFallDueEarly) {
  bus.AddDevice("KV0001");
  kavro::Board board = Open();
  kavro::RecordOptions o = Every10ms(0);
  o.interval_us = std::uint64_t{1} << 63;
  const std::uint64_t second_due = bus.now_us() + o.interval_us;
  int asked = 0;
  o.should_stop = [&] {
    if (++asked == 1) bus.SleepUntil(second_due);
    return asked == 5;
  };
  std::string taken;
  auto r = kavro::Record(board, o, [&](const kavro::Sample& s) {
    const bool at_end =
        s.reading && s.reading->wall == std::chrono::system_clock::time_point::max();
    taken += std::to_string(s.index) + (at_end ? " " : " not at the end ");
    return true;
  });
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(taken, "0 1 ");
  EXPECT_EQ(r->ended, kavro::RecordEnd::kStopped);
}

// A first delay that just fits on the clock at the open, so the loss, later, adds it to a later
// time: the reopen falls due at the clock's end instead of wrapping round to at once.
TEST_F(Api, AReconnectDelayNearTheClocksEndNeverFallsDueEarly) {
  bus.AddDevice("KV0001");
  kavro::OpenOptions options = Options();
  options.reconnect.first_delay_us = ~std::uint64_t{0} - bus.now_us();
  kavro::Board board = Open("KV0001", options);
  bus.ScheduleUnplug("KV0001", 1000, 3600000000);
  bus.SleepUntil(bus.now_us() + 2000);
  EXPECT_EQ(ErrorOf(board.Read()).kind, ErrorKind::kDisconnected);
  bus.SleepUntil(bus.now_us() + 60000000);
  EXPECT_EQ(ErrorOf(board.Read()).text, "IO Error");  // still the loss: no reopen was tried
  EXPECT_EQ(bus.CountCalls(Call::kOpenEx), 1u);
}

}  // namespace
