// The kavro tool, run as a program against its built-in emulated boards.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Result {
  int code;
  std::string out;  // standard output and standard error together
};

// Runs the tool with args, behind prefix (another command that starts it), if any.
Result Kavro(const std::string& args, const std::string& prefix = "") {
  const std::string command = prefix + std::string(KAVRO_TOOL) + " " + args + " 2>&1";
  FILE* p = popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  const int status = pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(Tool, ListsTheEmulatedBoards) {
  const Result r = Kavro("--emulate list");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "2 boards attached\n  0  KAVRO-0001\n  1  KAVRO-0009\n");
}

TEST(Tool, InfoShowsTypeVersionConverterAndCalibration) {
  const Result r = Kavro("--emulate info");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(
      r.out.find("board KAVRO-0001\n  activity        answering\n  board type      3\n"
                 "  version         3.1.2.3.4\n  converter       rate code 5, upper field 1\n"),
      std::string::npos)
      << r.out;
  EXPECT_NE(
      r.out.find(
          "    full-scale load     5000\n    unit code           2\n    decimal point       1\n"),
      std::string::npos);
  // The type-9 board's four channels, and no fifth.
  EXPECT_NE(r.out.find("  channel 3\n"), std::string::npos);
  EXPECT_EQ(r.out.find("  channel 4\n"), std::string::npos);
  EXPECT_NE(r.out.find("    full-scale load     40000\n"), std::string::npos);
}

TEST(Tool, CsvRecordingMatchesTheBoardsCalibration) {
  const Result r = Kavro("--emulate read -s KAVRO-0001 -n 50 -i 0 --format csv");
  ASSERT_EQ(r.code, 0) << r.out;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_GE(lines.size(), 51u);
  EXPECT_EQ(lines[0], "timestamp,elapsed_s,raw,value");
  const std::regex row(
      R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3},(\d+\.\d{3}),(-?\d+),(-?\d+\.\d)$)");
  for (int i = 1; i <= 50; ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[static_cast<std::size_t>(i)], m, row))
        << lines[static_cast<std::size_t>(i)];
    // Offset reading 1200 is 0 kg, full-scale reading 2001200 is 5000 (one decimal: 500.0).
    const double raw = std::stod(m[2]);
    const double expected = (raw - 1200) * 5000.0 / 2000000.0 / 10.0;
    EXPECT_NEAR(std::stod(m[3]), expected, 0.051);
  }
  EXPECT_NE(r.out.find("summary: 50 readings"), std::string::npos);
  EXPECT_NE(r.out.find("errors: 0"), std::string::npos);
}

TEST(Tool, JsonLinesParse) {
  const Result r = Kavro("--emulate read -s KAVRO-0009 -c 2 -n 5 -i 0 --format json");
  ASSERT_EQ(r.code, 0) << r.out;
  const std::regex sample(
      R"(^\{"type":"sample","timestamp":"[-0-9T:.]+","elapsed_s":[0-9.]+,"raw":"\d+","value":-?[0-9.]+\}$)");
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_GE(lines.size(), 6u);
  for (int i = 0; i < 5; ++i)
    EXPECT_TRUE(std::regex_match(lines[static_cast<std::size_t>(i)], sample)) << lines[i];
  EXPECT_TRUE(std::regex_match(
      lines[5],
      std::regex(
          R"(^\{"type":"summary","readings":5,"numeric":5,"other":0,"errors":0,"seconds":[0-9.e-]+\}$)")))
      << lines[5];
}

TEST(Tool, DroppedRepliesFailWithTheReason) {
  const Result r = Kavro("--emulate --emulator-fault drop info -s KAVRO-0001");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("Timeout Error"), std::string::npos) << r.out;
  const Result rec = Kavro("--emulate --emulator-fault drop read -s KAVRO-0001 --raw -n 2 -i 0");
  EXPECT_EQ(rec.code, 1);
  EXPECT_NE(rec.out.find("2  Timeout Error"), std::string::npos) << rec.out;
}

TEST(Tool, UnknownSerialAndBadArguments) {
  const Result unknown = Kavro("--emulate info -s NO-SUCH");
  EXPECT_EQ(unknown.code, 1);
  EXPECT_NE(unknown.out.find("cannot open board NO-SUCH: Device Not Found"), std::string::npos)
      << unknown.out;
  EXPECT_EQ(Kavro("--emulate frobnicate").code, 2);
  EXPECT_EQ(Kavro("--emulate read --format xml").code, 2);
  EXPECT_EQ(Kavro("--emulate read -n 5 -d 2").code, 2);
  EXPECT_EQ(Kavro("--emulate read").code, 2);  // two boards: which one?
  EXPECT_EQ(Kavro("--emulate register -s KAVRO-0001").code, 2);
  EXPECT_EQ(Kavro("--link carrier-pigeon list").code, 2);
  const Result help = Kavro("read --help");
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("Example: kavro --emulate read"), std::string::npos);
}

TEST(Tool, CtrlCEndsARecordingCleanlyWithNothingLost) {
  const std::string file = testing::TempDir() + "kavro-interrupted.csv";
  const Result stopped = Kavro("--emulate read -s KAVRO-0001 -d 60 -i 5 --format csv -o " + file,
                                "timeout --preserve-status -s INT 0.5 ");
  EXPECT_EQ(stopped.code, 0) << stopped.out;
  EXPECT_NE(stopped.out.find("interrupted"), std::string::npos) << stopped.out;
  std::FILE* f = std::fopen(file.c_str(), "r");
  ASSERT_NE(f, nullptr);
  std::string csv;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) csv.append(buf, n);
  std::fclose(f);
  const std::vector<std::string> lines = Lines(csv);
  ASSERT_GT(lines.size(), 10u);  // about 100 rows in half a second
  const std::string summary = stopped.out.substr(stopped.out.find("summary: ") + 9);
  EXPECT_EQ(std::stoul(summary), lines.size() - 1);  // every reading counted is in the file
}

TEST(Tool, ConfigRegisterAndReset) {
  Result r = Kavro("--emulate config -s KAVRO-0009 -c 2 --rate 9");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.out, "board KAVRO-0009, channel 2: rate code 9, upper field 2 (byte 0x29)\n");
  r = Kavro("--emulate config -s KAVRO-0001 --rate 16");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("Invalid Sampling Rate"), std::string::npos);
  r = Kavro("--emulate register -s KAVRO-0001 --eeprom 0x5E");
  EXPECT_EQ(r.out, "eeprom 0x5e: 00 13 88\n");
  r = Kavro("--emulate reset -s KAVRO-0001");
  EXPECT_EQ(r.code, 0) << r.out;
  r = Kavro("--emulate --trace register -s KAVRO-0009 --channel 1 --address 0x6A");
  EXPECT_NE(r.out.find("-> 01 06 86 01 6a aa\n<- 01 07 86 00 00 01 aa\n"), std::string::npos)
      << r.out;
}

}  // namespace
