// Parsers for the text the Linux platform layer reads from outside: the
// kernel's /proc/<pid>/stat line, the output of `systemctl show` and the
// "#!" line of a script. Each rejects malformed input by returning nothing;
// none of them allocates more than a small multiple of its input.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ztv {

// The fields of /proc/<pid>/stat that the process list uses.
struct ProcStat {
  int pid = 0;
  std::string comm;        // command name (at most 15 bytes from the kernel)
  char state = '?';        // R, S, D, Z, X, ...
  uint64_t flags = 0;      // PF_* flags (0x00200000 = kernel thread)
  uint64_t startTime = 0;  // clock ticks after boot
};

// Parses "pid (comm) state ppid ... starttime ...". The command name may
// hold blanks and parentheses, so it runs up to the last ')'.
std::optional<ProcStat> ParseProcStat(std::string_view text);

// The NUL-separated arguments of /proc/<pid>/cmdline, at most `maxArgs`.
std::vector<std::string> ParseCmdline(std::string_view text, size_t maxArgs);

// Parses the "Name=Value" lines that `systemctl show` prints. Returns nothing
// when a non-empty line has no '=' or an empty name, or a name appears twice.
std::optional<std::map<std::string, std::string>> ParseSystemctlShow(std::string_view text);

// A unit's ActiveState mapped to a service state: inactive and failed are
// stopped (1), active is running (4), activating is start pending (2),
// deactivating is stop pending (3), reloading and refreshing are pending (5),
// maintenance is pending (2). Unknown texts give nothing.
std::optional<int> ServiceStateFromActiveState(std::string_view activeState);

// The interpreter line of a script: "#!/bin/sh -e" gives "/bin/sh" and the
// one optional argument "-e" (the rest of the line, trimmed, as the kernel
// passes it). `head` is the start of the file; the line must end within it.
struct Shebang {
  std::string interpreter;
  std::string argument;  // "" when absent
};
std::optional<Shebang> ParseShebang(std::string_view head);

}  // namespace ztv
