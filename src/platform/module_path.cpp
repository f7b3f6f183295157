#include "platform/module_path.h"

#include <filesystem>
#include <system_error>

#include "build_info.h"
#include "platform/paths.h"

namespace ztv {

std::vector<std::string> ModuleSearchDirectories(const std::string& programDir) {
  if (programDir.empty()) return {};
  const std::filesystem::path dir(programDir);
  // The program's path comes from the kernel with links resolved, so ".."
  // can be taken off by name.
  return {dir.lexically_normal().string(), (dir / ZTV_MODULE_DIR_FROM_PROGRAM_DIR).lexically_normal().string()};
}

std::vector<std::string> ModuleSearchDirectories() {
  return ModuleSearchDirectories(ExtractFileDir(RunningProgramPath()));
}

std::string FindModule(const std::string& fileName) {
  for (const std::string& dir : ModuleSearchDirectories()) {
    const std::filesystem::path candidate = std::filesystem::path(dir) / fileName;
    std::error_code ec;
    if (std::filesystem::is_regular_file(candidate, ec)) return candidate.string();
  }
  return {};
}

}  // namespace ztv
