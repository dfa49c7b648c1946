// Error kinds, their names and hints, and the names of connection events: the one place where the
// command layer's failures are classified.
#include "errors.h"

#include "kavro/board.h"

namespace kavro {

const char* ErrorKindName(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNotFound: return "not found";
    case ErrorKind::kCannotOpen: return "cannot open";
    case ErrorKind::kDisconnected: return "disconnected";
    case ErrorKind::kTimedOut: return "timed out";
    case ErrorKind::kBoardRefused: return "board refused";
    case ErrorKind::kProtocol: return "protocol error";
    case ErrorKind::kNotSupported: return "not supported";
    case ErrorKind::kInvalidArgument: return "invalid argument";
    case ErrorKind::kBadCalibration: return "bad calibration";
    case ErrorKind::kLinkUnavailable: return "link unavailable";
    case ErrorKind::kStopped: return "stopped";
  }
  return "unknown";
}

const char* BoardEventKindName(BoardEventKind kind) {
  switch (kind) {
    case BoardEventKind::kDisconnected: return "disconnected";
    case BoardEventKind::kReconnected: return "reconnected";
    case BoardEventKind::kGaveUp: return "gave up";
  }
  return "unknown";
}

std::string Error::Describe() const {
  if (text.empty() && hint.empty() && status == 0) return "";
  std::string line = std::string(ErrorKindName(kind)) + ": " + text;
  if (status != 0) line += " (D2XX status " + std::to_string(status) + ")";
  if (!hint.empty()) line += "; " + hint;
  return line;
}

}  // namespace kavro

namespace kavro::detail {

namespace {

// Statuses that mean the board's link is gone once it was open: invalid handle, device not
// found, device not opened, I/O error.
bool IsLinkGone(unsigned int status) {
  return status == kFtInvalidHandle || status == kFtDeviceNotFound ||
         status == kFtDeviceNotOpened || status == kFtIoError;
}

std::string DisconnectedHint(bool reconnects) {
  return reconnects ? "check the USB cable and power; the board reconnects automatically"
                    : "check the USB cable and power, then open the board again";
}

std::string Hint(ErrorKind kind, FailureKind failure, const LinkProvider* link, bool reconnects) {
  switch (kind) {
    case ErrorKind::kNotFound:
      return "check that the board is plugged in and powered and that the serial number is "
             "right; Board::List() names the boards attached";
    case ErrorKind::kCannotOpen:
      // libftdi1 detaches the kernel's serial driver itself: there, permission comes first.
      if (link != nullptr && link->Name() == "libftdi1") {
        return "you may lack permission on the USB device (Linux: the udev rules and the "
               "plugdev group), or another program holds the bridge: see the README, Using "
               "real hardware";
      }
      return "another program or the kernel's serial driver may hold the bridge (Linux: "
             "ftdi_sio; macOS: AppleUSBFTDI), or you may lack permission on the USB device: see "
             "the README, Using real hardware";
    case ErrorKind::kDisconnected: return DisconnectedHint(reconnects);
    case ErrorKind::kTimedOut:
      return "check the board's power and cable; Reset() restarts a board that stopped "
             "answering";
    case ErrorKind::kBoardRefused:
      return failure == FailureKind::kTedsError
                 ? "check the transducer and its cable: the board cannot read its data sheet"
                 : "";
    case ErrorKind::kLinkUnavailable:
      return (link != nullptr ? link->Diagnostic() + "; " : std::string()) +
             "install FTDI's D2XX library, or use the libftdi1 link";
    case ErrorKind::kBadCalibration:
      return "calibrate the channel again, or record counts instead of loads";
    default: return "";
  }
}

ErrorKind KindOf(const Failure& f, Stage stage, const LinkProvider& link) {
  switch (f.kind) {
    case FailureKind::kLink:
      if (!link.Available()) return ErrorKind::kLinkUnavailable;
      if (stage == Stage::kOpen && IsLinkGone(f.status)) return ErrorKind::kDisconnected;
      if (stage == Stage::kOpening)
        return f.status == kFtDeviceNotFound ? ErrorKind::kNotFound : ErrorKind::kCannotOpen;
      return ErrorKind::kProtocol;
    case FailureKind::kTimeout: return ErrorKind::kTimedOut;
    case FailureKind::kTedsError:
    case FailureKind::kCommandError:
    case FailureKind::kPacketFrameError:
    case FailureKind::kPacketCommandError: return ErrorKind::kBoardRefused;
    case FailureKind::kInvalidTypeOfBoard: return ErrorKind::kNotSupported;
    case FailureKind::kInvalidArgument:
    case FailureKind::kInvalidSamplingRate: return ErrorKind::kInvalidArgument;
    default: return ErrorKind::kProtocol;
  }
}

}  // namespace

Error Classify(const Failure& failure, Stage stage, const LinkProvider& link, bool reconnects) {
  Error e;
  e.kind = KindOf(failure, stage, link);
  const bool has_status =
      failure.kind == FailureKind::kLink || failure.kind == FailureKind::kInvalidArgument;
  e.status = has_status ? failure.status : kFtOk;
  e.text = FailureText(failure);
  e.hint = Hint(e.kind, failure.kind, &link, reconnects);
  // "Other Errors" says nothing by itself: the provider's account of it (a replay that departed
  // from its capture, a capture that could not be written, libftdi1's message) comes first.
  if (e.status == kFtOtherError && e.kind != ErrorKind::kLinkUnavailable) {
    if (const std::string why = link.Diagnostic(); !why.empty())
      e.hint = e.hint.empty() ? why : why + "; " + e.hint;
  }
  return e;
}

Error OwnError(ErrorKind kind, std::string text) {
  Error e;
  e.kind = kind;
  e.text = std::move(text);
  e.hint = Hint(kind, FailureKind::kNone, nullptr, false);
  return e;
}

Error LinkGone(std::string text, unsigned int status, bool reconnects) {
  Error e;
  e.kind = ErrorKind::kDisconnected;
  e.status = status;
  e.text = std::move(text);
  e.hint = DisconnectedHint(reconnects);
  return e;
}

}  // namespace kavro::detail
