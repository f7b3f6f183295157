// Identifiers that the server hands to a new open after the list was read:
// a close must never reach a file the administrator did not choose. The
// server here keeps its opens in memory and answers as the server service
// does (identifier not found: 2; enumeration of a server that is gone:
// 1003).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "ops/net_close.h"

using namespace ztv;
using ::testing::ElementsAre;

namespace {

class MemoryServer : public NetFileApi {
 public:
  void SetCredentials(const std::string&, const std::string&) override {}
  uint32_t FileEnum(const std::string&, const std::string& basePath, std::vector<NetFileInfo3>& entries,
                    uint32_t& total) override {
    if (down) return kNetErrorCannotComplete;
    entries.clear();
    for (const auto& [id, e] : opens)
      if (e.pathName.compare(0, basePath.size(), basePath) == 0) entries.push_back(e);
    total = static_cast<uint32_t>(entries.size());
    return 0;
  }
  uint32_t FileClose(const std::string&, uint32_t id) override {
    closeCalls.push_back(id);
    return opens.erase(id) ? 0 : kNetErrorFileNotFound;
  }
  std::string ErrorText(uint32_t code) override {
    return code == kNetErrorFileNotFound ? "The system cannot find the file specified.\r\n" : "";
  }
  void Open(uint32_t id, const std::string& path, const std::string& user) { opens[id] = {id, 3, 0, path, user}; }

  std::map<uint32_t, NetFileInfo3> opens;
  std::vector<uint32_t> closeCalls;
  bool down = false;
};

}  // namespace

TEST(NetCloseReuse, IdentifierGivenToAnotherOpenIsNotClosed) {
  MemoryServer server;
  server.Open(7, "C:\\srv\\a.gdb", "u1");
  server.Open(8, "C:\\srv\\a.gdb", "u2");
  NetCloseLogic logic(server);
  logic.bRefreshClick("\\\\srv");
  ASSERT_THAT(logic.Items(), ElementsAre("C:\\srv\\a.gdb"));

  // u1 lets go; the server gives 7 to an open of another file.
  server.opens.erase(7);
  server.Open(7, "C:\\srv\\b.gdb", "u3");
  logic.SetSelected(0, true);
  logic.bDeleteClick();
  EXPECT_EQ(logic.lSelected, "Закрыто: 1; ошибок: 1");
  EXPECT_THAT(server.closeCalls, ElementsAre(8u));
  ASSERT_TRUE(server.opens.count(7));
  EXPECT_EQ(server.opens[7].pathName, "C:\\srv\\b.gdb");
  // The system's text loses its line break at the end.
  EXPECT_THAT(logic.ErrorList, ElementsAre("ID: 7; Путь: C:\\srv\\a.gdb; Пользователь: u1, API Error: #2 The system "
                                           "cannot find the file specified."));
  EXPECT_TRUE(logic.Items().empty());
}

TEST(NetCloseReuse, ServerThatCannotListBeforeClosingStillGetsTheCloses) {
  MemoryServer server;
  server.Open(1, "C:\\srv\\x.txt", "u1");
  NetCloseLogic logic(server);
  logic.bRefreshClick("");
  logic.SetSelected(0, true);
  server.down = true;  // the check cannot be made: each close answers for itself
  logic.bDeleteClick();
  EXPECT_THAT(server.closeCalls, ElementsAre(1u));
  EXPECT_EQ(logic.lSelected, "Закрыто: 1; ошибок: 0");
}

TEST(NetCloseReuse, FailedEnumerationKeepsEntriesListAndSelection) {
  MemoryServer server;
  server.Open(1, "C:\\srv\\x.txt", "u1");
  server.Open(2, "C:\\srv\\y.txt", "u2");
  NetCloseLogic logic(server);
  logic.bRefreshClick("C:\\srv");
  logic.SetItemIndex(1);
  logic.SetSelected(1, true);
  logic.lbFilesClick();
  server.down = true;
  EXPECT_THROW(logic.EnumerateFiles(), ENetFiles);
  EXPECT_EQ(logic.FileEntries.size(), 2u);
  EXPECT_EQ(logic.EntriesRead, 2u);
  EXPECT_EQ(logic.ItemIndex(), 1);
  EXPECT_EQ(logic.SelCount(), 1);
  EXPECT_EQ(logic.lUsers, "u2");
  EXPECT_EQ(logic.BasePath, "C:\\srv");
  // An empty answer empties the list and the labels.
  server.down = false;
  server.opens.clear();
  logic.EnumerateFiles();
  EXPECT_TRUE(logic.Items().empty());
  EXPECT_EQ(logic.ItemIndex(), -1);
  EXPECT_EQ(logic.lFile, "");
  EXPECT_EQ(logic.lSelected, "Выделено 0 файл(ов)");
}

TEST(NetCloseReuse, ListIsSortedWithoutRegardToCaseAndKeepsDistinctPaths) {
  MemoryServer server;
  server.Open(1, "C:\\b.txt", "u");
  server.Open(2, "C:\\A.txt", "u");
  server.Open(3, "C:\\a.txt", "u");
  server.Open(4, "C:\\b.txt", "v");
  NetCloseLogic logic(server);
  logic.EnumerateFiles();
  EXPECT_THAT(logic.Items(), ElementsAre("C:\\A.txt", "C:\\a.txt", "C:\\b.txt"));
}

TEST(NetCloseReuse, LargeIdentifierIsShownUnsigned) {
  MemoryServer server;
  server.Open(0xC0010004u, "C:\\srv\\x.txt", "u1");
  NetCloseLogic logic(server);
  logic.EnumerateFiles();
  server.opens.clear();  // gone before the close
  logic.SetSelected(0, true);
  logic.bDeleteClick();
  ASSERT_EQ(logic.ErrorList.size(), 1u);
  EXPECT_THAT(logic.ErrorList[0], ::testing::StartsWith("ID: 3221291012; "));
}
