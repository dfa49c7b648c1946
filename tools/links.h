// The link the tool reaches boards through, chosen in one place. First the base link: FTDI's
// D2XX library, libftdi1 or the emulated boards (--link, --emulate, or the tool's own choice).
// Then the links wrapped around it, each forwarding to the one inside (the frame trace of
// --trace); a link that records or replays the traffic is one more wrapping or base link here.
#ifndef KAVRO_TOOL_LINKS_H
#define KAVRO_TOOL_LINKS_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kavro/clock.h"
#include "kavro/link.h"
#include "kavro/result.h"
#include "kavro_emulator.h"
#include "options.h"

namespace kavro::tool {

struct Links {
  LinkProvider* link = nullptr;  // the outermost link: what boards are opened on
  Clock* clock = nullptr;        // the clock boards and recordings run on; nullptr: steady
  // Which base link, and why when the user named none: "libftdi1 (the default: FTDI's ...)"
  std::string description;
  bool named = false;  // the user named the link (--link, --emulate)

  std::unique_ptr<emu::VirtualBus> emulator;            // the base link when emulated
  std::unique_ptr<LinkProvider> owned_base;             // a libftdi1 link
  std::vector<std::unique_ptr<LinkProvider>> wrappers;  // innermost first

  // Puts a link around the current outermost one; make gets the link it forwards to.
  void Wrap(const std::function<std::unique_ptr<LinkProvider>(LinkProvider& inner)>& make);
};

// The base link and its wrappers as the options ask. kLinkUnavailable with a message that says
// what to install or which link to use instead.
Result<Links> ChooseLink(const Options& options);

}  // namespace kavro::tool

#endif  // KAVRO_TOOL_LINKS_H
