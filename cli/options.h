// Command-line options of kistwerk-cli:
//   kistwerk-cli [-o OUTPUT] [-q] [--unix] FILE.pfc...
#pragma once

#include <string>
#include <vector>

namespace kistwerk {

struct CliOptions {
    bool help = false;
    bool version = false;
    bool quiet = false;
    bool unixStyle = false;           // LF line ends, separator day padded as asctime does
    bool hasOutput = false;
    std::string output;               // with -o; "-" is standard output
    std::vector<std::string> inputs;
    std::string error;                // a usage error, in German; empty when none
};

CliOptions parseOptions(const std::vector<std::string>& args);

} // namespace kistwerk
