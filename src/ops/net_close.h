// The network open-files window's logic: which files the server service
// reports as open, who holds each, and closing the chosen ones. The list
// box, its selection and the labels are kept here as plain state; the Qt
// window (TfNetClose) draws them and forwards its events.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/errors.h"
#include "platform/net_files.h"

namespace ztv {

// The failed enumeration; Code() is the server's error number, so that a
// caller can offer other credentials when the logon was refused.
class ENetFiles : public Exception {
 public:
  ENetFiles(std::string message, uint32_t code) : Exception(std::move(message)), code_(code) {}
  uint32_t Code() const noexcept { return code_; }
  // The server refused the account (wrong user or password, no rights).
  bool Refused() const noexcept { return code_ == kNetErrorAccessDenied || code_ == kNetErrorLogonFailure; }

 private:
  uint32_t code_;
};

inline constexpr const char* kNetCloseCaption = "Файлы, открытые по сети";
inline constexpr const char* kNetEnumFailed = "Не могу получить список открытых файлов.";

// The first position (from 1) of `sub` in `text` at or after `start`,
// counted in characters; 0 when there is none, when `sub` is empty or when
// `start` is 0 or less.
int PosFrom(std::u32string_view sub, std::u32string_view text, int start);
int PosFrom(std::string_view sub, std::string_view text, int start);  // UTF-8 texts

// The list box's order: letter case ignored, then the exact text.
bool ListOrderLess(const std::string& a, const std::string& b);

// The account the open-files calls log on with: the values "UserName" and
// "Password" of HKEY_LOCAL_MACHINE\Software\Zorvic\ZTV\NetFiles. False
// when the key or the user name is missing.
inline constexpr const char* kNetFilesKey = "Software\\Zorvic\\ZTV\\NetFiles";
bool ReadNetFilesCredentials(std::string& user, std::string& password);

class NetCloseLogic {
 public:
  explicit NetCloseLogic(NetFileApi& api) : api_(api) {}

  // Window state.
  std::string ServerName;  // "" is this computer
  std::string BasePath;    // "" lists all
  std::vector<NetFileInfo3> FileEntries;
  uint32_t EntriesRead = 0;
  uint32_t TotalEntries = 0;
  std::vector<std::string> ErrorList;

  // What the window shows.
  const std::vector<std::string>& Items() const { return items_; }
  const std::vector<bool>& Selected() const { return selected_; }
  int ItemIndex() const { return itemIndex_; }
  int SelCount() const;
  std::string lFile;
  std::string lUsers;
  std::string lSelected = "Выделено 0 файл(ов)";
  std::string Caption = kNetCloseCaption;
  bool ErrorListButtonVisible = false;

  // The window's list box tells its current item and selection.
  void SetItemIndex(int index);
  void SetSelected(int index, bool selected);

  // Asks the server service for the open files and fills the list; raises
  // ENetFiles ("Не могу получить список открытых файлов.") and leaves
  // everything as it was when the server does not answer.
  void EnumerateFiles();
  // Sets ServerName and BasePath from a filter text "\\SERVER\D:\Path",
  // "\\SERVER" or "D:\Path".
  void ParseServerPath(const std::string& text);
  // Closes every open of `path` the last enumeration saw; returns how many
  // were closed, each failure becomes a line of ErrorList.
  int CloseFilesByPath(const std::string& path);
  // "API Error: #CODE TEXT".
  std::string ApiErrorText(uint32_t code);

  void FormActivate();
  // A failed refresh keeps the previous server, filter, list and caption.
  void bRefreshClick(const std::string& eServerText);
  void lbFilesClick();
  // Ctrl+A (no Shift, no Alt) selects every item. `key` is the key's code.
  void lbFilesKeyDown(int key, bool ctrl, bool shift, bool alt);
  void bDeleteClick();
  void ShowErrorList();

 private:
  void SetItems(std::vector<std::string> items);
  void ClearLabels();

  NetFileApi& api_;
  std::vector<std::string> items_;
  std::vector<bool> selected_;
  int itemIndex_ = -1;
  // The opens the server reports just before a close: an identifier the
  // server has given to another open since the list was read is not closed.
  std::vector<NetFileInfo3> current_;
  bool currentKnown_ = false;
};

}  // namespace ztv
