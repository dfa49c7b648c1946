// view in a build without cpp-httplib (Windows): the subcommand is known, and says why it cannot
// run here.
#include "report.h"
#include "subcommands.h"

namespace kavro::tool {

int View(const Session&) {
  return Fail("kavro view is not part of this build (it needs cpp-httplib, which it was built "
              "without); read, list and info work as they do elsewhere");
}

}  // namespace kavro::tool
