// Exceptions of the foundation layer: each carries a message; displayText adds the class name.
#pragma once

#include <exception>
#include <string>

namespace fn {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}

  // The class name, e.g. "RangeException".
  virtual const char *name() const noexcept { return "Exception"; }
  const std::string &message() const noexcept { return message_; }
  // "<name>: <message>", or the name alone when the message is empty.
  std::string displayText() const;
  // The message alone.
  const char *what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

#define FN_DECLARE_EXCEPTION(Class, Base)                         \
  class Class : public Base {                                     \
   public:                                                        \
    using Base::Base;                                             \
    const char *name() const noexcept override { return #Class; } \
  }

FN_DECLARE_EXCEPTION(RuntimeException, Exception);
FN_DECLARE_EXCEPTION(RangeException, RuntimeException);
FN_DECLARE_EXCEPTION(NullPointerException, RuntimeException);
FN_DECLARE_EXCEPTION(IllegalStateException, RuntimeException);
FN_DECLARE_EXCEPTION(DataFormatException, RuntimeException);

#undef FN_DECLARE_EXCEPTION

// Reports the exception being handled (call it inside a catch block) at error level in the
// logging category "fn.exception". Never throws.
void unhandledException() noexcept;

}  // namespace fn
