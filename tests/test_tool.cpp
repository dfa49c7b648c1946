// The kavro tool, run as a program against its built-in emulated boards: what it lists, and how
// it exits when something fails.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct Result {
  int code;
  std::string out;  // standard output and standard error together
};

Result Kavro(const std::string& args) {
  const std::string command = std::string(KAVRO_TOOL) + " " + args + " 2>&1";
  FILE* p = popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  const int status = pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

TEST(Tool, ListsTheEmulatedBoards) {
  const Result r = Kavro("--emulate list");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "2 boards attached\n  0  KAVRO-0001\n  1  KAVRO-0009\n");
}

TEST(Tool, FailuresExitWithTheReasonAndUsageErrorsWith2) {
  Result r = Kavro("--emulate info -s NO-SUCH");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("cannot open board NO-SUCH: Device Not Found"), std::string::npos) << r.out;
  r = Kavro("--emulate --emulator-fault drop read -s KAVRO-0001 --raw -n 2 -i 0");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("2  Timeout Error"), std::string::npos) << r.out;
  r = Kavro("--emulate config -s KAVRO-0001 --rate 16");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("Invalid Sampling Rate"), std::string::npos) << r.out;
  for (const char* usage : {"frobnicate", "read --format xml", "read -n 5 -d 2", "read"})
    EXPECT_EQ(Kavro(std::string("--emulate ") + usage).code, 2) << usage;
}

}  // namespace
