// The link the tool reaches boards through, chosen in one place. First the base link: FTDI's
// D2XX library, libftdi1 or the emulated boards (--link, --emulate, or the tool's own choice).
// Or a capture played back (--replay). Then the links wrapped around it, each forwarding to
// the one inside: the capture of the traffic (--capture), then the frame trace (--trace).
#ifndef KAVRO_TOOL_LINKS_H
#define KAVRO_TOOL_LINKS_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kavro/capture.h"
#include "kavro/link.h"
#include "kavro/result.h"
#include "kavro_emulator.h"
#include "options.h"

namespace kavro::tool {

struct Links {
  // The outermost link: what boards are opened on, and the clock they and the recordings of
  // readings run on.
  LinkProvider* link = nullptr;
  // Which base link, and why when the user named none: "libftdi1 (the default: FTDI's ...)"
  std::string description;
  bool named = false;  // the user named the link (--link, --emulate)

  std::unique_ptr<emu::VirtualBus> emulator;            // the base link when emulated
  std::unique_ptr<LinkProvider> owned_base;             // a libftdi1 link or a replay
  std::vector<std::unique_ptr<LinkProvider>> wrappers;  // innermost first
  ReplayLink* replay = nullptr;                         // the base link with --replay
  CaptureLink* capture = nullptr;                       // among the wrappers with --capture

  // Puts a link around the current outermost one; make gets the link it forwards to.
  void Wrap(const std::function<std::unique_ptr<LinkProvider>(LinkProvider& inner)>& make);
  // Why nothing more can be captured or replayed ("the capture stopped", "the session
  // departed from the capture"); nullptr while it can. A recording of readings ends there.
  const char* Broken() const;
  // When the link finds no board: why no board could have been found at all ("no USB bus could
  // be read: ..." with what to do), or "" when the USB bus could be read. On Linux the USB
  // device folder is /dev/bus/usb, or the folder KAVRO_USB_DIR names.
  std::string NoBus() const;
  // After the subcommand: why the capture stopped or the replay departed, on standard error,
  // and kExitFailure; kExitOk when it went as it should (with verbose, what was captured or
  // replayed).
  int Finish(bool verbose) const;
};

// The base link and its wrappers as the options ask. kLinkUnavailable with a message that says
// what to install or which link to use instead; kInvalidArgument for a --replay FILE that is
// not a capture, or a --capture FILE that exists (without --force) or is another file of the
// command's.
Result<Links> ChooseLink(const Options& options);

}  // namespace kavro::tool

#endif  // KAVRO_TOOL_LINKS_H
