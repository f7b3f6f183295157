#include "ops/net_close.h"

#include <algorithm>

#include "core/text.h"
#include "platform/registry.h"

namespace ztv {
namespace {

constexpr const char* kSelectedFormat = "Выделено %d файл(ов)";
constexpr size_t kMaxBasePath = 1024;

bool SameOpen(const NetFileInfo3& a, const NetFileInfo3& b) {
  return a.id == b.id && a.pathName == b.pathName && a.userName == b.userName;
}

}  // namespace

int PosFrom(std::u32string_view sub, std::u32string_view text, int start) {
  if (sub.empty() || start <= 0) return 0;
  if (static_cast<size_t>(start) > text.size()) return 0;
  const size_t at = text.find(sub, static_cast<size_t>(start - 1));
  return at == std::u32string_view::npos ? 0 : static_cast<int>(at) + 1;
}

int PosFrom(std::string_view sub, std::string_view text, int start) {
  return PosFrom(std::u32string_view(DecodeUtf8(sub)), std::u32string_view(DecodeUtf8(text)), start);
}

bool ReadNetFilesCredentials(std::string& user, std::string& password) {
  user.clear();
  password.clear();
  auto reg = CreateRegistry(RegRoot::LocalMachine);
  if (!reg->OpenKeyReadOnly(kNetFilesKey)) return false;
  user = reg->ReadString("UserName");
  password = reg->ReadString("Password");
  reg->CloseKey();
  return !user.empty();
}

bool ListOrderLess(const std::string& a, const std::string& b) {
  const int c = CompareText(a, b);
  return c != 0 ? c < 0 : a < b;
}

int NetCloseLogic::SelCount() const { return static_cast<int>(std::count(selected_.begin(), selected_.end(), true)); }

void NetCloseLogic::SetItemIndex(int index) {
  itemIndex_ = index >= 0 && index < static_cast<int>(items_.size()) ? index : -1;
}

void NetCloseLogic::SetSelected(int index, bool selected) {
  if (index >= 0 && index < static_cast<int>(selected_.size())) selected_[index] = selected;
}

void NetCloseLogic::SetItems(std::vector<std::string> items) {
  std::sort(items.begin(), items.end(), ListOrderLess);
  items_ = std::move(items);
  selected_.assign(items_.size(), false);
  itemIndex_ = -1;
}

void NetCloseLogic::ClearLabels() {
  lFile.clear();
  lUsers.clear();
  lSelected = fmt::sprintf(kSelectedFormat, 0);
}

void NetCloseLogic::EnumerateFiles() {
  std::vector<NetFileInfo3> entries;
  uint32_t total = 0;
  const uint32_t status = api_.FileEnum(ServerName, BasePath, entries, total);
  if (status != 0) throw ENetFiles(kNetEnumFailed, status);
  FileEntries = std::move(entries);
  EntriesRead = static_cast<uint32_t>(FileEntries.size());
  TotalEntries = total;
  // Several users or handles on one file give one line.
  std::vector<std::string> paths;
  for (const NetFileInfo3& e : FileEntries) {
    if (std::find(paths.begin(), paths.end(), e.pathName) == paths.end()) paths.push_back(e.pathName);
  }
  SetItems(std::move(paths));
  ClearLabels();
}

void NetCloseLogic::ParseServerPath(const std::string& text) {
  ServerName.clear();
  BasePath.clear();
  const std::u32string t = DecodeUtf8(text);
  if (t.size() >= 2 && t[0] == U'\\' && t[1] == U'\\') {
    const int next = PosFrom(std::u32string_view(U"\\"), t, 3);
    if (next <= 3) {
      ServerName = text;
    } else {
      ServerName = EncodeUtf8(std::u32string_view(t).substr(0, next - 1));
      BasePath = EncodeUtf8(std::u32string_view(t).substr(next, kMaxBasePath));
    }
  } else if (!t.empty()) {
    BasePath = text;
  }
}

std::string NetCloseLogic::ApiErrorText(uint32_t code) {
  std::string text = api_.ErrorText(code);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return "API Error: #" + std::to_string(code) + " " + text;
}

int NetCloseLogic::CloseFilesByPath(const std::string& path) {
  int closed = 0;
  for (const NetFileInfo3& e : FileEntries) {
    if (e.pathName != path) continue;
    uint32_t status;
    if (currentKnown_ &&
        std::none_of(current_.begin(), current_.end(), [&](const NetFileInfo3& c) { return SameOpen(c, e); }))
      status = kNetErrorFileNotFound;  // gone, or its identifier now names another open
    else
      status = api_.FileClose(ServerName, e.id);
    if (status == 0) {
      ++closed;
    } else {
      // Identifiers are unsigned 32-bit numbers; shown as the server and
      // ztvtool give them, never negative.
      ErrorList.push_back(fmt::sprintf("ID: %u; Путь: %s; Пользователь: %s, %s", e.id, e.pathName, e.userName,
                                       ApiErrorText(status)));
    }
  }
  return closed;
}

void NetCloseLogic::FormActivate() { EnumerateFiles(); }

void NetCloseLogic::bRefreshClick(const std::string& eServerText) {
  const std::string oldServer = ServerName, oldBase = BasePath;
  ParseServerPath(Trim(eServerText));
  try {
    EnumerateFiles();
  } catch (...) {
    // The list still holds the previous server's opens: closing them must
    // go to that server.
    ServerName = oldServer;
    BasePath = oldBase;
    throw;
  }
  ErrorList.clear();
  ErrorListButtonVisible = false;
  Caption = fmt::sprintf("%s (%s)", kNetCloseCaption, ServerName.empty() ? std::string("локально") : ServerName);
}

void NetCloseLogic::lbFilesClick() {
  if (itemIndex_ < 0) {
    ClearLabels();
    return;
  }
  lFile = items_[itemIndex_];
  std::string users;
  for (const NetFileInfo3& e : FileEntries) {
    if (e.pathName != lFile) continue;
    if (!users.empty()) users += ", ";
    users += e.userName;
  }
  lUsers = users;
  lSelected = fmt::sprintf(kSelectedFormat, SelCount());
}

void NetCloseLogic::lbFilesKeyDown(int key, bool ctrl, bool shift, bool alt) {
  if (!ctrl || shift || alt || (key != 'A' && key != 'a')) return;
  selected_.assign(items_.size(), true);
  lSelected = fmt::sprintf(kSelectedFormat, SelCount());
}

void NetCloseLogic::bDeleteClick() {
  // What the server holds now, to check each identifier before it is used.
  uint32_t total = 0;
  currentKnown_ = api_.FileEnum(ServerName, BasePath, current_, total) == 0;
  int closed = 0;
  for (int i = static_cast<int>(items_.size()) - 1; i >= 0; --i) {
    if (!selected_[i]) continue;
    const int n = CloseFilesByPath(items_[i]);
    if (n > 0) {
      closed += n;
      items_.erase(items_.begin() + i);
      selected_.erase(selected_.begin() + i);
      if (itemIndex_ == i)
        itemIndex_ = -1;
      else if (itemIndex_ > i)
        --itemIndex_;
    }
  }
  currentKnown_ = false;
  current_.clear();
  lSelected = fmt::sprintf("Закрыто: %d; ошибок: %d", closed, static_cast<int>(ErrorList.size()));
  if (!ErrorList.empty()) ErrorListButtonVisible = true;
}

void NetCloseLogic::ShowErrorList() {
  SetItems(ErrorList);
  ErrorListButtonVisible = false;
}

}  // namespace ztv
