// Host exceptions as C++ values. A failed host call during a game (a put or recv that raises, a
// malformed reply) becomes a HostError that owns the exception; the drivers decide what follows.
// An exception that does not derive from Exception (KeyboardInterrupt, SystemExit, ...) is never
// swallowed: it unwinds the call as a HostInterrupt and is given back to the interpreter.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "py_ref.h"

namespace tessarin::py {

class HostError {
 public:
  // Takes the current exception out of the interpreter; a SystemError "attempted to fetch
  // exception but none was set" when there is none.
  static HostError fetch();
  // A new exception of `type` with `message` as its argument.
  static HostError make(PyObject* type, const std::string& message);

  // Makes it the interpreter's current exception again.
  void restore() &&;
  // Derives from Exception.
  bool is_exception() const;
  PyObject* value() const { return value_.get(); }
  // A record of the exception's type, value and traceback, for people to read.
  std::string debug() const;
  // "TypeName: message".
  std::string text() const;

 private:
  HostError(Ref type, Ref value, Ref traceback)
      : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)) {}
  Ref type_;
  Ref value_;
  Ref traceback_;
};

// Unwinds a call that must end with a host exception not derived from Exception.
class HostInterrupt : public std::exception {
 public:
  explicit HostInterrupt(HostError error) : error_(std::move(error)) {}
  const char* what() const noexcept override { return "host interrupt"; }
  HostError take() { return std::move(error_); }

 private:
  HostError error_;
};

// Takes the current exception; throws HostInterrupt when it does not derive from Exception.
HostError take_host_error();

// The UTF-8 text of str(object), or a placeholder when that fails (the failure is dropped).
std::string str_of(PyObject* object);
// The UTF-8 text of repr(object), or a placeholder when that fails (the failure is dropped).
std::string repr_of(PyObject* object);

// Writes `text` to sys.stdout or sys.stderr (`stream` "stdout" or "stderr"). A failure deriving
// from Exception is dropped; any other one throws HostInterrupt.
void write_stream(const char* stream, std::string_view text);

}  // namespace tessarin::py
