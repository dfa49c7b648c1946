// How the typed layer turns a failure of the command layer into a kavro::Error, and the
// hints that say what to do. Every error of the typed API is made here.
#ifndef KAVRO_API_ERRORS_H
#define KAVRO_API_ERRORS_H

#include <string>

#include "protocol/result.h"
#include "kavro/link.h"
#include "kavro/result.h"

namespace kavro::detail {

// Where the call stood: listing boards, opening one, or working on a board that was open.
enum class Stage { kListing, kOpening, kOpen };

// The error kind of a failure of the command layer, with its text and hint. `link` is the
// provider the call went to (for its availability, diagnostic and name); `reconnects` says
// whether the board reopens itself.
Error Classify(const Failure& failure, Stage stage, const LinkProvider& link, bool reconnects);

// An error of the typed layer's own (bad argument, unusable calibration, ...), with its hint.
Error OwnError(ErrorKind kind, std::string text);

// The link is gone: a reading or a reopen failed because the board is not there.
Error LinkGone(std::string text, unsigned int status, bool reconnects);

}  // namespace kavro::detail

#endif  // KAVRO_API_ERRORS_H
