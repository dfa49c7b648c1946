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

// A whole number in [low, high]; the message names the option and the range.
CLI::Validator WholeIn(long low, long high) {
  const std::string range = "a whole number from " + std::to_string(low) + " to " +
                            std::to_string(high);
  return CLI::Validator(
      [low, high, range](std::string& text) -> std::string {
        long value = 0;
        std::size_t used = 0;
        try {
          value = std::stol(text, &used, 10);
        } catch (const std::exception&) {
          used = 0;
        }
        if (used == 0 || used != text.size() || value < low || value > high)
          return "'" + text + "' is not " + range;
        return "";
      },
      range.c_str());
}

}  // namespace

CLI::App* AddView(CLI::App& app, Options& o) {
  CLI::App* view =
      app.add_subcommand("view", "Show boards live in the browser: loads, plot, tare, recordings");
  view->add_option("-s,--serial", o.serials,
                   "Board to show, repeated for several, or all (default: the only one)")
      ->take_all();
  view->add_option("--port", o.port, "TCP port to serve on (default 8070; 0: any free one)")
      ->transform(WholeIn(0, 65535));
  view->add_option("--listen", o.listen,
                   "Address to serve on (default 127.0.0.1, this machine only; 0.0.0.0: every "
                   "network, token required)");
  view->add_option("-i,--interval", o.interval_ms,
                   "Milliseconds from one reading to the next (default 0: as fast as the board "
                   "answers)")
      ->check(CLI::Range(0.0, 86400000.0));
  view->add_option("--recordings", o.recordings,
                   "Folder recordings are written to and downloaded from (default "
                   "kavro-recordings, made if missing)");
  view->footer(std::string("\nExamples:\n  kavro --emulate view --port 0\n"
                           "  kavro --emulate view -s all --recordings /tmp/rec\n") +
               kAfterView);
  return view;
}

}  // namespace kavro::tool
