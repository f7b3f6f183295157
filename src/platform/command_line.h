// The program's command line and its own location.
#pragma once

#include <string>
#include <vector>

namespace ztv {

// Stores the command line (argv[0] is the program). Called once by main();
// tests call it to simulate a start with given parameters.
void SetCommandLine(int argc, const char* const* argv);
void SetCommandLine(const std::vector<std::string>& args);

// Number of parameters after the program name.
int ParamCount();
// Parameter i (1..ParamCount); 0 is the program's own path. Out of range: "".
std::string ParamStr(int i);

// True when one of parameters 1..ParamCount equals `word` ignoring letter case.
bool HasParam(const std::string& word);

// Full path of the running program's file. Tests may override it.
std::string ProgramFileName();
void SetProgramFileNameForTesting(const std::string& path);

}  // namespace ztv
