// Error classes shared by the whole program.
//
// Every failure the system reports is an exception whose message is the text
// shown to the user (UTF-8). Routines that add context catch only the general
// class `Exception`, so foreign exceptions (std::bad_alloc and the like) pass
// through untouched.
#pragma once

#include <stdexcept>
#include <string>

#include <fmt/printf.h>

namespace ztv {

// The general exception class: a message and nothing else.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Raised by CheckCondition and by the library's typed checks.
class ETyped : public Exception {
 public:
  using Exception::Exception;
};

// A failed operating-system call: the caller's text, CR LF, and the platform's
// error code with its text.
class EWin32 : public Exception {
 public:
  // Uses the calling thread's last error (errno on POSIX).
  explicit EWin32(const std::string& text);
  EWin32(const std::string& text, int code);
  // For errors whose text comes from elsewhere than the C library (a
  // service manager's own message, for instance).
  EWin32(const std::string& text, int code, const std::string& systemMessage);
  int Code() const noexcept { return code_; }

 private:
  int code_;
};

// Stream read/write/open failures.
class EStreamError : public Exception {
 public:
  using Exception::Exception;
};

// The platform's text for an error code ("No such file or directory").
std::string SystemErrorText(int code);

// The platform's last error code of the calling thread.
int LastSystemError();

// Builds a message the way the condition checks do: "Class.Method: text".
// An empty class or method name is left out together with its separator.
std::string TypedMessage(const std::string& className, const std::string& method,
                         const std::string& text);

// printf-style formatting of the system's message patterns.
template <typename... Args>
std::string Format(const std::string& pattern, const Args&... args) {
  return fmt::sprintf(pattern, args...);
}

// Raises ETyped when `condition` is false.
template <typename... Args>
void CheckCondition(bool condition, const std::string& className, const std::string& method,
                    const std::string& pattern, const Args&... args) {
  if (!condition) {
    throw ETyped(TypedMessage(className, method, Format(pattern, args...)));
  }
}

}  // namespace ztv
