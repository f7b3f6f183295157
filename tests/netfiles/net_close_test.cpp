// The open-files logic against a real Samba server: listing with the
// filters, who holds a file, selecting, closing (all, some or none of a
// file's opens) and a server that refuses or is not there.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "ops/net_close.h"
#include "smb_server.h"
#include "support/registry_fixture.h"

using namespace ztv;
using namespace ztv::test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// The filter text and its parts.
TEST(NetClosePath, PosFromCountsCharactersFromOne) {
  EXPECT_EQ(PosFrom("\\", "\\\\SRV\\D:\\Base", 3), 6);
  EXPECT_EQ(PosFrom("\\", "\\\\SRV\\D:\\Base", 1), 1);
  EXPECT_EQ(PosFrom("\\", "\\\\SRV", 3), 0);
  EXPECT_EQ(PosFrom("", "abc", 1), 0);
  EXPECT_EQ(PosFrom("a", "abc", 0), 0);
  EXPECT_EQ(PosFrom("a", "abc", -5), 0);
  EXPECT_EQ(PosFrom("c", "abc", 3), 3);
  EXPECT_EQ(PosFrom("c", "abc", 4), 0);
  EXPECT_EQ(PosFrom("c", "abc", 100), 0);
  // Characters, not bytes.
  EXPECT_EQ(PosFrom("\\", "\\\\СЕРВЕР\\Д:", 3), 9);
}

TEST(NetClosePath, ParseServerPathSplitsServerAndBase) {
  auto api = CreateNetFileApi();
  NetCloseLogic logic(*api);
  struct Case {
    const char* text;
    const char* server;
    const char* base;
  } cases[] = {
      {"\\\\SRV\\D:\\Base", "\\\\SRV", "D:\\Base"},
      {"\\\\SRV", "\\\\SRV", ""},
      {"\\\\SRV\\", "\\\\SRV", ""},
      {"\\\\", "\\\\", ""},
      {"\\\\\\D:\\x", "\\\\\\D:\\x", ""},  // the next backslash at position 3: all of it is the server
      {"D:\\Base", "", "D:\\Base"},
      {"\\D:\\Base", "", "\\D:\\Base"},
      {"", "", ""},
      {"\\\\СЕРВЕР\\Д:\\База", "\\\\СЕРВЕР", "Д:\\База"},
  };
  for (const Case& c : cases) {
    logic.ServerName = "old";
    logic.BasePath = "old";
    logic.ParseServerPath(c.text);
    EXPECT_EQ(logic.ServerName, c.server) << c.text;
    EXPECT_EQ(logic.BasePath, c.base) << c.text;
  }
  // The base path keeps at most 1024 characters.
  logic.ParseServerPath("\\\\S\\" + std::string(1500, 'x'));
  EXPECT_EQ(logic.BasePath, std::string(1024, 'x'));
}

namespace {

const std::string kLoopback = "\\\\127.0.0.1";

class NetFilesServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new SambaServer; }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(server_ && server_->Running());
    api_ = CreateNetFileApi();
    api_->SetCredentials(kSmbAdmin, SmbPassword(kSmbAdmin));
  }

  // The filter for a folder of the share on the test server.
  static std::string Filter(const std::string& relative) { return kLoopback + "\\" + server_->ServerPath(relative); }
  static std::string Path(const std::string& relative) { return server_->ServerPath(relative); }

  // Refreshes until `pred` holds for the list (the server lets a client's
  // log-off go asynchronously); returns whether it did.
  template <typename P>
  bool RefreshUntil(NetCloseLogic& logic, const std::string& filter, P pred) {
    for (int i = 0; i < 100; ++i) {
      logic.bRefreshClick(filter);
      if (pred(logic.Items())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  static int IndexOf(const NetCloseLogic& logic, const std::string& item) {
    const auto& items = logic.Items();
    auto it = std::find(items.begin(), items.end(), item);
    return it == items.end() ? -1 : static_cast<int>(it - items.begin());
  }

  static SambaServer* server_;
  std::unique_ptr<NetFileApi> api_;
};

SambaServer* NetFilesServer::server_ = nullptr;

}  // namespace

TEST_F(NetFilesServer, FileOfTwoUsersIsOneLineShowingBothUsers) {
  SmbClient one(*server_, kSmbUser1), two(*server_, kSmbUser2);
  ASSERT_GE(one.Open("sub\\shared.txt"), 0);
  ASSERT_GE(two.Open("sub\\shared.txt"), 0);
  ASSERT_GE(one.Open("sub\\own.txt"), 0);

  NetCloseLogic logic(*api_);
  logic.bRefreshClick("  " + Filter("sub") + "  ");  // the edit's text is trimmed
  EXPECT_EQ(logic.Caption, "Файлы, открытые по сети (\\\\127.0.0.1)");
  EXPECT_THAT(logic.Items(), ElementsAre(Path("sub\\own.txt"), Path("sub\\shared.txt")));
  EXPECT_EQ(logic.EntriesRead, 3u);
  EXPECT_EQ(logic.lSelected, "Выделено 0 файл(ов)");

  const int shared = IndexOf(logic, Path("sub\\shared.txt"));
  logic.SetItemIndex(shared);
  logic.SetSelected(shared, true);
  logic.lbFilesClick();
  EXPECT_EQ(logic.lFile, Path("sub\\shared.txt"));
  // Users in the server's order, joined by ", ".
  std::vector<std::string> order;
  for (const auto& e : logic.FileEntries)
    if (e.pathName == Path("sub\\shared.txt")) order.push_back(e.userName);
  ASSERT_EQ(order.size(), 2u);
  EXPECT_EQ(logic.lUsers, order[0] + ", " + order[1]);
  EXPECT_THAT(logic.lUsers, HasSubstr(kSmbUser1));
  EXPECT_THAT(logic.lUsers, HasSubstr(kSmbUser2));
  EXPECT_EQ(logic.lSelected, "Выделено 1 файл(ов)");

  const int own = IndexOf(logic, Path("sub\\own.txt"));
  logic.SetItemIndex(own);
  logic.SetSelected(own, true);
  logic.lbFilesClick();
  EXPECT_EQ(logic.lUsers, kSmbUser1);
  EXPECT_EQ(logic.lSelected, "Выделено 2 файл(ов)");

  logic.SetItemIndex(-1);
  logic.lbFilesClick();
  EXPECT_EQ(logic.lFile, "");
  EXPECT_EQ(logic.lUsers, "");
  EXPECT_EQ(logic.lSelected, "Выделено 0 файл(ов)");
}

TEST_F(NetFilesServer, FiltersByServerAndBasePath) {
  SmbClient one(*server_, kSmbUser1);
  ASSERT_GE(one.Open("sub\\in.txt"), 0);
  ASSERT_GE(one.Open("out.txt"), 0);
  NetCloseLogic logic(*api_);

  logic.bRefreshClick(Filter("sub"));
  EXPECT_THAT(logic.Items(), ElementsAre(Path("sub\\in.txt")));

  // The server alone lists everything it holds open.
  logic.bRefreshClick(kLoopback);
  EXPECT_EQ(logic.ServerName, kLoopback);
  EXPECT_EQ(logic.BasePath, "");
  EXPECT_EQ(logic.Caption, "Файлы, открытые по сети (\\\\127.0.0.1)");
  EXPECT_GE(IndexOf(logic, Path("sub\\in.txt")), 0);
  EXPECT_GE(IndexOf(logic, Path("out.txt")), 0);

  // No filter: this computer's server.
  logic.bRefreshClick("");
  EXPECT_EQ(logic.Caption, "Файлы, открытые по сети (локально)");
  EXPECT_GE(IndexOf(logic, Path("sub\\in.txt")), 0);
  EXPECT_GE(IndexOf(logic, Path("out.txt")), 0);

  // A base path alone filters this computer's opens.
  logic.bRefreshClick(Path("sub"));
  EXPECT_EQ(logic.ServerName, "");
  EXPECT_EQ(logic.Caption, "Файлы, открытые по сети (локально)");
  EXPECT_THAT(logic.Items(), ElementsAre(Path("sub\\in.txt")));

  // Activation lists again with the same server and filter.
  ASSERT_GE(one.Open("sub\\later.txt"), 0);
  logic.FormActivate();
  EXPECT_THAT(logic.Items(), ElementsAre(Path("sub\\in.txt"), Path("sub\\later.txt")));
}

TEST_F(NetFilesServer, ClosedFileLeavesTheListAndItsHandleFails) {
  SmbClient one(*server_, kSmbUser1);
  const int fnum = one.Open("sub\\close-me.txt");
  ASSERT_GE(fnum, 0);
  ASSERT_EQ(one.Write(fnum), "ok");
  const int keep = one.Open("sub\\keep.txt");
  ASSERT_GE(keep, 0);

  NetCloseLogic logic(*api_);
  logic.bRefreshClick(Filter("sub"));
  const int i = IndexOf(logic, Path("sub\\close-me.txt"));
  ASSERT_GE(i, 0);
  logic.SetSelected(i, true);
  logic.bDeleteClick();
  EXPECT_EQ(logic.lSelected, "Закрыто: 1; ошибок: 0");
  EXPECT_THAT(logic.Items(), ElementsAre(Path("sub\\keep.txt")));
  EXPECT_FALSE(logic.ErrorListButtonVisible);
  EXPECT_TRUE(logic.ErrorList.empty());

  EXPECT_THAT(one.Write(fnum), StartsWith("error"));
  EXPECT_EQ(one.Write(keep), "ok");
  EXPECT_TRUE(RefreshUntil(logic, Filter("sub"),
                           [&](const auto& items) { return items == std::vector<std::string>{Path("sub\\keep.txt")}; }));
}

TEST_F(NetFilesServer, OneCloseOfTwoFailsRemovesTheItemAndListsTheError) {
  SmbClient one(*server_, kSmbUser1), two(*server_, kSmbUser2);
  const int f1 = one.Open("sub\\half.txt");
  const int f2 = two.Open("sub\\half.txt");
  ASSERT_GE(f1, 0);
  ASSERT_GE(f2, 0);
  NetCloseLogic logic(*api_);
  logic.bRefreshClick(Filter("sub"));
  ASSERT_THAT(logic.Items(), ElementsAre(Path("sub\\half.txt")));
  uint32_t id2 = 0;
  for (const auto& e : logic.FileEntries)
    if (e.userName == kSmbUser2) id2 = e.id;

  // The second user closes the file before the administrator does.
  ASSERT_EQ(two.Close(f2), "ok");
  logic.SetSelected(0, true);
  logic.bDeleteClick();
  EXPECT_EQ(logic.lSelected, "Закрыто: 1; ошибок: 1");
  EXPECT_TRUE(logic.Items().empty());
  ASSERT_EQ(logic.ErrorList.size(), 1u);
  EXPECT_EQ(logic.ErrorList[0], "ID: " + std::to_string(id2) + "; Путь: " + Path("sub\\half.txt") +
                                    "; Пользователь: ztvuser2, " + logic.ApiErrorText(kNetErrorFileNotFound));
  EXPECT_THAT(logic.ErrorList[0], HasSubstr(", API Error: #2 "));
  EXPECT_TRUE(logic.ErrorListButtonVisible);
  EXPECT_THAT(one.Write(f1), StartsWith("error"));

  logic.ShowErrorList();
  EXPECT_EQ(logic.Items(), logic.ErrorList);
  EXPECT_FALSE(logic.ErrorListButtonVisible);

  // A refresh starts a new error list.
  logic.bRefreshClick(Filter("sub"));
  EXPECT_TRUE(logic.ErrorList.empty());
}

TEST_F(NetFilesServer, FileWhoseEveryCloseFailsStays) {
  SmbClient one(*server_, kSmbUser1), two(*server_, kSmbUser2);
  const int f1 = one.Open("sub\\locked.txt");
  ASSERT_GE(f1, 0);
  ASSERT_GE(two.Open("sub\\locked.txt"), 0);
  // An Administrator may list but not close: every close is refused.
  api_->SetCredentials(kSmbLister, SmbPassword(kSmbLister));
  NetCloseLogic logic(*api_);
  logic.bRefreshClick(Filter("sub"));
  ASSERT_THAT(logic.Items(), ElementsAre(Path("sub\\locked.txt")));
  logic.SetSelected(0, true);
  logic.bDeleteClick();
  EXPECT_EQ(logic.lSelected, "Закрыто: 0; ошибок: 2");
  EXPECT_THAT(logic.Items(), ElementsAre(Path("sub\\locked.txt")));
  ASSERT_EQ(logic.ErrorList.size(), 2u);
  for (const auto& line : logic.ErrorList) EXPECT_THAT(line, HasSubstr(", API Error: #5 "));
  EXPECT_EQ(one.Write(f1), "ok");
  // The errors add up until the next refresh.
  logic.bDeleteClick();
  EXPECT_EQ(logic.lSelected, "Закрыто: 0; ошибок: 4");
}

TEST_F(NetFilesServer, CtrlASelectsAllAndCtrlShiftADoesNothing) {
  SmbClient one(*server_, kSmbUser1);
  ASSERT_GE(one.Open("sub\\a1.txt"), 0);
  ASSERT_GE(one.Open("sub\\a2.txt"), 0);
  ASSERT_GE(one.Open("sub\\a3.txt"), 0);
  NetCloseLogic logic(*api_);
  logic.bRefreshClick(Filter("sub"));
  ASSERT_EQ(logic.Items().size(), 3u);

  logic.lbFilesKeyDown('A', true, true, false);
  logic.lbFilesKeyDown('A', true, false, true);
  logic.lbFilesKeyDown('A', false, false, false);
  logic.lbFilesKeyDown('B', true, false, false);
  EXPECT_EQ(logic.SelCount(), 0);
  EXPECT_EQ(logic.lSelected, "Выделено 0 файл(ов)");
  logic.lbFilesKeyDown('a', true, false, false);
  EXPECT_EQ(logic.SelCount(), 3);
  EXPECT_EQ(logic.lSelected, "Выделено 3 файл(ов)");

  logic.bDeleteClick();
  EXPECT_EQ(logic.lSelected, "Закрыто: 3; ошибок: 0");
  EXPECT_TRUE(logic.Items().empty());
}

TEST_F(NetFilesServer, RefusingOrMissingServerLeavesTheListAsItWas) {
  SmbClient one(*server_, kSmbUser1);
  const int fnum = one.Open("sub\\stay.txt");
  ASSERT_GE(fnum, 0);
  NetCloseLogic logic(*api_);
  logic.bRefreshClick(Filter("sub"));
  ASSERT_THAT(logic.Items(), ElementsAre(Path("sub\\stay.txt")));
  logic.SetSelected(0, true);
  const auto caption = logic.Caption;

  // No server at that address.
  try {
    logic.bRefreshClick("\\\\127.0.0.2\\C:\\srv");
    ADD_FAILURE() << "no error";
  } catch (const ENetFiles& e) {
    EXPECT_STREQ(e.what(), "Не могу получить список открытых файлов.");
    EXPECT_FALSE(e.Refused());
  }
  EXPECT_THAT(logic.Items(), ElementsAre(Path("sub\\stay.txt")));
  EXPECT_EQ(logic.Caption, caption);
  EXPECT_EQ(logic.SelCount(), 1);
  // The list's opens still belong to the server they came from.
  EXPECT_EQ(logic.ServerName, kLoopback);

  // A wrong password.
  auto wrong = CreateNetFileApi();
  wrong->SetCredentials(kSmbAdmin, "not-the-password");
  NetCloseLogic refused(*wrong);
  try {
    refused.bRefreshClick(Filter("sub"));
    ADD_FAILURE() << "no error";
  } catch (const ENetFiles& e) {
    EXPECT_STREQ(e.what(), "Не могу получить список открытых файлов.");
    EXPECT_TRUE(e.Refused()) << e.Code();
  }
  EXPECT_TRUE(refused.Items().empty());
  EXPECT_EQ(refused.Caption, "Файлы, открытые по сети");

  // Activation fails the same way and keeps the list.
  logic.ServerName = "\\\\127.0.0.2";
  EXPECT_THROW(logic.FormActivate(), ENetFiles);
  EXPECT_THAT(logic.Items(), ElementsAre(Path("sub\\stay.txt")));
  logic.ServerName = kLoopback;

  // Closing after the failed refresh goes to the right server.
  logic.bDeleteClick();
  EXPECT_EQ(logic.lSelected, "Закрыто: 1; ошибок: 0");
  EXPECT_THAT(one.Write(fnum), StartsWith("error"));
}

TEST_F(NetFilesServer, ApiErrorTextIsCodeAndSystemText) {
  NetCloseLogic logic(*api_);
  EXPECT_EQ(logic.ApiErrorText(5), "API Error: #5 " + api_->ErrorText(5));
  EXPECT_THAT(logic.ApiErrorText(5), HasSubstr("denied"));
  EXPECT_THAT(logic.ApiErrorText(2), StartsWith("API Error: #2 "));
  EXPECT_EQ(logic.ApiErrorText(2314), "API Error: #2314 There is not an open file with that identification number.");
  // A number without a text.
  EXPECT_EQ(logic.ApiErrorText(12345), "API Error: #12345 ");
}

TEST(NetFilesCredentials, ReadFromTheSettings) {
  std::string user, password;
  {
    ScopedRegistry reg("[HKEY_LOCAL_MACHINE\\Software\\Zorvic\\ZTV\\NetFiles]\n\"UserName\"=\"adm\"\n\"Password\"=\"s3cret\"\n");
    EXPECT_TRUE(ReadNetFilesCredentials(user, password));
    EXPECT_EQ(user, "adm");
    EXPECT_EQ(password, "s3cret");
  }
  {
    ScopedRegistry reg("[HKEY_LOCAL_MACHINE\\Software\\Zorvic\\ZTV]\n\"CurrentStatus\"=dword:00000001\n");
    EXPECT_FALSE(ReadNetFilesCredentials(user, password));
    EXPECT_EQ(user, "");
  }
}
