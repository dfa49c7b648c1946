// kavro: list, inspect, configure and record boards from the command line, on a real link
// (FTDI's D2XX library or libftdi1) or on the built-in emulated boards. Built on the typed API
// (kavro::Board, kavro::Record), so it doubles as a worked example of it.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "links.h"
#include "options.h"
#include "platform/platform.h"
#include "report.h"
#include "subcommands.h"

namespace {

// What was printed must have got there: help on a full disk, or a listing into a closed pipe,
// is a failure, not a success.
int Printed(int code) {
  using namespace kavro::tool;
  std::cout.flush();
  if (std::fflush(stdout) != 0 || std::ferror(stdout) || !std::cout)
    code = std::max(code, Fail(std::string("writing standard output: ") + std::strerror(errno)));
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kavro::tool;
  Options options;
  std::vector<std::string> arguments = kavro::platform::Utf8Arguments(argc, argv);
  std::vector<char*> utf8_argv;
  for (std::string& a : arguments) utf8_argv.push_back(a.data());
  utf8_argv.push_back(nullptr);
  if (const std::optional<int> done = ParseCommandLine(argc, utf8_argv.data(), options))
    return Printed(*done);
  kavro::Result<Links> links = ChooseLink(options);
  if (!links) {
    const std::string& why = links.error().text;
    return links.error().kind == kavro::ErrorKind::kInvalidArgument ? Usage(why) : Fail(why);
  }
  if (options.verbose) std::fprintf(stderr, "kavro: link: %s\n", links->description.c_str());
  const Session session{options, links.value()};
  int code = kExitUsage;
  switch (options.subcommand) {
    case Subcommand::kList: code = List(session); break;
    case Subcommand::kInfo: code = Info(session); break;
    case Subcommand::kRead: code = Read(session); break;
    case Subcommand::kConfig: code = Config(session); break;
    case Subcommand::kReset: code = Reset(session); break;
    case Subcommand::kRegister: code = Register(session); break;
    case Subcommand::kView: code = View(session); break;
    case Subcommand::kCalibrate: code = Calibrate(session); break;
  }
  return Printed(std::max(code, links->Finish(options.verbose)));
}
