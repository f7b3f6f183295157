// A stand-in for the programs the control routines close: the workplace
// program and the database servers. Copied under their names by the tests.
//
//   standin MODE READYFILE
//
// MODE: "exit" (also without arguments or with another word, as when a
// server is started with its own options) ends on the first SIGTERM, "ignore" never ends on SIGTERM,
// "twice" ends on the second one, "now" ends at once. READYFILE is created
// once the signal handling is in place, so a test never signals too early.
//
// Started as a database server is (FIREBIRD naming a root whose
// firebird.conf sets RemoteServicePort), it also accepts connections on that
// loopback port, as the server does once it is up.
//
// Under the guardian's name "fbguard" it stands for the guardian: it never
// listens; started as the program starts the guardian ("-daemon") it starts
// the "firebird" beside it with its own environment and ends it when it ends
// itself; started with a MODE it has no server (a guardian whose server's
// start was cut short).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace {

volatile sig_atomic_t termCount = 0;
int termsToExit = 1;
volatile pid_t serverChild = 0;

void OnTerm(int) {
  termCount = termCount + 1;
  if (termCount >= termsToExit) {
    // A guardian takes its server with it.
    if (serverChild > 0) ::kill(serverChild, SIGTERM);
    _exit(0);
  }
}

bool NamedGuardian(const char* argv0) {
  const char* slash = std::strrchr(argv0, '/');
  return std::strcmp(slash ? slash + 1 : argv0, "fbguard") == 0;
}

// Starts the "firebird" beside the guardian, as fbguard does.
void StartServerBeside(const char* argv0) {
  std::string server(argv0);
  server = server.substr(0, server.rfind('/') + 1) + "firebird";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl(server.c_str(), server.c_str(), "exit", static_cast<char*>(nullptr));
    _exit(127);
  }
  serverChild = pid;
}

// Listens where a server of the root named by FIREBIRD would.
void ListenLikeAServer() {
  const char* root = std::getenv("FIREBIRD");
  if (!root || !*root) return;
  std::ifstream conf(std::string(root) + "/firebird.conf");
  std::string line;
  int port = 0;
  while (std::getline(conf, line)) {
    if (line.rfind("RemoteServicePort", 0) == 0) port = std::atoi(line.substr(line.find('=') + 1).c_str());
  }
  if (port <= 0) return;
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return;
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
    ::close(fd);
    return;
  }
  // It takes connections and drops them at once: a client learns quickly
  // that this server answers nothing.
  std::thread([fd] {
    for (;;) {
      int client = ::accept(fd, nullptr, nullptr);
      if (client >= 0) ::close(client);
    }
  }).detach();
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
  if (!NamedGuardian(argv[0]))
    ListenLikeAServer();
  else if (std::strcmp(mode, "-daemon") == 0)
    StartServerBeside(argv[0]);
  if (argc >= 3 && argv[2][0] != '-') {
    int fd = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) ::close(fd);
  }
  for (;;) pause();
}
