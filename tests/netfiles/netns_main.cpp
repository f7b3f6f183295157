// main() for the tests that run a Samba server: the program gets a network
// namespace of its own before anything else, so that the server's
// 127.0.0.1:445 and everything the clients reach stay inside it.
#include <gtest/gtest.h>

#include <cstdio>

#include "smb_server.h"

int main(int argc, char** argv) {
  std::string why;
  const bool isolated = ztv::test::EnterOwnNetworkNamespace(why);
  ::testing::InitGoogleTest(&argc, argv);
  if (!isolated && !::testing::GTEST_FLAG(list_tests)) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  return RUN_ALL_TESTS();
}
