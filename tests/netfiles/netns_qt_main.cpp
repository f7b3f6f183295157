// main() for the window tests that run a Samba server: a network namespace
// of the program's own first, then the application object.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdio>

#include "gui/application.h"
#include "smb_server.h"

int main(int argc, char** argv) {
  std::string why;
  const bool isolated = ztv::test::EnterOwnNetworkNamespace(why);
  ::testing::InitGoogleTest(&argc, argv);
  if (!isolated && !::testing::GTEST_FLAG(list_tests)) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  QApplication app(argc, argv);
  ztv::SetUpApplication(app);
  return RUN_ALL_TESTS();
}
