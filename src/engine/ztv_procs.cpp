#include "engine/ztv_procs.h"

#include <memory>
#include <optional>

#include "core/errors.h"
#include "platform/command_line.h"
#include "platform/paths.h"
#include "platform/registry.h"

namespace ztv {
namespace {

// Opens the settings key for reading and writing, never creating it.
std::unique_ptr<Registry> OpenSettingsKey() {
  auto reg = CreateRegistry(RegRoot::LocalMachine);
  if (!reg->OpenKey(kSettingsKey, false)) throw ETyped(kSettingsKeyMissing);
  return reg;
}

// Reads a string value; an absent value reads as "". A failed read raises a
// plain error with `failure`, or without one lets the registry error through.
std::string ReadSettingString(const std::string& name, const std::optional<std::string>& failure) {
  auto reg = OpenSettingsKey();
  try {
    return reg->ReadString(name);
  } catch (const Exception&) {
    if (!failure) throw;
    throw Exception(*failure);
  }
}

int32_t ReadSettingInteger(const std::string& name, const std::string& failure) {
  auto reg = OpenSettingsKey();
  try {
    return reg->ReadInteger(name);
  } catch (const Exception&) {
    throw Exception(failure);
  }
}

}  // namespace

std::string RelativeInstallationDirectory(const std::string& programFile) {
  std::string path = programFile.substr(0, 260);
  // Directory part with its trailing separator dropped.
  auto pos = path.find_last_of(kPathSeparator);
  std::string dir = pos == std::string::npos ? std::string() : path.substr(0, pos + 1);
  dir = DropTrailingSeparator(dir);
  // Then up to and without the previous separator: the parent directory.
  while (!dir.empty() && dir.back() != kPathSeparator) dir.pop_back();
  return DropTrailingSeparator(dir);
}

std::string GetCurrentVersionDirectory() {
  if (HasParam("IsRelative")) return RelativeInstallationDirectory(ProgramFileName());
  return DropTrailingSeparator(ReadSettingString(
      "CurrentVersionDirectory", std::string("Не удается считать информацию о каталоге установки системы.")));
}

std::string GetBackupDirectory() {
  return DropTrailingSeparator(ReadSettingString(
      "BackupDirectory", std::string("Не удается считать информацию о версии в резервной копии.")));
}

std::string GetUpdateDirectory() {
  return DropTrailingSeparator(ReadSettingString(
      "UpdateDirectory", std::string("Не удается считать информацию о директории для хранения обновлений.")));
}

std::string GetImdFileName() {
  return JoinPath(JoinPath(GetCurrentVersionDirectory(), "ocx"), "IMD.DAT");
}

std::string GetUnpackDirectory() { return JoinPath(GetUpdateDirectory(), kUnpackDirectoryName); }

std::string GetCurrentVersion() {
  return ReadSettingString("CurrentVersion", std::string("Не удается считать информацию о версии системы."));
}

void SetCurrentVersion(const std::string& version) { OpenSettingsKey()->WriteString("CurrentVersion", version); }

int32_t GetCurrentStatus() {
  return ReadSettingInteger("CurrentStatus", "Не удается считать информацию о состоянии текущей версии.");
}

void SetCurrentStatus(int32_t status) { OpenSettingsKey()->WriteInteger("CurrentStatus", status); }

std::string GetBackupVersion() { return ReadSettingString("BackupVersion", std::nullopt); }

void SetBackupVersion(const std::string& version) { OpenSettingsKey()->WriteString("BackupVersion", version); }

}  // namespace ztv
