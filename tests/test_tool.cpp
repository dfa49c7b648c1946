// The kavro tool, run as a program in a scratch folder against its emulated boards, on the
// emulator's virtual time unless a case says otherwise: fast, and no machine load can make a
// reply late. $T is the tool, $K the tool with --emulate.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>

namespace {

struct Ran {
  int code;
  std::string out;  // standard output and standard error together
};

class Tool : public ::testing::Test {
 public:
  ~Tool() override { Run("rm -rf " + scratch_); }

  // Runs a shell script in the test's scratch folder.
  Ran Run(const std::string& script) const {
    const std::string command =
        "cd " + scratch_ + " && T=" + KAVRO_TOOL + " && K=\"$T --emulate\"" +
        " && export KAVRO_EMULATOR_CLOCK=virtual XDG_CONFIG_HOME=$PWD/config && { " + script +
        "; } 2>&1";
    FILE* p = popen(command.c_str(), "r");
    std::string out;
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof(buf), p)) > 0;) out.append(buf, n);
    const int status = pclose(p);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
  }
  std::string File(const std::string& name) const {
    std::ifstream in(scratch_ + "/" + name);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  char dir_[32] = "/tmp/kavro-tool-XXXXXX";
  const std::string scratch_ = mkdtemp(dir_);
};

// The lines of a text; with rows_only, without the header lines that start with "#".
std::vector<std::string> Lines(const std::string& text, bool rows_only = false) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!rows_only || line.rfind('#', 0) != 0) lines.push_back(line);
  }
  return lines;
}

// The summary's count of readings, -1 when there is no summary.
long SummaryReadings(const std::string& out) {
  std::smatch m;
  return std::regex_search(out, m, std::regex("summary: (\\d+) readings")) ? std::stol(m[1]) : -1;
}

TEST_F(Tool, EveryHelpExampleRunsAsWritten) {
  const Ran helps = Run("for s in '' list info read config reset register; do $T $s --help; done");
  int examples = 0;
  for (const std::string& line : Lines(helps.out)) {
    if (line.rfind("  kavro ", 0) != 0) continue;
    ++examples;
    const Ran r = Run("$T" + line.substr(7));
    EXPECT_EQ(r.code, 0) << line << "\n" << r.out;
  }
  EXPECT_EQ(examples, 30);
}

// Nothing recorded is lost, and no file is emptied: each case's exit code, message, and what
// the file holds afterwards (its start, and how many lines besides the "#" header lines; -1:
// one per reading the summary counts, after the column header).
TEST_F(Tool, NothingRecordedIsLostAndNoFileIsEmptied) {
  const std::string interrupted =
      "$K read -s KAVRO-0001 -d 1e9 --format csv -o f & p=$!; "
      "for i in $(seq 3000); do [ \"$(wc -l < f)\" -gt 3 ] && break; sleep 0.01; done 2>/dev/null; "
      "kill -";
  struct Case {
    std::string script;
    int code;
    const char* says;
    const char* file_starts;
    long lines;
  } cases[] = {
      {"$K read -s KAVRO-0001 -o /dev/full", 1, "writing /dev/full: No space left on device", "",
       0},
      {"ulimit -f 1; $K read -s KAVRO-0001 -n 100 --format csv --no-comments -o f", 1,
       "writing f: File too large; the recording ended there, and the 5 rows written before are "
       "kept",
       "time,elapsed_s,serial,channel,counts,load,note,session\n", 6},
      {"echo keep > f; $K read -s KAVRO-0001 -o f", 2,
       "f exists: give --append to add to it or --force to replace it", "keep\n", 1},
      {"echo keep > f; $K read -s KAVRO-001 --force -o f", 1, "cannot open KAVRO-001: not found",
       "keep\n", 1},
      {"echo keep > f; $K read -s KAVRO-0001 -n 2 --format csv --append -o f", 2,
       "--append f: its first line \"keep\" does not start CSV rows of loads", "keep\n", 1},
      {"$K read -s KAVRO-0001 -n 1 --format json -o f; $K read -s KAVRO-0001 --raw --append -o f",
       2, "does not start table rows of converter counts (--raw)", "{\"type\":\"session\"", 3},
      {"$K read -s KAVRO-0001 -o nowhere/f", 1, "cannot open nowhere/f: No such file or directory",
       "", 0},
      {"KAVRO_EMULATOR_CLOCK=real $K --emulator-unplug 0,100 read -s KAVRO-0001 --wait -o f 2>e & "
       "p=$!; for i in $(seq 3000); do grep -q waiting e && break; sleep 0.01; done; kill $p; "
       "wait $p; c=$?; cat e; exit $c",
       1,
       "waiting for KAVRO-0001 (looking every 0.1 s; Ctrl-C ends the wait)\nkavro: stopped by "
       "SIGTERM while waiting for KAVRO-0001; nothing was written",
       "", 0},
      {"s=$(date +%s); for i in $(seq 0 40); do : > n-$(date -u -d @$((s + i)) +%Y%m%dT%H%M%SZ)"
       "-0002; done; $K read -s KAVRO-0001 -d 20 -i 1000 --rotate-every 10s -o n; c=$?; "
       "cat n-*-0001 > f; exit $c",  // every name the second file could have is taken
       1,
       "File exists (the next file of the recording); give --force to replace it; the "
       "recording ended there, and the 10 rows written before are kept",
       "# kavro", 11},
      {interrupted + "TERM $p; wait $p", 0, "ended: stopped by SIGTERM", "# kavro", -1},
      {interrupted + "HUP $p; wait $p", 0, "ended: stopped by SIGHUP", "# kavro", -1},
      {"$K read -s KAVRO-0001 -n 1 --format csv --no-comments -o f; "
       "$K read -s KAVRO-0001 -n 1 --format csv --append -o f",
       2, "no header lines starting with #, so its readers may not skip them", "time,", 2},
      {"for n in 1 2; do $K read -s KAVRO-0001 -n $n --format csv --append -o f; done", 0,
       "ended: count reached", "# kavro", 4},
  };
  for (const Case& c : cases) {
    Run("rm -f f");
    const Ran r = Run(c.script);
    EXPECT_EQ(r.code, c.code) << c.script << "\n" << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.script << "\n" << r.out;
    const std::string file = File("f");
    EXPECT_EQ(file.rfind(c.file_starts, 0), 0u) << c.script << "\n" << file;
    EXPECT_EQ(Lines(file, true).size(), c.lines < 0 ? SummaryReadings(r.out) + 1 : c.lines)
        << c.script;
    EXPECT_EQ(file.empty() ? '\n' : file.back(), '\n') << c.script;
  }
  // The sessions appended last: each row names the start of its own.
  std::vector<std::string> session;
  for (const std::string& row : Lines(File("f"), true))
    session.push_back(row.substr(row.rfind(',')));
  EXPECT_TRUE(session[1] != session[2] && session[2] == session[3]) << File("f");
}

// Every board attached on one schedule, KAVRO-0009 unplugged for 0.2 s (the tool's open and
// header took the first 0.235 s): its rows fail at the due time 0.5 s and KAVRO-0001's do not; a row per board, channel and
// due time, a header line and a summary per board, and the totals. JSON lines say the same.
TEST_F(Tool, SeveralBoardsAreRecordedOnOneScheduleEachWithItsRowsAndSummary) {
  const Ran r = Run("$K --emulator-unplug 0.5,0.2,KAVRO-0009 read -s all -c all -n 6 -i 250 "
                    "--format csv -o f");
  EXPECT_EQ(r.code, 0) << r.out;
  std::map<std::string, std::string> rows;  // per board and channel: "." a reading, "x" a failure
  int boards = 0;
  for (const std::string& line : Lines(File("f"))) {
    boards += std::regex_match(line, std::regex("# board KAVRO-000[19]: type .*")) ? 1 : 0;
    std::smatch m;
    if (std::regex_match(line, m, std::regex("[^#][^,]*,[^,]*,(KAVRO-000.),(\\d),(\\d*),.*")))
      rows[m[1].str() + "/" + m[2].str()] += m[3].length() > 0 ? "." : "x";
  }
  EXPECT_EQ(boards, 2);
  const std::string nine = "..x...";
  EXPECT_EQ(rows, (std::map<std::string, std::string>{{"KAVRO-0001/0", "......"},
                                                      {"KAVRO-0009/0", nine},
                                                      {"KAVRO-0009/1", nine},
                                                      {"KAVRO-0009/2", nine},
                                                      {"KAVRO-0009/3", nine}}))
      << File("f");
  for (const char* said : {"summary KAVRO-0001: 6 readings", "summary KAVRO-0009: 20 readings",
                           "s), 4 failed, 0 missed\n", "summary: 26 readings",
                           "4 failed, 0 missed, 2 boards\n  gaps: 1, 0.2"})
    EXPECT_NE(r.out.find(said), std::string::npos) << said << "\n" << r.out;

  const Ran json = Run("$K read -s KAVRO-0009 -s KAVRO-0001 -n 2 --format json");
  std::string types;
  for (const std::string& line : Lines(json.out)) {
    const nlohmann::json row = nlohmann::json::parse(line, nullptr, false);
    if (row.is_discarded()) continue;
    types += row["type"].get<std::string>() + " " + row.value("serial", "-") + " " +
             std::to_string(row.contains("boards") ? row["boards"].size() : 0) + "; ";
  }
  EXPECT_EQ(types.substr(0, 12), "session - 2;");
  EXPECT_NE(types.find("summary KAVRO-0009 0; summary KAVRO-0001 0; total - 1; "),
            std::string::npos)
      << types;
}

// Unplugged 2 s into the recording for 2 s: the loss shows at the due time 2.0 s, the board is
// looked for every 0.1 s while it is gone, and the twentieth try finds it back at once.
TEST_F(Tool, ARecordingAcrossAnUnplugKeepsTheRowsBeforeAndAfterAndReportsTheGap) {
  const Ran r = Run("$K --emulator-unplug 2,2 read -s KAVRO-0001 -d 6 --format json -o f");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(
      r.out.find("  gaps: 1, 2.000 s in all\n"
                 "       1 failed: disconnected: IO Error (D2XX status 4)\n"
                 "      19 failed: disconnected: reconnecting: Device Not Found (D2XX status 2)\n"
                 "  ended: duration reached\n"),
      std::string::npos)
      << r.out;
  std::map<std::string, int> rows;
  int before = 0, after = 0;
  nlohmann::json summary, events = nlohmann::json::array();
  for (const std::string& line : Lines(File("f"))) {
    const nlohmann::json row = nlohmann::json::parse(line);
    const std::string type = row["type"];
    ++rows[type];
    if (type == "reading") (row["elapsed_s"] < 2.0 ? before : after) += 1;
    if (type == "summary") summary = row;
    if (type == "disconnected" || type == "reconnected")
      events.push_back({type, row["elapsed_s"], row.value("gap_s", 0.0), row.value("attempts", 0)});
  }
  EXPECT_EQ(rows, (std::map<std::string, int>{{"disconnected", 1},
                                              {"failure", 20},
                                              {"reading", 40},
                                              {"reconnected", 1},
                                              {"session", 1},
                                              {"summary", 1}}));
  EXPECT_EQ(std::make_pair(before, after), std::make_pair(20, 20));
  EXPECT_EQ(events, nlohmann::json::parse(R"([["disconnected", 2.0, 0.0, 0],
                                              ["reconnected", 4.0, 2.0, 20]])"));
  EXPECT_EQ(summary["gaps"], 1);
  EXPECT_EQ(summary["gap_s"], 2.0);

  const Ran strict =
      Run("$K --emulator-unplug 2,2 read -s KAVRO-0001 -d 6 --no-reconnect --format csv");
  EXPECT_EQ(strict.code, 1);
  EXPECT_EQ(SummaryReadings(strict.out), 20);
  EXPECT_NE(strict.out.find("stopped at the first failure (--no-reconnect): disconnected"),
            std::string::npos)
      << strict.out;
}

// Rows name their board and channel, carry their time in UTC, and each number once.
TEST_F(Tool, SeveralChannelsRecordTogetherEachRowNamingItsBoardAndChannel) {
  const char* row = "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z,\\d+\\.\\d{3},";
  struct Case {
    const char* args;
    std::vector<std::string> rows;  // each after the time, as a pattern
    const char* says;
  } cases[] = {
      {"-s KAVRO-0009 -c 0,2 -n 2",
       {"KAVRO-0009,0,93\\d{5},2[45]\\.\\d\\d,", "KAVRO-0009,2,113\\d{5},22[45]\\.\\d\\d,",
        "KAVRO-0009,0,93\\d{5},2[45]\\.\\d\\d,", "KAVRO-0009,2,113\\d{5},22[45]\\.\\d\\d,"},
       "2 values"},
      {"-s KAVRO-0001 -c all -n 1 --raw", {"KAVRO-0001,0,8\\d{5},"}, "counts: min 8"},
      {"-s KAVRO-0009 -c 1 -n 1 --tare",
       {"KAVRO-0009,1,10\\d{6},-?0\\.\\d\\d,"},
       "tared at 100.09 (the mean of 10 readings)"},
      {"-s KAVRO-0009 -c all -i 1 -n 3", std::vector<std::string>(12, "KAVRO-0009,\\d,.*"),
       "12 readings in 0.02 s (649.35/s), 0 failed, 15 missed"},
  };
  for (const Case& c : cases) {
    const Ran r =
        Run(std::string("$K read --format csv --no-comments ") + c.args + " 2>err; cat err");
    EXPECT_EQ(r.code, 0) << r.out;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_GT(lines.size(), c.rows.size()) << r.out;
    EXPECT_EQ(lines[0], std::string("time,elapsed_s,serial,channel,counts,") +
                            (std::strstr(c.args, "--raw") ? "note" : "load,note") + ",session");
    for (std::size_t i = 0; i < c.rows.size(); ++i)
      EXPECT_TRUE(std::regex_match(lines[i + 1], std::regex(row + c.rows[i] + ",\\d{4}-.*Z")))
          << lines[i + 1];
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
  }
}

// Every recording opens with what is needed to read it without the tool, appended sessions
// too: "#" lines in CSV and table (none with --no-comments), the session record in JSON, whose
// board is the one `kavro info --format json` shows; list as JSON.
TEST_F(Tool, EveryRecordingOpensWithAHeaderAndListAndInfoGiveJson) {
  char host[256] = {};
  gethostname(host, sizeof(host) - 1);
  const Ran csv =
      Run("$K read -s KAVRO-0009 -c 0,2 -n 1 --tare --format csv -o a.csv && "
          "$K read -s KAVRO-0009 -c 2 -n 1 --format csv --append -o a.csv");
  std::smatch tare;
  ASSERT_TRUE(std::regex_search(csv.out, tare, std::regex("2 tared at (\\S+) "))) << csv.out;
  std::vector<std::string> blocks[2], sessions;
  for (const std::string& line : Lines(File("a.csv"))) {
    if (line.rfind("# kavro recording", 0) == 0) sessions.push_back("");
    if (line[0] == '#') blocks[sessions.size() - 1].push_back(line);
    if (line[0] != '#' && line[0] != 't') sessions.back() = line.substr(line.rfind(','));
  }
  ASSERT_EQ(sessions.size(), 2u) << File("a.csv");
  const std::string ch2 = "# board KAVRO-0009 channel 2: ";
  blocks[0].erase(blocks[0].begin() + 7, blocks[0].begin() + 10);  // channel 0's, as channel 2's
  EXPECT_EQ(
      blocks[0],
      (std::vector<std::string>{
          "# kavro recording: calibrated loads, one row per channel and due time",
          "# tool: kavro 0.9.0, library KAVRO_USB_DLL 0.9.0",
          "# started: " + sessions[0].substr(1) + " (UTC)", std::string("# host: ") + host,
          "# command: kavro --emulate read -s KAVRO-0009 -c 0,2 -n 1 --tare --format csv -o a.csv",
          "# settings: " + scratch_ + "/config/kavro/settings.json (not there)",
          "# board KAVRO-0009: type 9, version 9.1.2.3.4, 4 channels, link board emulator",
          ch2 + "converter rate code 4, upper field 2 (byte 0x24)",
          ch2 + "calibration offset reading 8389608, full-scale reading 12389608, offset load 0, "
                "full-scale load 30000, unit code 1, decimal point 2",
          ch2 + "loads in unit code 1 by the board's calibration, tare " + tare[1].str() +
              " taken off"}));
  ASSERT_EQ(blocks[1].size(), 10u) << File("a.csv");  // only channel 2, not tared
  EXPECT_EQ(blocks[1][2], "# started: " + sessions[1].substr(1) + " (UTC)");
  EXPECT_EQ(blocks[1][9], ch2 + "loads in unit code 1 by the board's calibration, no tare");

  const Ran table = Run("$K read -s KAVRO-0001 -n 1 --raw; $K read -s KAVRO-0001 --no-comments");
  EXPECT_EQ(table.out.rfind("# kavro recording: converter counts (--raw), one row", 0), 0u);
  EXPECT_NE(table.out.find("ended: count reached\ntime "), std::string::npos);  // no # lines

  const Ran json = Run("$K read -s KAVRO-0001 -n 1 --format json -o j; $K info --format json");
  nlohmann::json session = nlohmann::json::parse(Lines(File("j"))[0]);
  const nlohmann::json info = nlohmann::json::parse(json.out.substr(json.out.find('{')));
  EXPECT_EQ(session["command"], "kavro --emulate read -s KAVRO-0001 -n 1 --format json -o j");
  EXPECT_EQ(session["boards"][0]["channel"][0]["tare"], nullptr);
  session["boards"][0].erase("link");
  session["boards"][0]["channel"][0].erase("tare");
  session["boards"][0]["activity"] = "answering";
  EXPECT_EQ(session["boards"][0], info["boards"][0]);
  EXPECT_EQ(info["boards"][0], nlohmann::json::parse(R"({"serial": "KAVRO-0001", "type": 3,
      "version": "3.1.2.3.4", "channels": 1,
      "converter": {"rate_code": 5, "upper_field": 1, "byte": 21},
      "channel": [{"channel": 0, "calibration": {"offset_reading": 1200,
          "fullscale_reading": 2001200, "offset_load": 0, "fullscale_load": 5000,
          "unit_code": 2, "decimal_point": 1}, "unit": "unit code 2", "load_calibration": "board"}],
      "activity": "answering"})"));
  const nlohmann::json& ch3 = info["boards"][1]["channel"][3];  // a converter per channel
  EXPECT_EQ(ch3["converter"]["byte"], 36) << ch3;
  EXPECT_EQ(nlohmann::json::parse(Run("$K list --format json").out),
            nlohmann::json::parse(R"({"count": 2, "serials": ["KAVRO-0001", "KAVRO-0009"]})"));
  const Ran teds = Run("$K --emulator-fault teds info --format json 2>/dev/null");
  EXPECT_EQ(teds.code, 1);
  EXPECT_NE(nlohmann::json::parse(teds.out)["boards"][1]["error"].dump().find("TEDS Error"),
            std::string::npos);
  EXPECT_NE(Run("$K read --format json --no-comments").out.find("JSON lines have no comment"),
            std::string::npos);
}

// The settings file: missing is no settings, a wrong one is named where it is wrong, another
// board's entries change nothing, a label names the loads. calibrate takes its two steps on the
// emulated boards held at a load, refuses a bad span, keeps the other entries, and read then
// gives loads by the user calibration and says so in the header and the rows.
TEST_F(Tool, SettingsGiveUnitsUserCalibrationAndTareAndCalibrateStoresThem) {
  const std::string c0 = "# board KAVRO-0001 channel 0: ";
  const std::string read = "$K --emulator-load 201000 read -s KAVRO-0001 -n 1 --settings s.json";
  const struct {
    const char* file;
    int code;
    const char* says;
  } files[] = {
      {"", 0, "loads in unit code 2 by the board's calibration, no tare"},  // no file
      {"{\"boards\": {", 2, "settings file s.json: parse error at line 1, column 13"},
      {"{\"boards\": {\"KAVRO-0001\": {\"channels\": {\"0\": {\"tare\": \"1\"}}}}}", 2,
       "s.json: boards.KAVRO-0001.channels.0.tare: a number is expected, not \"1\""},
      {"{\"boards\": {\"KAVRO-0009\": {\"channels\": {\"0\": {\"unit\": \"N\"}}}}}", 0,
       "loads in unit code 2 by the board's calibration, no tare"},
      {"{\"boards\": {\"KAVRO-0001\": {\"channels\": {\"0\": {\"unit\": \"N\", \"tare\": 5}}}}}", 0,
       "loads in N by the board's calibration, default tare 5.0 taken off"},
  };
  for (const auto& f : files) {
    const Ran r = Run(std::string(*f.file ? "printf '%s' '" + std::string(f.file) + "' > s.json; "
                                          : "rm -f s.json; ") +
                      read);
    EXPECT_EQ(r.code, f.code) << f.file << r.out;
    EXPECT_NE(r.out.find(f.code == 0 ? c0 + f.says : f.says), std::string::npos) << r.out;
  }
  const Ran tared =
      Run("$K --emulator-load 221200 read -s KAVRO-0001 -n 1 --settings s.json "
          "--format csv");
  EXPECT_NE(tared.out.find(",221200,50.0,,"), std::string::npos) << tared.out;  // 55.0 less 5

  // Steps: a span needs a zero first; a load of 0 or NaN is refused; a span at the zero's load
  // is refused and keeps the zero; one with the load on stores the calibration and the label.
  const std::string k = "$K --emulator-load ";
  const std::string cal = " calibrate -s KAVRO-0001 --settings s.json";
  Run("printf '{\"boards\": {\"KAVRO-0009\": {\"x\": 1}}, \"mine\": true}' > s.json");
  EXPECT_EQ(Run(k + "1000" + cal + " --span 100").code, 2);
  EXPECT_EQ(Run(k + "1000" + cal + " --zero").code, 0);
  for (const char* bad : {"0", "nan", "inf"})
    EXPECT_EQ(Run(k + "1000" + cal + " --span " + bad).code, 2) << bad;
  const Ran equal = Run(k + "1000" + cal + " --span 100");
  EXPECT_EQ(equal.code, 1);
  EXPECT_NE(equal.out.find("within 1000 counts of the zero reading 1000.0"), std::string::npos);
  EXPECT_EQ(Run(k + "401000" + cal + " --span 100 --unit kg").code, 0) << File("s.json");
  nlohmann::json stored = nlohmann::json::parse(File("s.json"));
  EXPECT_EQ(stored["mine"], true);
  EXPECT_EQ(stored["boards"]["KAVRO-0009"], nlohmann::json::parse(R"({"x": 1})"));
  nlohmann::json& entry = stored["boards"]["KAVRO-0001"]["channels"]["0"];
  const std::string date = entry["calibration"]["date"];
  EXPECT_TRUE(std::regex_match(date, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
  entry["calibration"].erase("date");
  EXPECT_EQ(entry, nlohmann::json::parse(R"({"unit": "kg", "calibration": {"zero_reading": 1000.0,
      "span_reading": 401000.0, "span_load": 100.0}})"));  // the zero is used up

  const Ran csv = Run(read + " --format csv");
  EXPECT_NE(csv.out.find(c0 + "user calibration of " + date +
                         ": zero reading 1000.0, span reading 401000.0 at load 100 (load = "
                         "(counts - 1000.0) * 0.00025)\n" +
                         c0 + "loads in kg by the user calibration, no tare\n"),
            std::string::npos)
      << csv.out;
  EXPECT_NE(csv.out.find(",KAVRO-0001,0,201000,50.000,,"), std::string::npos) << csv.out;
  const Ran json = Run(read + " --format json");
  EXPECT_NE(json.out.find("\"load\":50.0,\"calibration\":\"user\",\"unit\":\"kg\""),
            std::string::npos)
      << json.out;
  // Interactive: Enter unloaded, then the load typed; the emulated load cannot change between
  // the two, so the span is refused as equal to the zero; a load that is no number is refused.
  EXPECT_EQ(Run("printf '\\n100\\n' | " + k + "1000" + cal).code, 1);
  EXPECT_EQ(Run("printf '\\nabc\\n' | " + k + "1000" + cal).code, 2);
  EXPECT_EQ(Run(k + "1000" + cal + " < /dev/null").code, 1);
}

// Rotated files are named after -o by their start and sequence, each opens with its header
// block and part, and they switch between rows: together they hold the rows of the same
// recording written to one file, each once and in order (an unplug across the switch too). By
// size, no file but the last (with the closing summary) outgrows the limit.
TEST_F(Tool, ARotatedRecordingHoldsEveryRowOnceInFilesEachWithItsHeader) {
  struct Case {
    std::string read, rotate, ext;
    std::size_t size;
  } cases[] = {
      {"--emulator-unplug 1195,10 read -s KAVRO-0009 -c 0,2 -d 2500 -i 1000 --format csv",
       "--rotate-every 20m", "csv", 0},
      {"read -s KAVRO-0009 -c 0,2 -d 30 -i 1000 --format json", "--rotate-size 2K", "json", 2048},
      {"read -s KAVRO-0001 -d 40 -i 500", "--rotate-every 15s --rotate-size 4K", "txt", 4096},
  };
  auto untimed = [](const std::string& line) {             // a row without its time and session
    if (line.rfind("time", 0) == 0) return std::string();  // the column names
    if (line[0] != '{')
      return line.find(',') == 24 ? line.substr(24, line.rfind(',') - 24) : line.substr(24);
    nlohmann::json j = nlohmann::json::parse(line);
    j.erase("time");
    return j["type"] == "session" ? std::string() : j.dump();
  };
  for (const Case& c : cases) {
    Run("rm -f r-* one; $K " + c.read + " -o one; $K " + c.read + " " + c.rotate + " -o r." +
        c.ext);
    std::vector<std::string> expected, rows, names = Lines(Run("ls r-*").out);
    for (const std::string& line : Lines(File("one"), true)) expected.push_back(untimed(line));
    for (std::size_t k = 0; k < names.size(); ++k) {
      std::smatch m;
      const std::regex name("r-(\\d{4})(\\d\\d)(\\d\\d)T(\\d\\d)(\\d\\d)(\\d\\d)Z-(\\d{4})\\." +
                            c.ext);
      ASSERT_TRUE(std::regex_match(names[k], m, name) && std::stoul(m[7]) == k + 1) << names[k];
      const std::string start = m[1].str() + "-" + m[2].str() + "-" + m[3].str() + "T" +
                                m[4].str() + ":" + m[5].str() + ":" + m[6].str();
      const std::string file = File(names[k]);
      const std::string head = file.substr(0, file.find(c.ext == "json" ? "\n" : "\ntime"));
      EXPECT_TRUE(std::regex_search(
          head,
          std::regex(c.ext == "json" ? "^\\{\"type\":\"session\",\"time\":\"" + start +
                                           "[^\n]*,\"part\":" + std::to_string(k + 1) + ","
                                     : "^# kavro recording[^]*\n# part: " + std::to_string(k + 1) +
                                           " of the recording, from " + start)))
          << head;
      EXPECT_TRUE(c.size == 0 || k + 1 == names.size() || file.size() <= c.size) << file.size();
      for (const std::string& line : Lines(file, true)) rows.push_back(untimed(line));
    }
    EXPECT_GT(names.size(), 2u) << c.rotate;
    for (auto* v : {&rows, &expected}) v->erase(std::remove(v->begin(), v->end(), ""), v->end());
    EXPECT_EQ(rows, expected) << c.rotate;
  }
}

// A day on virtual time: two boards read every second, each unplugged for a minute every hour
// (KAVRO-0001 in minute 30, KAVRO-0009 in minute 10), rotated every hour: together the 24
// files hold every due time of each board exactly once (a reading, or a failure in that
// board's minute), each file the due times of its hour, and each opens with its header.
TEST_F(Tool, ADayOfTwoBoardsRotatedHourlyHoldsEveryDueTimeOnceInFilesEachWithItsHeader) {
  const Ran r = Run(
      "$K --emulator-unplug 1800,60,3600,KAVRO-0001 --emulator-unplug 600,60,3600,KAVRO-0009 read "
      "-s KAVRO-0001 -s KAVRO-0009 -d 86400 -i 1000 --format csv --rotate-every 1h -o d.csv");
  ASSERT_EQ(r.code, 0) << r.out;
  const std::vector<std::string> names = Lines(Run("ls d-*").out);
  ASSERT_EQ(names.size(), 24u);
  std::map<std::string, std::vector<int>> rows;  // per board, the rows of each due time
  std::map<std::string, int> failed;             // per board and minute of the hour
  const std::regex row("^[^,]*,(\\d+)\\.\\d+,([^,]+),\\d+,(\\d*),");  // due s, serial, counts
  for (std::size_t k = 0; k < names.size(); ++k) {
    const std::string file = File(names[k]);
    EXPECT_EQ(file.rfind("# kavro recording", 0), 0u) << names[k];
    for (const std::string& line : Lines(file, true)) {
      std::smatch f;
      if (!std::regex_search(line, f, row)) continue;
      const auto due = std::stoul(f[1]);
      EXPECT_EQ(due / 3600, k) << line;
      rows[f[2]].resize(86400);
      ++rows[f[2]][std::min(due, 86399ul)];
      if (f[3].length() == 0) ++failed[f[2].str() + " " + std::to_string(due % 3600 / 60)];
    }
  }
  for (const auto& [serial, counts] : rows) EXPECT_EQ(counts, std::vector<int>(86400, 1)) << serial;
  EXPECT_EQ(failed, (std::map<std::string, int>{{"KAVRO-0001 30", 1440}, {"KAVRO-0009 10", 1440}}));
}

// A captured read played back with no board gives the same rows and summary, its unplug, gap and
// times included, at every interval however the real clock fell between its due times and its
// reopens; asked for something else, the replay says where it departed from the capture.
TEST_F(Tool, AReplayedReadGivesTheCapturedRowsAndSaysWhereASessionDeparts) {
  auto after_time = [](const std::string& csv) {  // without the wall-clock time and session
    const std::string rows = std::regex_replace(csv, std::regex(",[^,\n]*\n"), "\n");
    return std::regex_replace(rows, std::regex("\n[^,\n]*,"), "\n");
  };
  // The unplug repeats, so that one falls inside the capture however long a loaded machine
  // takes to open the board.
  for (const std::string interval : {"100", "40"}) {
    const std::string read =
        "read -s KAVRO-0009 -c all -d 1.2 -i " + interval + " --raw --format csv --no-comments -o ";
    const Ran captured = Run("$K --emulator-clock real --emulator-unplug 0.4,0.15,0.5 --capture s" +
                             interval + " " + read + "a" + interval);
    const Ran replayed = Run("$T --replay s" + interval + " " + read + "b" + interval);
    EXPECT_EQ(captured.code, 0) << captured.out;
    EXPECT_EQ(replayed.out, captured.out);
    EXPECT_NE(File("a" + interval).find("reconnected"), std::string::npos) << File("a" + interval);
    EXPECT_EQ(after_time(File("a" + interval)), after_time(File("b" + interval)));
  }

  const Ran departed =
      Run("$K --capture s1 read -s KAVRO-0009 -c 1 -n 2 --raw >/dev/null; "
          "$T --replay s1 read -s KAVRO-0009 -c 0 -n 2 --raw");
  EXPECT_EQ(departed.code, 1);
  EXPECT_TRUE(std::regex_search(
      departed.out,
      std::regex("departed from the capture: s1 record \\d+ \\(line \\d+\\): expected "
                 "Write\\(h=1, data=[0-9a-f]{2}06860164aa\\), got Write\\(h=1, "
                 "data=[0-9a-f]{2}06860064aa\\)\n"
                 "  captured as: kavro --emulate --capture s1 read")))
      << departed.out;
}

// What each mistake or failure says, how the tool exits, and advice it never gives there.
TEST_F(Tool, MistakesAndFailuresAreNamedAndExitAsTheySay) {
  struct Case {
    std::string script;
    int code;
    const char* says;
    const char* never = nullptr;
  } cases[] = {
      {"$K frobnicate", 2, "unknown subcommand 'frobnicate'", "required"},
      {"$K read -s KAVRO-0009 -c 5", 2, "channel 5: KAVRO-0009 has channels 0-3"},
      {"$K read -s KAVRO-0009 -s KAVRO-0001 -c 1", 2, "channel 1: KAVRO-0001 has channel 0 only"},
      {"$K --capture s read -s all -n 1", 2, "--capture: the boards of one recording are read on"},
      {"$K read -s all -s KAVRO-0001", 2, "-s all names every board attached: give it alone"},
      {"$K read -s KAVRO-0001 -s KAVRO-0001", 2, "-s KAVRO-0001 is given twice"},
      {"$K read -s KAVRO-0009 -c 1,2,1", 2, "-c 1,2,1: give a channel, a list of different"},
      {"$K read", 2, "2 boards attached (KAVRO-0001, KAVRO-0009): open one by its serial number"},
      {"$K --emulator-fault drop read -s KAVRO-0001", 1, "timed out: Timeout Error", "--raw"},
      {"$K --emulator-fault drop reset -s KAVRO-0001", 1,
       "restarts when its power is switched off and on", "kavro reset"},
      {"$K --emulator-unplug 0.01,100 read -s KAVRO-0001", 1,
       "(D2XX status 4); check the USB cable and power, then run the command again", "automatic"},
      {"u=1,0.5,2,KAVRO-0009; for s in 9 1; do $K --emulator-unplug $u read -s KAVRO-000$s -d 5 "
       "-i 250 2>&1 | grep -c reconnected; done; true", 0, "2\n0\n"},
      {"$K --emulator-unplug 1,2,2 list", 2, "1,2,2: EVERY must be longer than FOR"},
      {"$K --emulator-unplug 1,1,KAVRO-0003 list", 2, "no emulated board KAVRO-0003 (KAVRO-0001"},
      {"$K --emulator-fault teds info", 1, "TEDS Error; check the transducer and its", "rmmod"},
      {"$K info -s KAVRO-0001", 0, "link: board emulator (virtual time)\nboard KAVRO-0001\n"},
      {"$T --version", 0, "kavro 0.9.0"},
      {"$K list > /dev/full", 1, "writing standard output: No space left on device"},
      {"$T read --help > /dev/full", 1, "writing standard output: No space left on device"},
      {"$K read -s KAVRO-0001 -n 1 --no-comments -o - 2>/dev/null | wc -l; ls -- -", 2,
       "2\nls: cannot access"},
      {"KAVRO_USB_DIR=/nowhere $T --link ftdi list", 1,
       "no USB bus could be read (/nowhere: No such file or directory): in a container, pass the"},
      {"mkdir -p u/001; KAVRO_USB_DIR=u $T --link ftdi info", 1, "no board attached (--emulate"},
      {"mkdir -p e; KAVRO_USB_DIR=e $T --link ftdi read -s X", 1,
       "cannot open X: no USB bus could be read (e holds no USB bus)", "plugged in"},
      {"$K --emulator-unplug 0,2 read -s KAVRO-0001 --wait -n 3", 0,
       "waiting for KAVRO-0001 (looking every 0.1 s; Ctrl-C ends the wait)\nkavro: KAVRO-0001 "
       "attached after 2.0 s of waiting\n"},
      {"$K read -s KAVRO-0001 --rotate-every 1h -o - ", 2, "give -o FILE (not standard output)"},
      {"$K read -s KAVRO-0001 --rotate-every 1h --append -o f", 2,
       "a rotated recording starts new files, each named by its start, and appends to none"},
      {"$K --trace reset -s KAVRO-0001", 0, "-> 02 04 45 aa\n<- 02 04 01 aa\n"},
      {"$T --link d2xx list", 1, "install FTDI's D2XX library", "rmmod"},
      {"KAVRO_USB_DIR=/nowhere LD_LIBRARY_PATH=" KAVRO_DROPIN_DIR " $T --verbose list", 0,
       "link: vendor D2XX library (the default when it is installed)\n2 boards attached"},
      {"KAVRO_EMULATOR_CLOCK=real $K read -s KAVRO-0001 -n 3 -i 20 --raw", 0,
       "ended: count reached"},
      {"echo keep > s; $K --capture s list; c=$?; cat s; (exit $c)", 2,
       "s exists: give --force to replace it\nkeep"},
      // --record, the earlier name of --capture: still taken, no longer shown.
      {"echo keep > s; $K --record s --force list && head -c 10 s && $T --help", 0,
       "\n{\"format\"", "--record"},
      {"$K --force list", 2, "--force needs --capture FILE"},
      {"$K --record a --capture b list", 2, "--record and --capture are one option"},
      {"$K --capture s read -s KAVRO-0001 -o s", 2, "is a file the command reads or writes"},
      {"$T --replay nowhere list", 2, "cannot open the capture nowhere"},
  };
  for (const Case& c : cases) {
    const Ran r = Run(c.script);
    EXPECT_EQ(r.code, c.code) << c.script << "\n" << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.script << "\n" << r.out;
    EXPECT_EQ(c.never ? r.out.find(c.never) : std::string::npos, std::string::npos) << r.out;
  }
}

// Every numeric option refuses NaN, infinities, negatives and what is out of its range, with
// exit 2 and its range in plain numbers, and takes the values at its bounds.
TEST_F(Tool, EveryNumericOptionRefusesWhatIsOutOfItsRange) {
  struct Case {
    std::string command, range, refused, taken;  // X: the value tried
  } cases[] = {
      {"read -s KAVRO-0001 --count=X", "whole number from 1 to 1000000000", "0 1.5 -inf", "1"},
      {"read -s KAVRO-0001 --duration=X", "number from 0.001 to 1000000000", "1e-9 4e-7", "0.001"},
      {"read -s KAVRO-0001 -n 2 --interval=X", "number from 0 to 86400000", "86400001", "0"},
      {"--emulator-unplug=X,1 list", "number from 0 to 86400", "86401", "86400"},
      {"--emulator-unplug=1,X list", "number from 0 to 86400", "1e9", "0"},
      {"config -s KAVRO-0001 --rate=X", "whole number from 0 to 15", "0x10", "15"},
      {"config -s KAVRO-0009 --byte=X", "whole number from 0 to 255", "256", "0x35 255"},
      {"register -s KAVRO-0001 --eeprom=X", "whole number from 0 to 255", "256 1.0", "0xff"},
      {"register -s KAVRO-0009 -c 1 --address=X", "whole number from 0 to 255", "0x100", "0"},
      {"read -s KAVRO-0001 -n 1 --force -o f --rotate-size=X", "size from 1K to 1T",
       "1023 1.5 2T 10Q 1e3 0x400 1..5K", "1K 1024 1.5m"},
      {"read -s KAVRO-0001 -n 1 --force -o f --rotate-every=X", "duration from 1s to 365d",
       "0.5s 366d 2w 1h30m", "1 1S 365d 1.5h"},
  };
  for (const Case& c : cases) {
    std::smatch option;
    std::regex_search(c.command, option, std::regex("--[a-z-]+(?==X)"));
    std::istringstream values("nan inf -1 " + c.refused + " | " + c.taken);
    bool taken = false;
    for (std::string value; values >> value;) {
      if (value == "|") taken = true;
      if (value == "|") continue;
      const Ran r = Run("$K " + std::regex_replace(c.command, std::regex("X"), value));
      EXPECT_EQ(r.code, taken ? 0 : 2) << c.command << " " << value << "\n" << r.out;
      const std::string says = option.str() + ": " + value + " is not a " + c.range;
      EXPECT_EQ(r.out.find(says) == std::string::npos, taken) << r.out;
    }
  }
}

}  // namespace
