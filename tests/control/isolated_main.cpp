// main() for test programs that start and end processes named like the
// system's programs: the tests run in a process space of their own, so the
// code under test never sees (or ends) a program that runs outside.
#include <gtest/gtest.h>

#include "control_support.h"

int main(int argc, char** argv) {
  ztv::test::IsolateProcesses();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
