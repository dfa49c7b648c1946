// Results of the typed API: a value or a kavro::Error, never an exception. An Error has a kind
// a program can branch on, the D2XX status when a D2XX call failed, the library's text, and a
// one-line hint that says what to do where there is something to say.
#ifndef KAVRO_TYPED_RESULT_H
#define KAVRO_TYPED_RESULT_H

#include <string>
#include <utility>

#include "kavro/export.h"

namespace kavro {

enum class ErrorKind {
  kNotFound,         // no board with that serial number is attached (or none at all)
  kCannotOpen,       // the bridge is there but cannot be opened (held by another program or the
                     // kernel's serial driver, no permission on the USB device)
  kDisconnected,     // the link went away: I/O error, invalid handle, device gone after it was
                     // open; also every call after reconnecting gave up
  kTimedOut,         // the board did not answer within the reply budget ("Timeout Error")
  kBoardRefused,     // the board answered with an error reply ("TEDS Error", "Command Error",
                     // "Packet Frame Error", "Packet Command Error")
  kProtocol,         // a reply that does not match the request, an answer that cannot be
                     // parsed, or another D2XX status
  kNotSupported,     // "Invalid Type of Board", or an operation this board type lacks
  kInvalidArgument,  // a bad argument caught before anything was sent (a channel the board
                     // does not have, a rate code above 15, a count of 0, ...)
  kBadCalibration,   // the stored calibration cannot convert (equal offset and full-scale
                     // readings)
  kLinkUnavailable,  // no link library: the vendor D2XX library is missing and this build has
                     // no libftdi1 link
  kStopped,          // an operation ended by a stop request
};

// "not found", "cannot open", "disconnected", "timed out", ...
KAVRO_API const char* ErrorKindName(ErrorKind kind);

struct KAVRO_API Error {
  ErrorKind kind = ErrorKind::kProtocol;
  unsigned int status = 0;  // the D2XX status when a D2XX call failed, else 0
  std::string text;         // the library's text (ErrorText) or the typed layer's own message
  std::string hint;         // what to do about it; "" when there is nothing to say

  // One line for messages: "timed out: Timeout Error (status 4) - hint". "" for the empty
  // Error a successful Result hands out.
  std::string Describe() const;
};

// A value or an Error. Never throws: value() on an error gives a default-constructed T and
// error() on a success an empty Error (text ""), so check ok() first. A result left unread is a
// failure gone unnoticed: the compiler warns of it.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)), ok_(true) {}  // NOLINT: implicit by design
  Result(Error error) : error_(std::move(error)) {}         // NOLINT: implicit by design

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  const T& value() const { return value_; }
  T& value() { return value_; }
  const T& operator*() const { return value_; }
  T& operator*() { return value_; }
  const T* operator->() const { return &value_; }
  T* operator->() { return &value_; }
  const Error& error() const { return error_; }
  T value_or(T fallback) const { return ok_ ? value_ : fallback; }

 private:
  T value_{};
  Error error_;
  bool ok_ = false;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() : ok_(true) {}
  Result(Error error) : error_(std::move(error)) {}  // NOLINT: implicit by design

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  const Error& error() const { return error_; }

 private:
  Error error_;
  bool ok_ = false;
};

using Status = Result<void>;

}  // namespace kavro

#endif  // KAVRO_TYPED_RESULT_H
