// ztvtool netfiles list and close against the real server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>

#include "smb_server.h"
#include "support/registry_fixture.h"

using namespace ztv::test;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

namespace {

using Result = ProgramResult;

Result Tool(const std::string& args, const std::string& input = "") {
  return RunProgram(std::string(ZTVTOOL) + " " + args, input);
}

std::string Credentials(const std::string& user) {
  return "[HKEY_LOCAL_MACHINE\\Software\\Zorvic\\ZTV\\NetFiles]\n\"UserName\"=\"" + user + "\"\n\"Password\"=\"" +
         SmbPassword(user) + "\"\n";
}

// The id of `user`'s open of `path` in a JSON listing, 0 when absent.
uint32_t IdIn(const std::string& json, const std::string& user, const std::string& jsonPath) {
  const std::string tail = ",\"user\":\"" + user + "\",\"path\":\"" + jsonPath + "\"}";
  const size_t at = json.find(tail);
  if (at == std::string::npos) return 0;
  const size_t id = json.rfind("{\"id\":", at);
  return static_cast<uint32_t>(std::stoul(json.substr(id + 6)));
}

std::string JsonPath(std::string path) {
  std::string out;
  for (char c : path) out += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return out;
}

class NetFilesTool : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new SambaServer; }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(server_ && server_->Running()); }
  static SambaServer* server_;
};

SambaServer* NetFilesTool::server_ = nullptr;

}  // namespace

TEST_F(NetFilesTool, ListsAsJsonAndTextAndClosesByIdentifier) {
  ScopedRegistry reg(Credentials(kSmbAdmin));
  SmbClient one(*server_, kSmbUser1), two(*server_, kSmbUser2);
  const int f1 = one.Open("sub\\tool.txt");
  const int f2 = two.Open("sub\\tool.txt");
  ASSERT_GE(f1, 0);
  ASSERT_GE(f2, 0);
  const std::string path = server_->ServerPath("sub\\tool.txt");

  Result list = Tool("netfiles list --json --server '\\\\127.0.0.1' --path '" + server_->ServerPath("sub") + "'");
  ASSERT_EQ(list.code, 0) << list.err;
  EXPECT_EQ(list.err, "");
  EXPECT_THAT(list.out, MatchesRegex("\\[(\\{\"id\":[0-9]+,\"permissions\":[0-9]+,\"locks\":[0-9]+,\"user\":\"[a-z0-9]+\","
                                     "\"path\":\"[^\"]+\"\\},?)+\\]\n"));
  const uint32_t id1 = IdIn(list.out, kSmbUser1, JsonPath(path));
  const uint32_t id2 = IdIn(list.out, kSmbUser2, JsonPath(path));
  ASSERT_NE(id1, 0u) << list.out;
  ASSERT_NE(id2, 0u) << list.out;

  // The text form: one tab-separated line per open, this computer by default.
  Result text = Tool("netfiles list --path '" + server_->ServerPath("sub") + "'");
  ASSERT_EQ(text.code, 0) << text.err;
  EXPECT_THAT(text.out, HasSubstr(std::to_string(id1) + "\t3\t0\t" + kSmbUser1 + "\t" + path + "\n"));
  EXPECT_THAT(text.out, HasSubstr(std::to_string(id2) + "\t3\t0\t" + kSmbUser2 + "\t" + path + "\n"));

  // One close succeeds, one names no open: a line each, exit 1.
  Result close = Tool("netfiles close " + std::to_string(id1) + " 7");
  EXPECT_EQ(close.code, 1);
  EXPECT_THAT(close.out, MatchesRegex(std::to_string(id1) + "\tok\n7\tAPI Error: #2 [^\n]+\n"));
  EXPECT_EQ(close.err, "Закрыто: 1; ошибок: 1\n");
  EXPECT_THAT(one.Write(f1), ::testing::StartsWith("error"));
  EXPECT_EQ(two.Write(f2), "ok");

  Result ok = Tool("netfiles close " + std::to_string(id2));
  EXPECT_EQ(ok.code, 0) << ok.err;
  EXPECT_EQ(ok.out, std::to_string(id2) + "\tok\n");
  EXPECT_EQ(ok.err, "");
}

TEST_F(NetFilesTool, FailuresAreOneLineOnStandardError) {
  {
    ScopedRegistry reg(Credentials(kSmbAdmin));
    Result r = Tool("netfiles list --server '\\\\127.0.0.2'");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Не могу получить список открытых файлов.\n");
    // Identifiers are checked before anything is closed.
    Result bad = Tool("netfiles close 12 x13");
    EXPECT_EQ(bad.code, 1);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err, "Неверный идентификатор открытого файла: x13\n");
    Result big = Tool("netfiles close 4294967296");
    EXPECT_EQ(big.code, 1);
    EXPECT_EQ(big.err, "Неверный идентификатор открытого файла: 4294967296\n");
  }
  {
    // A wrong password from standard input; it appears nowhere in the output.
    ScopedRegistry reg("");
    Result r = Tool(std::string("netfiles list --user ") + kSmbAdmin, "wrong-password\n");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Не могу получить список открытых файлов.\n");
    Result good = Tool(std::string("netfiles list --json --user ") + kSmbAdmin, SmbPassword(kSmbAdmin) + "\n");
    EXPECT_EQ(good.code, 0) << good.err;
    EXPECT_THAT(good.out, ::testing::StartsWith("["));
    // No account anywhere.
    Result none = Tool("netfiles list");
    EXPECT_EQ(none.code, 1);
    EXPECT_THAT(none.err, HasSubstr("UserName"));
  }
}
