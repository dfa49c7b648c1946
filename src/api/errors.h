// How the typed layer turns what a KAVRO_USB_DLL call left behind into a kavro::Error, and the
// hints that say what to do. Every error of the typed API is made here.
#ifndef KAVRO_API_ERRORS_H
#define KAVRO_API_ERRORS_H

#include <string>

#include "kavro/link.h"
#include "kavro/result.h"

namespace kavro::detail {

// Where the call stood: listing boards, opening one, or working on a board that was open.
enum class Stage { kListing, kOpening, kOpen };

// What a failed call of the class left: its text result, ErrorText, and ErrorStatus (cleared
// by the typed layer before each call, so non-zero means a D2XX call failed in this one).
struct Outcome {
  std::string result;
  std::string error_text;
  unsigned int status = 0;
};

// The error kind of a failed call, with its hint. `link` is the provider the call went to (for
// its availability, diagnostic and name); `reconnects` says whether the board reopens itself.
Error Classify(const Outcome& outcome, Stage stage, const LinkProvider& link, bool reconnects);

// An error of the typed layer's own (bad argument, unusable calibration, ...), with its hint.
Error OwnError(ErrorKind kind, std::string text);

// The link is gone: a reading or a reopen failed because the board is not there.
Error LinkGone(std::string text, unsigned int status, bool reconnects);

}  // namespace kavro::detail

#endif  // KAVRO_API_ERRORS_H
