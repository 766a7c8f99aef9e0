// The command line's arguments as UTF-8, whatever the system hands over.
#pragma once

#include <string>
#include <vector>

namespace kistwerk {

// The arguments after the program name. On Windows they come from the UTF-16
// command line (wmain), so a name outside the ANSI code page arrives whole.
#ifdef _WIN32
std::vector<std::string> commandLineArguments(int argc, wchar_t** argv);
#else
std::vector<std::string> commandLineArguments(int argc, char** argv);
#endif

// On Windows, where no shell expands them, "*" and "?" in the file-name part of
// an input become the files they match, in name order; a pattern that matches
// no file stays as it is (and then cannot be read). Elsewhere the shell has
// done this already and the inputs stay as they are.
std::vector<std::string> expandWildcards(const std::vector<std::string>& inputs);

} // namespace kistwerk
