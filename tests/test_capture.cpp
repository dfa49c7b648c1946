// Sessions captured against the emulator and played back without it: the same results, the
// same bytes on the wire, and clear words when a replay departs or a file is bad.
#include <fstream>
#include <future>
#include <thread>

#include <nlohmann/json.hpp>

#include "fixture.h"
#include "kavro/kavro.h"

namespace {

std::string Temp(const std::string& name) {
  return testing::TempDir() + name;
}

// Info queries and `readings` readings of KAVRO-0001 (by `reading`), each outcome as the
// application sees it: result, error text and status, both traces.
std::vector<std::string> Session(K& dll, int readings,
                                 Command reading = Bind(&K::Normal_Data_Request, 0)) {
  std::vector<std::string> seen;
  auto note = [&](const std::string& result) {
    seen.push_back(result + " | " + dll.ErrorText + " | " + std::to_string(dll.ErrorStatus) +
                   " | " + dll.PacketSent + " | " + dll.PacketReceived);
  };
  note(dll.Get_Device_Count());
  note(dll.Get_Device_Serial_Number(reinterpret_cast<void*>(1)));
  char serial[] = "KAVRO-0001";
  dll.Open_Device_Connection(serial);
  void* h = dll.DeviceHandle;
  dll.Get_Version_of_Board(h);
  note(VersionFields(dll));
  note(dll.Get_Offset_Load(h, 0));
  note(dll.Get_Fullscale_Load(h, 0));
  for (int i = 0; i < readings; ++i) note(reading(dll, h));
  dll.VID = dll.PID = 0x6015;
  dll.KAVRO_FT_SetVIDPID();
  dll.KAVRO_FT_GetVIDPID();
  dll.KAVRO_FT_GetDeviceInfoList();  // KAVRO-0001 first, open
  const auto& node = dll.ftStatus == 0 ? dll.devInfo[0] : kavro::FT_DEVICE_LIST_INFO_NODE{};
  note(node.SerialNumber + std::to_string(node.Flags) + " " + std::to_string(node.ID) + " " +
       node.Description + " " + std::to_string(dll.ftDevice) + " " + std::to_string(dll.VID) + ":" +
       std::to_string(dll.PID));
  dll.Close_Device_Connection(h);
  note("closed");
  return seen;
}

// The session captured against the ready-made boards, with the replies numbered in `faults`
// dropped, shifted (a 0xFF before) and replaced by the board's "Command Error".
std::vector<std::string> Captured(const std::string& path, int readings,
                                  std::array<std::size_t, 3> faults) {
  VirtualBus bus;
  kavro::emu::AddReadyMadeBoards(bus);
  auto& replies = bus.device(0).board.faults;
  replies.resize(faults[2] + 1);
  replies[faults[0]].kind = ReplyFault::kDrop;
  replies[faults[1]].kind = ReplyFault::kPrefixFF;
  replies[faults[2]].kind = ReplyFault::kErrorReply;  // 'M'
  kavro::CaptureLink capture(bus, path, "test session", kavro::CaptureLink::IfExists::kReplace);
  K dll;
  dll.UseLink(&capture);
  return Session(dll, readings);
}

// A typed board on a replay of another session: the open departs from it, and the error says
// where. (The tool's replay of a captured read shows typed readings replayed.)
TEST(CaptureReplay, ATypedBoardOnAReplayThatDepartsSaysWhereInItsHint) {
  kavro::ReplayLink replay(KAVRO_TEST_DATA "/emulator_session.kavrolog");
  const auto board = kavro::Board::Open("KAVRO-0009", replay.Options());
  const std::string why = replay.Diagnostic();
  EXPECT_EQ(board.error().hint.rfind(why, 0), 0u) << board.error().hint;
  EXPECT_NE(why.find("record 1 (line 2): expected ListDevices(flags=2147483648, index=0), got "
                     "OpenEx(flags=1, location=0, key=\"KAVRO-0009\")"),
            std::string::npos)
      << why;
}

// A session captured now, and the one kept in tests/data, made by an earlier build (this test,
// with KAVRO_UPDATE_CAPTURE=1): both replay as the board answered, faults and all. So does one
// of the first format, which holds no clock reads: its replay makes up the times between calls.
// A replay that departs from its capture says where, and fails every later call.
TEST(CaptureReplay, ReplayGivesTheCapturedResultsTracesAndFaultsAndSaysWhereItDeparts) {
  const std::string kept = KAVRO_TEST_DATA "/emulator_session.kavrolog";
  if (std::getenv("KAVRO_UPDATE_CAPTURE") != nullptr) Captured(kept, 6, {8, 10, 14});
  const std::string path = Temp("session.kavrolog");
  const std::vector<std::string> captured = Captured(path, 6, {8, 10, 14});
  ASSERT_EQ(captured.size(), 13u);
  EXPECT_EQ(captured[5], "805865 |  | 0 | 070442aa | 070842020c4be9aa");
  EXPECT_EQ(captured[7], "813232 |  | 0 | 0b0442aa | ff0b0842020c68b0aa");  // 0xFF and all
  for (const std::string& file :
       {path, kept, std::string(KAVRO_TEST_DATA "/emulator_session_v1.kavrolog")}) {
    kavro::ReplayLink replay(file);
    K dll;
    dll.UseLink(&replay);
    const std::vector<std::string> seen = Session(dll, 6);
    if (file.find("v1") == std::string::npos)
      EXPECT_EQ(seen, captured) << file;
    else
      EXPECT_EQ(seen[7], "813222 |  | 0 | 0b0442aa | ff0b0842020c68a6aa");  // captured then
    EXPECT_TRUE(replay.finished()) << replay.Diagnostic();
    EXPECT_EQ(replay.note(), "test session");
  }
  kavro::ReplayLink replay(path);
  K dll;
  dll.UseLink(&replay);
  const auto seen = Session(dll, 1, Bind(&K::Get_Offset_Value, 0));  // captured: a reading
  EXPECT_EQ(seen[5], "Error | Other Errors | 18 | 070440aa | 06084403010234aa");
  EXPECT_EQ(replay.Diagnostic(), path +
                                     " record 64 (line 65): expected Write(h=1, "
                                     "data=070442aa), got Write(h=1, data=070440aa)");
  EXPECT_FALSE(replay.ok());
}

TEST(CaptureReplay, BadFilesAreNamedWithTheLineAndWhatIsWrong) {
  const std::string header = R"({"format":"kavro link recording","version":1,"clock_us":5})";
  const std::string count =
      R"({"t":3,"call":"ListDevices","flags":2147483648,"status":0,"count":2})";
  const std::string then = "; then came ListDevices(flags=2147483648, index=0)";
  struct Row {
    std::string content;  // "-": no file at all
    const char* first;    // the first device count
    std::string diagnostic;
  };
  std::vector<Row> rows = {
      {"-", "Error", "cannot open the capture @ (No such file or directory)"},
      {"", "Error", "@ is empty: it holds no capture"},
      {"hello\n", "Error", "@ line 1: it is not the header of a kavro link recording"},
      {R"({"format":"kavro link recording","version":3,"clock_us":0})"
       "\n",
       "Error",
       "@ line 1: its format version 3 is not one this library reads (it reads 1 to 2; a newer "
       "library may have made it)"},
      {header + "\n" + count.substr(0, 30) + "\n", "Error",
       "@ record 1 (line 2): is not a record: it is not a JSON object (the line is corrupt)" +
           then},
      {header + "\n" + count + "\n", "2", "@: the capture ends after record 1" + then},
      {header.substr(0, 44) + "}\n", "Error", "@ line 1: it has no \"clock_us\""},
      {header + "\n{\"t\":0,\"call\":\"Frob\"}\n", "Error",
       "@ record 1 (line 2): is not a record: its call \"Frob\" is not a D2XX call" + then},
      {header + "\n" + count + "\n" + count.substr(0, 30), "2",
       "@ line 3: the last line is cut short (the capture was interrupted there)" + then},
      {header + "\n" + count + "\n" + R"({"t":2)" + count.substr(6) + "\n", "2",
       "@ record 2 (line 3): its time, 2 us, runs back from the 3 us of the record before it" +
           then},
      {header + "\n" + R"({"t":18446744073709551611)" + count.substr(6) + "\n", "Error",
       "@ record 1 (line 2): its time, 18446744073709551611 us after the start, runs past the "
       "end of the clock" +
           then},
      {header + "\n" + count.substr(0, count.size() - 2) + "-2}\n", "Error",
       "@ record 1 (line 2): is not a record: its \"count\" is not a whole number from 0 to "
       "4294967295" +
           then},
  };
  // A record line that parses, or says at record 1 what is wrong with it.
  const auto one = [&](const std::string& record) { return header + "\n" + record + "\n"; };
  const std::string bad = "@ record 1 (line 2): is not a record: ";
  const std::string read = R"({"t":0,"call":"Read","h":1,"count":2,"status":0,"returned":)";
  const std::string list = R"({"t":0,"call":"GetDeviceInfoList","room":1,"status":0,"count":1,)";
  const std::string other = "), got ListDevices(flags=2147483648, index=0)";
  const std::vector<std::pair<std::string, std::string>> records = {
      {R"({"t":0})", bad + "it has no \"call\"" + then},
      {R"({"call":"Close","status":0})", bad + "it has no \"t\"" + then},
      {R"({"t":0,"call":"Close"})", bad + "it has no \"status\"" + then},
      {R"({"t":0,"call":"Close","status":4294967296})",
       bad + "its \"status\" is not a whole number from 0 to 4294967295" + then},
      {R"({"t":0,"call":"Close","status":0,"h":4294967296})",
       bad + "its \"h\" is not a whole number from 0 to 4294967295" + then},
      {R"({"t":0,"call":"Close","status":0,"h":4294967295})",
       "@ record 1 (line 2): expected Close(h=not the replay's" + other},
      {R"({"t":0,"call":"GetStatus","status":0,"h":2,"event":4294967296})",
       bad + "its \"event\" is not a whole number from 0 to 4294967295" + then},
      {R"({"t":0,"call":"Clock","status":0,"us":4294967296})",
       "@ record 1 (line 2): expected Clock(" + other},
      {read + R"(1,"data":"abc"})", bad + "its \"data\" is not hexadecimal bytes" + then},
      {read + R"(1,"data":"0g"})", bad + "its \"data\" is not hexadecimal bytes" + then},
      {read + R"(1,"data":5})", bad + "its \"data\" is not hexadecimal bytes" + then},
      {read + R"(2,"data":"0A"})",
       bad + "its bytes read do not match \"returned\" and \"count\"" + then},
      {read + R"(3,"data":"0aFf09"})",
       bad + "its bytes read do not match \"returned\" and \"count\"" + then},
      {read + R"(2,"data":"fF0a"})", "@ record 1 (line 2): expected Read(h=1, count=2" + other},
      {R"({"t":0,"call":"Write","h":1,"status":0,"written":2,"data":"Ab0c"})",
       "@ record 1 (line 2): expected Write(h=1, data=ab0c" + other},
      {R"({"t":0,"call":"OpenEx","flags":1,"key":"K\u00e9\u00ff","status":0,"h":1})",
       "@ record 1 (line 2): expected OpenEx(flags=1, location=0, key=\"K\xe9\xff\"" + other},
      {R"({"t":0,"call":"OpenEx","flags":1,"key":"\u0100","status":0,"h":1})",
       bad + "its \"key\" is not a text of bytes" + then},
      {R"({"t":0,"call":"ListDevices","status":0,"text":5})",
       bad + "its \"text\" is not a text of bytes" + then},
      {list + R"("nodes":5})", bad + "its \"nodes\" is not a list" + then},
      {list + R"("nodes":[1]})", bad + "a device-list node is not an object" + then},
      {list + R"("nodes":[{"id":4294967296}]})",
       bad + "its \"id\" is not a whole number from 0 to 4294967295" + then},
      {list + R"("nodes":[{"serial":7}]})", bad + "its \"serial\" is not a text of bytes" + then},
      {list + R"("nodes":[{},{}]})", bad + "its nodes do not match \"count\" and \"room\"" + then},
      {R"({"t":0,"call":"GetDeviceInfoList","room":1,"status":0,"count":2,"nodes":[{},{}]})",
       bad + "its nodes do not match \"count\" and \"room\"" + then},
      {list + R"("nodes":[{"h":1}]})",
       "@ record 1 (line 2): expected GetDeviceInfoList(room=1" + other},
      {R"({"t":0,"call":"GetDeviceInfoList","room":0,"status":4,"count":1})",
       "@ record 1 (line 2): expected GetDeviceInfoList(room=0" + other},
  };
  const std::string line(1 << 20, 'x');  // the longest line read
  rows.push_back(
      {header, "Error", "@ line 1: the header is cut short or far too long: not a capture"});
  rows.push_back(
      {header + "\r\n" + count + "\r\n", "2", "@: the capture ends after record 1" + then});
  rows.push_back(
      {one(line), "Error", bad + "it is not a JSON object (the line is corrupt)" + then});
  rows.push_back(
      {one(line + "x"), "Error", "@ line 2 is longer than 1048576 bytes: not a record" + then});
  rows.push_back(
      {one(R"({"t":0,"call":"Read","h":1,"count":-1,"status":0})"), "Error",
       bad + "its \"count\" is not a whole number from 0 to 18446744073709551615" + then});
  for (const auto& [record, diagnostic] : records)
    rows.push_back({one(record), "Error", diagnostic});
  // A capture that holds its clock reads polled exactly as its replay must: no extra poll is
  // passed over.
  rows.push_back({R"({"format":"kavro link recording","version":2,"clock_us":0})"
                  "\n"
                  R"({"t":0,"call":"GetStatus","h":1,"status":0,"rx":0})"
                  "\n" +
                      count + "\n",
                  "Error", "@ record 1 (line 2): expected GetStatus(h=1" + other});
  rows.push_back({"[1]\n", "Error", "@ line 1: it is not the header of a kavro link recording"});
  rows.push_back({R"({"format":"kavro link recording","clock_us":0})"
                  "\n",
                  "Error", "@ line 1: it has no \"version\""});
  rows.push_back({R"({"format":"kavro link recording","version":0,"clock_us":0})"
                  "\n",
                  "Error",
                  "@ line 1: its format version 0 is not one this library reads (it reads 1 to 2; "
                  "a newer library may have made it)"});
  int n = 0;
  for (const auto& row : rows) {
    const std::string path = Temp("bad" + std::to_string(++n) + ".kavrolog");
    SCOPED_TRACE(path);
    std::remove(path.c_str());
    if (row.content != "-") std::ofstream(path, std::ios::binary) << row.content;
    kavro::ReplayLink replay(path);
    K dll;
    dll.UseLink(&replay);
    EXPECT_EQ(dll.Get_Device_Count(), row.first);
    // Finished: every record matched and the file ended cleanly after them.
    EXPECT_EQ(replay.finished(), row.diagnostic.find("ends after") != std::string::npos);
    EXPECT_EQ(dll.Get_Device_Count(), "Error");
    std::string expected = row.diagnostic;
    EXPECT_EQ(replay.Diagnostic(), expected.replace(expected.find('@'), 1, path));
  }
}

// A paced replay waits for a record's time without holding the replay: while one thread waits
// 0.8 s for the next record, another asks ok() and is answered at once.
TEST(CaptureReplay, APacedReplayAnswersOkWhileAnotherThreadWaitsForARecord) {
  const std::string path = Temp("paced.kavrolog");
  std::ofstream(path, std::ios::binary)
      << R"({"format":"kavro link recording","version":2,"clock_us":0})"
         "\n"
      << R"({"t":800000,"call":"ListDevices","flags":2147483648,"status":0,"count":2})"
         "\n";
  kavro::ReplayLink replay(path, kavro::ReplayPace::kRecorded);
  K dll;
  dll.UseLink(&replay);
  auto count = std::async(std::launch::async, [&dll] { return dll.Get_Device_Count(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(replay.ok());
  // ok() came back while the record was still being waited for.
  EXPECT_EQ(count.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  EXPECT_EQ(count.get(), "2");
}

// On a capture without clock reads, the replay's clock moves only as the session waits: a wait
// for bytes the last status query already counted returns at once, and a wait for more runs
// to the captured poll that found them.
TEST(CaptureReplay, AWaitForBytesAlreadyCountedLeavesTheReplayClockWhereItIs) {
  const std::string path = Temp("waits.kavrolog");
  std::ofstream(path, std::ios::binary)
      << R"({"format":"kavro link recording","version":1,"clock_us":0})"
         "\n"
      << R"({"t":0,"call":"Open","index":1,"status":0,"h":1})"
         "\n"
      << R"({"t":100,"call":"GetStatus","h":1,"status":0,"rx":4})"
         "\n"
      << R"({"t":300,"call":"GetStatus","h":1,"status":0,"rx":8,"event":1})"
         "\n";
  kavro::ReplayLink replay(path);
  void* h = nullptr;
  unsigned int rx = 0, tx = 0, event = 0;
  std::string seen;
  ASSERT_EQ(replay.Open(1, &h), kavro::kFtOk);
  EXPECT_EQ(replay.GetStatus(h, &rx, &tx, &event), kavro::kFtOk);
  for (unsigned int bytes : {4u, 8u}) {
    EXPECT_EQ(replay.WaitForRx(h, bytes, 5000), kavro::kFtOk);
    seen += std::to_string(bytes) + " at " + std::to_string(replay.NowMicroseconds()) + "; ";
  }
  EXPECT_EQ(replay.GetStatus(h, &rx, &tx, &event), kavro::kFtOk);
  EXPECT_EQ(seen + std::to_string(rx) + " " + std::to_string(event), "4 at 100; 8 at 300; 8 1");
  EXPECT_TRUE(replay.ok()) << replay.Diagnostic();
}

// An existing file is refused and kept unless replacing it is asked for.
TEST(CaptureReplay, CaptureThatCannotBeWrittenStopsTheSessionAndSaysWhy) {
  VirtualBus bus;
  bus.AddDevice("KV0001");
  const std::string kept = Temp("kept.kavrolog");
  std::ofstream(kept) << "keep\n";
  for (const auto& [path, why] : std::vector<std::pair<std::string, std::string>>{
           {"/no-such-folder/x", "the file cannot be created (No such file or directory)"},
           {"/dev/full",
            "could not write line 1 (No space left on device); the lines before "
            "it are kept"},
           {kept, kept + " exists and is kept; to replace it, make the link with "
                         "CaptureLink::IfExists::kReplace"}}) {
    if (path == "/dev/full" && !std::ifstream(path)) continue;  // Linux has one
    kavro::CaptureLink capture(bus, path);
    K dll;
    dll.UseLink(&capture);
    EXPECT_EQ(dll.Get_Device_Count(), "Error");
    EXPECT_EQ(Status(dll), "18 Other Errors");
    EXPECT_FALSE(capture.ok());
    EXPECT_EQ(capture.Diagnostic(), std::string("capturing to ") + path + " stopped: " + why);
  }
  std::ifstream in(kept);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep\n");
}

// The link block's other calls (descriptions, open by index, description or location, the
// latency timer, a version reply) captured and replayed: the same statuses and texts, a
// description's byte above 0x7F included. In the file, times count from the capture's start.
TEST(CaptureReplay, OpenByIndexOrDescriptionAndTheLatencyTimerReplayAsCaptured) {
  const std::string path = Temp("calls.kavrolog");
  const auto calls = [](K& dll, kavro::LinkProvider& link) {
    std::string seen;
    const auto note = [&](const std::string& what) {
      seen += std::to_string(dll.ftStatus) + " " + what + "; ";
    };
    void* located = nullptr;  // no board here has a location
    seen += std::to_string(link.OpenEx(reinterpret_cast<void*>(0x1234), 4, &located)) + "; ";
    dll.KAVRO_FT_GetDeviceDescription(reinterpret_cast<void*>(1));
    note(dll.Description);
    dll.KAVRO_FT_OpenExByDescription();
    note("");
    dll.KAVRO_FT_SetLatencyTimer(7);
    note("");
    dll.KAVRO_FT_GetLatencyTimer();
    note("");
    dll.Get_Version_of_Board(dll.ftHandle);
    note(VersionFields(dll));
    dll.KAVRO_FT_Close();
    dll.KAVRO_FT_OpenByIndex(0);
    dll.KAVRO_FT_GetDeviceInfo();
    note(std::to_string(dll.ftDevice));
    dll.KAVRO_FT_Close();
    note("");
    dll.KAVRO_FT_CreateDeviceInfoList();
    note(std::to_string(dll.numDevs));
    return seen;
  };
  VirtualBus bus;
  kavro::emu::AddReadyMadeBoards(bus);
  bus.device(1).board.version[3] = 0x5B;  // a low nibble that is odd
  bus.device(1).description += "\xe9";
  kavro::CaptureLink capture(bus, path, "", kavro::CaptureLink::IfExists::kReplace);
  K dll;
  dll.UseLink(&capture);
  const std::string captured = calls(dll, capture);
  EXPECT_EQ(captured,
            "6; 0 KAVRO USB Interface 4CH\xe9; 0 ; 0 ; 0 ; 0 09 01 02 05 0b; 0 5; 0 ; 0 2; ");
  EXPECT_EQ(capture.records(), 19u);
  EXPECT_EQ(capture.Diagnostic(), bus.Diagnostic());
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  const auto clock_us = nlohmann::json::parse(line)["clock_us"].get<std::uint64_t>();
  std::string times;  // the first record's, each clock read's against its answer, each write's
  for (int n = 0; std::getline(file, line); ++n) {
    const auto j = nlohmann::json::parse(line);
    const auto t = j["t"].get<std::uint64_t>();
    if (n == 0) times += "first " + std::to_string(t) + ", ";
    if (j["call"] == "Clock") times += t + clock_us == j["us"] && t > 0 ? "" : "clock wrong, ";
    if (j["call"] == "Write") times += "wrote " + j["written"].dump() + ", ";
  }
  EXPECT_EQ(times, "first 0, wrote 4, ");
  kavro::ReplayLink replay(path);
  K again;
  again.UseLink(&replay);
  EXPECT_EQ(calls(again, replay), captured);
  EXPECT_EQ(replay.records(), 19u);
  EXPECT_TRUE(replay.finished()) << replay.Diagnostic();
}

}  // namespace
