// A stand-in for the programs the control routines close: the workplace
// program and the database servers. Copied under their names by the tests.
//
//   standin MODE READYFILE
//
// MODE: "exit" (also without arguments or with another word, as when a
// server is started with its own options) ends on the first SIGTERM, "ignore" never ends on SIGTERM,
// "twice" ends on the second one, "now" ends at once. READYFILE is created
// once the signal handling is in place, so a test never signals too early.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

namespace {

volatile sig_atomic_t termCount = 0;
int termsToExit = 1;

void OnTerm(int) {
  termCount = termCount + 1;
  if (termCount >= termsToExit) _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc >= 2 ? argv[1] : "exit";
  if (std::strcmp(mode, "now") == 0) return 0;
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  if (std::strcmp(mode, "ignore") == 0) {
    sa.sa_handler = SIG_IGN;
  } else {
    termsToExit = std::strcmp(mode, "twice") == 0 ? 2 : 1;
    sa.sa_handler = OnTerm;
  }
  sigaction(SIGTERM, &sa, nullptr);
  if (argc >= 3) {
    int fd = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) ::close(fd);
  }
  for (;;) pause();
}
