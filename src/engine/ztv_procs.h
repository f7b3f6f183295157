// The installation settings: six values of the key
// HKEY_LOCAL_MACHINE\Software\Zorvic\ZTV and the paths derived from them.
// Nothing is cached: every routine opens the key, reads or writes one value
// and closes it again.
#pragma once

#include <cstdint>
#include <string>

namespace ztv {

inline constexpr const char* kSettingsKey = "Software\\Zorvic\\ZTV";
inline constexpr const char* kUnpackDirectoryName = "_ZTV_UPDATE_";

// Message of the error raised when the settings key cannot be opened.
inline constexpr const char* kSettingsKeyMissing =
    "Не удается получить данные из реестра Windows. Возможно, требуется переустановка ЗТВ.";

// The installation directory: the registry value, or with the command-line
// word "IsRelative" the parent of the program's own directory.
std::string GetCurrentVersionDirectory();
std::string GetBackupDirectory();
std::string GetUpdateDirectory();
// GetCurrentVersionDirectory + "ocx" + "IMD.DAT".
std::string GetImdFileName();
// GetUpdateDirectory + "_ZTV_UPDATE_".
std::string GetUnpackDirectory();

std::string GetCurrentVersion();
void SetCurrentVersion(const std::string& version);
int32_t GetCurrentStatus();
void SetCurrentStatus(int32_t status);
std::string GetBackupVersion();
// An empty version is written as an empty value, not deleted.
void SetBackupVersion(const std::string& version);

// The parent of the directory holding `programFile` ("" for a program at the
// root).
std::string RelativeInstallationDirectory(const std::string& programFile);

}  // namespace ztv
