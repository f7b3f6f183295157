// Run-time modules: shared objects the programs load with dlopen (the
// MultiRegistry store component). A module is looked for beside the running
// program, then in the private module folder, which lies at a fixed place
// relative to the program's folder ("../lib/x86_64-linux-gnu/ztv-updater"
// from /usr/bin on amd64). An installed copy thus finds its own modules
// wherever its tree was put, without environment variables.
#pragma once

#include <string>
#include <vector>

namespace ztv {

// The folders a module is looked for in, in order: the folder of the running
// program, then the private module folder. Empty when the program's own
// location cannot be read.
std::vector<std::string> ModuleSearchDirectories();

// The same for a program in PROGRAMDIR.
std::vector<std::string> ModuleSearchDirectories(const std::string& programDir);

// The full name of the first FILENAME found in those folders, or empty.
std::string FindModule(const std::string& fileName);

}  // namespace ztv
