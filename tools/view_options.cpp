// The view subcommand's command line: the boards to show, where to serve them, and where
// recordings go.
#include <CLI/CLI.hpp>

#include "options.h"

namespace kavro::tool {

namespace {

const char kAfterView[] =
    "\nServes one page with each board's loads, a plot of the last minute, tare, the sampling\n"
    "rate and recordings (the rows of read, in the --recordings folder, listed for download).\n"
    "Only this machine can reach it unless --listen names another address; then every request\n"
    "needs the token in the printed URL. Ctrl-C stops it (and any recording, with its summary).\n";

}  // namespace

CLI::App* AddView(CLI::App& app, Options& o) {
  CLI::App* view =
      app.add_subcommand("view", "Show boards live in the browser: loads, plot, tare, recordings");
  view->add_option("-s,--serial", o.serials,
                   "Board to show, repeated for several, or all (default: the only one)")
      ->take_all();
  view->add_option("--port", o.port, "TCP port to serve on (default 8070; 0: any free one)")
      ->check(Within(0, 65535, true));
  view->add_option("--listen", o.listen,
                   "Address to serve on (default 127.0.0.1, this machine only; 0.0.0.0: every "
                   "network, token required)");
  view->add_option("-i,--interval", o.interval_ms,
                   "Milliseconds from one reading to the next (default 0: as fast as the board "
                   "answers)")
      ->check(Within(0, 86400000, false));
  view->add_option("--recordings", o.recordings,
                   "Folder recordings are written to and downloaded from (default "
                   "kavro-recordings, made if missing)");
  view->footer(std::string("\nExamples:\n  kavro --emulate view -s all --port 0\n"
                           "  kavro --emulate view -s KAVRO-0009 --recordings /tmp/rec\n") +
               kAfterView);
  return view;
}

}  // namespace kavro::tool
