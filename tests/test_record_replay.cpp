// Sessions recorded against the emulator and played back without it: the same results, the
// same bytes on the wire, and clear words when a replay departs or a file is bad.
#include <fstream>

#include "fixture.h"
#include "kavro/kavro.h"

namespace {

std::string Temp(const std::string& name) {
  return testing::TempDir() + name;
}

// Every outcome the application sees: result, error text and status, both traces.
struct Outcomes {
  K& dll;
  std::vector<std::string> seen;
  void Note(const std::string& result) {
    seen.push_back(result + " | " + dll.ErrorText + " | " + std::to_string(dll.ErrorStatus) +
                   " | " + dll.PacketSent + " | " + dll.PacketReceived);
  }
};

// Info queries and `readings` readings of KAVRO-0001; the last call's outcome is returned.
std::vector<std::string> Session(K& dll, int readings) {
  Outcomes o{dll, {}};
  o.Note(dll.Get_Device_Count());
  o.Note(dll.Get_Device_Serial_Number(nullptr));
  char serial[] = "KAVRO-0001";
  dll.Open_Device_Connection(serial);
  void* h = dll.DeviceHandle;
  dll.Get_Version_of_Board(h);
  o.Note(VersionFields(dll));
  o.Note(dll.Get_Offset_Load(h, 0));
  o.Note(dll.Get_Fullscale_Load(h, 0));
  for (int i = 0; i < readings; ++i) o.Note(dll.Normal_Data_Request(h, 0));
  dll.Close_Device_Connection(h);
  o.Note("closed");
  return o.seen;
}

// The session against the ready-made boards, recorded, with the replies numbered in `faults`
// dropped, shifted (a 0xFF before) and replaced by the board's "Command Error".
std::vector<std::string> Recorded(const std::string& path, int readings,
                                  std::array<std::size_t, 3> faults) {
  VirtualBus bus;
  kavro::emu::AddReadyMadeBoards(bus);
  auto& replies = bus.device(0).board.faults;
  replies.resize(faults[2] + 1);
  replies[faults[0]].kind = ReplyFault::kDrop;
  replies[faults[1]].kind = ReplyFault::kPrefixFF;
  replies[faults[2]].kind = ReplyFault::kErrorReply;  // 'M'
  kavro::RecordingLink recording(bus, path, "test session");
  K dll;
  dll.UseLink(&recording);
  return Session(dll, readings);
}

std::size_t Count(const std::vector<std::string>& seen, const std::string& part) {
  return std::count_if(seen.begin(), seen.end(),
                       [&](const std::string& s) { return s.find(part) != std::string::npos; });
}

TEST(RecordReplay, ReplayGivesTheRecordedResultsTracesAndFaults) {
  const std::string path = Temp("session.kavrolog");
  const std::vector<std::string> recorded = Recorded(path, 300, {40, 102, 160});
  EXPECT_EQ(Count(recorded, " | Timeout Error | 0 | "), 1u);
  EXPECT_EQ(Count(recorded, " | Command Error | 0 | "), 1u);
  EXPECT_EQ(Count(recorded, " | ff"), 1u);  // the shifted reply, 0xFF and all

  kavro::ReplayLink replay(path);
  K dll;
  dll.UseLink(&replay);
  EXPECT_EQ(Session(dll, 300), recorded);
  EXPECT_TRUE(replay.ok()) << replay.Diagnostic();
  EXPECT_TRUE(replay.finished());
}

TEST(RecordReplay, ADifferentCommandIsReportedWithItsRecordAndFailsEveryLaterCall) {
  const std::string path = Temp("short.kavrolog");
  Recorded(path, 1, {100, 101, 102});
  kavro::ReplayLink replay(path);
  K dll;
  dll.UseLink(&replay);
  dll.Get_Device_Count();
  dll.Get_Device_Serial_Number(nullptr);
  char serial[] = "KAVRO-0001";
  dll.Open_Device_Connection(serial);
  dll.Get_Version_of_Board(dll.DeviceHandle);
  EXPECT_EQ(dll.Get_Offset_Load(dll.DeviceHandle, 0), "0");
  dll.Get_Fullscale_Load(dll.DeviceHandle, 0);
  EXPECT_EQ(dll.Get_Offset_Value(dll.DeviceHandle, 0), "Error");  // recorded: a reading
  EXPECT_EQ(dll.ErrorStatus, 18u);
  EXPECT_EQ(replay.Diagnostic(),
            path +
                " record 40 (line 41): expected Write(h=1, data=070442aa), got "
                "Write(h=1, data=070440aa)");
  EXPECT_EQ(dll.Normal_Data_Request(dll.DeviceHandle, 0), "Error");
  EXPECT_EQ(std::string(dll.ErrorText), "Other Errors");
  EXPECT_FALSE(replay.ok());
}

TEST(RecordReplay, BoardOnAReplayReadsWhatWasRecordedOnTheRecordedClock) {
  const std::string path = Temp("typed.kavrolog");
  auto read = [](kavro::OpenOptions options, std::vector<std::string>& out) {
    auto board = kavro::Board::Open("KAVRO-0001", options);
    kavro::RecordOptions every_20ms;
    every_20ms.interval_us = 20'000;
    every_20ms.count = 50;
    kavro::Record(board.value(), every_20ms, [&](const kavro::Sample& s) {
      out.push_back(std::to_string(s.due_us) + " " + std::to_string(s.reading->monotonic_us) + " " +
                    s.reading->raw + " " + std::to_string(s.reading->load.value_or(-1)));
      return true;
    });
    return board;
  };
  std::vector<std::string> recorded, replayed;
  {
    VirtualBus bus;
    kavro::emu::AddReadyMadeBoards(bus);
    kavro::RecordingLink recording(bus, path);
    kavro::OpenOptions options;
    options.link = &recording;
    options.clock = &bus.clock();
    read(options, recorded);
  }
  kavro::ReplayLink replay(path);
  auto board = read(replay.Options(), replayed);
  EXPECT_EQ(replayed, recorded);
  EXPECT_EQ(recorded.size(), 50u);
  // One reading more than the recording holds: the board said goodbye there.
  const auto beyond = board->Read(0);
  EXPECT_EQ(beyond.error().status, 18u);
  EXPECT_NE(beyond.error().hint.find("expected Close(h=1), got GetStatus(h=1)"), std::string::npos)
      << beyond.error().hint;
}

// The recording kept in tests/data, made by an earlier build (this test, with
// KAVRO_UPDATE_RECORDING=1): this build still reads it and answers as the board did then.
TEST(RecordReplay, KeptRecordingReplaysWithItsReadingsAndFaults) {
  const std::string path = KAVRO_TEST_DATA "/emulator_session.kavrolog";
  if (std::getenv("KAVRO_UPDATE_RECORDING") != nullptr) Recorded(path, 6, {8, 10, 14});
  kavro::ReplayLink replay(path);
  K dll;
  dll.UseLink(&replay);
  const std::vector<std::string> expected = {
      "2 |  | 0 |  | ",
      "KAVRO-0001 |  | 0 |  | ",
      "03 01 02 03 04 |  | 0 | 010444aa | 01084403010234aa",
      "0 |  | 0 | 03058240aa | 030782000000aa",
      "5000 |  | 0 | 0505825eaa | 050782001388aa",
      "805865 |  | 0 | 070442aa | 070842020c4be9aa",
      "Error | Timeout Error | 0 | 090442aa | ",
      "813222 |  | 0 | 0b0442aa | ff0b0842020c68a6aa",
      "814770 |  | 0 | 0d0442aa | 0d0842020c6eb2aa",
      "Error | Command Error | 0 | 0f0442aa | ",
      "822122 |  | 0 | 110442aa | 110842020c8b6aaa",
      "closed |  | 0 | 110442aa | 110842020c8b6aaa",
  };
  EXPECT_EQ(Session(dll, 6), expected) << replay.Diagnostic();
  EXPECT_TRUE(replay.finished()) << replay.Diagnostic();
}

TEST(RecordReplay, BadFilesAreNamedWithTheLineAndWhatIsWrong) {
  const std::string header =
      R"({"format":"kavro link recording","version":1,"library":"0.9.0","clock_us":5})"
      "\n";
  const std::string count =
      R"({"t":3,"call":"ListDevices","flags":2147483648,"status":0,"count":2})";
  struct Row {
    const char* name;
    std::string content;  // "-" for no file at all
    const char* first;    // the first device count's result
    std::string diagnostic;
  };
  const Row rows[] = {
      {"missing", "-", "Error", "cannot open the recording @ (No such file or directory)"},
      {"empty", "", "Error", "@ is empty: it holds no recording"},
      {"other", "hello\n", "Error", "@ line 1: it is not the header of a kavro link recording"},
      {"future",
       R"({"format":"kavro link recording","version":2,"clock_us":0})"
       "\n",
       "Error",
       "@ line 1: its format version 2 is not one this library reads (it reads 1; a "
       "newer library may have made it)"},
      {"corrupt", header + count.substr(0, 30) + "\n", "Error",
       "@ record 1 (line 2): is not a record: it is not a JSON object (the line is corrupt); "
       "then came ListDevices(flags=2147483648, index=0)"},
      {"cut", header + count + "\n" + count.substr(0, 30), "2",
       "@ line 3: the last line is cut short (the recording was interrupted there); then came "
       "ListDevices(flags=2147483648, index=0)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = Temp(std::string("bad_") + row.name + ".kavrolog");
    std::remove(path.c_str());
    if (row.content != "-") std::ofstream(path, std::ios::binary) << row.content;
    kavro::ReplayLink replay(path);
    K dll;
    dll.UseLink(&replay);
    EXPECT_EQ(dll.Get_Device_Count(), row.first);
    EXPECT_EQ(dll.Get_Device_Count(), "Error");
    EXPECT_EQ(dll.ErrorStatus, 18u);
    std::string expected = row.diagnostic;
    expected.replace(expected.find('@'), 1, path);
    EXPECT_EQ(replay.Diagnostic(), expected);
  }
}

TEST(RecordReplay, RecordingThatCannotBeWrittenStopsTheSessionAndSaysWhy) {
  VirtualBus bus;
  bus.AddDevice("KV0001");
  for (const char* path : {"/no-such-folder/x.kavrolog", "/dev/full"}) {
    SCOPED_TRACE(path);
    kavro::RecordingLink recording(bus, path);
    K dll;
    dll.UseLink(&recording);
    EXPECT_EQ(dll.Get_Device_Count(), "Error");
    EXPECT_EQ(dll.ErrorStatus, 18u);
    EXPECT_FALSE(recording.ok());
    EXPECT_EQ(recording.Diagnostic().rfind(std::string("recording to ") + path + " stopped: ", 0),
              0u);
  }
}

}  // namespace
