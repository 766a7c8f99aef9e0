// Command-line options of kistwerk-cli:
//   kistwerk-cli [-o OUTPUT|FOLDER] [-q] [--unix | --windows] FILE.pfc...
#pragma once

#include <string>
#include <vector>

namespace kistwerk {

// The mailbox form the platform's own mail programs read: LF line ends on
// Linux, CR LF on Windows.
#ifdef _WIN32
constexpr bool kUnixFormByDefault = false;
#else
constexpr bool kUnixFormByDefault = true;
#endif

struct CliOptions {
    bool help = false;
    bool version = false;
    bool quiet = false;
    bool unixStyle = kUnixFormByDefault;  // LF line ends, separator day padded as asctime does
    bool hasOutput = false;
    std::string output;               // with -o; "-" is standard output
    bool outputFolder = false;        // -o names a folder for every input's mailbox file
    std::vector<std::string> inputs;
    std::string error;                // a usage error, in German; empty when none
};

// `isFolder` tells whether an -o path is an existing folder; a path ending in a
// separator is a folder in any case.
CliOptions parseOptions(const std::vector<std::string>& args, bool (*isFolder)(const std::string&) = nullptr);

// The checks of the inputs against the options, again after the input list
// has changed (Windows expands wildcards itself); sets `error`.
void checkInputs(CliOptions& options);

} // namespace kistwerk
