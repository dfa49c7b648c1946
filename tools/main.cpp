// kavro: list, inspect, configure and record boards from the command line, on a real link
// (FTDI's D2XX library or libftdi1) or on the built-in emulated boards. Built on the typed API
// (kavro::Board, kavro::Record), so it doubles as a worked example of it.
#include <cstdio>

#include "links.h"
#include "options.h"
#include "report.h"
#include "subcommands.h"

int main(int argc, char** argv) {
  using namespace kavro::tool;
  Options options;
  if (const std::optional<int> done = ParseCommandLine(argc, argv, options)) return *done;
  kavro::Result<Links> links = ChooseLink(options);
  if (!links) return Fail(links.error().text);
  if (options.verbose) std::fprintf(stderr, "kavro: link: %s\n", links->description.c_str());
  const Session session{options, links.value()};
  switch (options.subcommand) {
    case Subcommand::kList: return List(session);
    case Subcommand::kInfo: return Info(session);
    case Subcommand::kRead: return Read(session);
    case Subcommand::kConfig: return Config(session);
    case Subcommand::kReset: return Reset(session);
    case Subcommand::kRegister: return Register(session);
  }
  return kExitUsage;
}
