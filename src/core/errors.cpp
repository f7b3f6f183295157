#include "core/errors.h"

#include <cerrno>
#include <cstring>

namespace ztv {

std::string SystemErrorText(int code) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(code, buf, sizeof buf);
  return text ? std::string(text) : std::string();
}

int LastSystemError() { return errno; }

EWin32::EWin32(const std::string& text) : EWin32(text, LastSystemError()) {}

EWin32::EWin32(const std::string& text, int code) : EWin32(text, code, SystemErrorText(code)) {}

EWin32::EWin32(const std::string& text, int code, const std::string& systemMessage)
    : Exception(text + "\r\n" + Format("Win32 error. Code: %d. Message: %s", code, systemMessage)),
      code_(code) {}

std::string TypedMessage(const std::string& className, const std::string& method,
                         const std::string& text) {
  std::string prefix = className;
  if (!method.empty()) prefix = prefix.empty() ? method : prefix + "." + method;
  return prefix.empty() ? text : prefix + ": " + text;
}

}  // namespace ztv
