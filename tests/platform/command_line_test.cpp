#include "platform/command_line.h"

#include <gtest/gtest.h>

#include "support/registry_fixture.h"

namespace ztv {
namespace {

TEST(CommandLine, HasParamIsWholeWordIgnoringCase) {
  test::ScopedCommandLine cl({"backup", "ISRELATIVE"});
  EXPECT_EQ(ParamCount(), 2);
  EXPECT_EQ(ParamStr(1), "backup");
  EXPECT_EQ(ParamStr(3), "");
  EXPECT_EQ(ParamStr(0), "/opt/ztv/bin/ztv-updater");
  EXPECT_TRUE(HasParam("IsRelative"));
  EXPECT_TRUE(HasParam("BACKUP"));
  EXPECT_FALSE(HasParam("back"));
  EXPECT_FALSE(HasParam("ztv-updater"));  // the program itself is not a parameter
}

TEST(CommandLine, ProgramPathIsTheRunningExecutable) {
  SetProgramFileNameForTesting("");
  std::string self = ProgramFileName();
  ASSERT_FALSE(self.empty());
  EXPECT_EQ(self[0], '/');
  EXPECT_NE(self.find("platform_tests"), std::string::npos);
}

}  // namespace
}  // namespace ztv
