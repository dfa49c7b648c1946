// How the tool reports: exit codes, and failures as one line on standard error with advice a
// user of the tool can act on.
#ifndef KAVRO_TOOL_REPORT_H
#define KAVRO_TOOL_REPORT_H

#include <string>

#include "kavro/result.h"

namespace kavro::tool {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // a board, link or file failure
constexpr int kExitUsage = 2;    // the command line asks for something that cannot be

// "kavro: message" on standard error; returns kExitFailure or kExitUsage.
int Fail(const std::string& message);
int Usage(const std::string& message);
// "kavro: what: kind: text (D2XX status N); advice". A bad argument (a channel the board does
// not have, several boards and no -s) is a usage error, the rest failures.
int Fail(const std::string& what, const Error& error);
// The error's line with the tool's advice in place of advice meant for programs.
std::string Describe(const Error& error);

}  // namespace kavro::tool

#endif  // KAVRO_TOOL_REPORT_H
