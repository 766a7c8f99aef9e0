// Parsing of kistwerk-cli's arguments.
#include "cli/options.h"

#include "pfc/run.h"

namespace kistwerk {

CliOptions parseOptions(const std::vector<std::string>& args)
{
    CliOptions o;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
            o.inputs.push_back(a);
        } else if (a == "--") {
            optionsEnded = true;
        } else if (a == "-h" || a == "--help") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "-q" || a == "--quiet") {
            o.quiet = true;
        } else if (a == "--unix") {
            o.unixStyle = true;
        } else if (a == "--windows") {
            o.unixStyle = false;
        } else if (a == "-o" || a == "--output") {
            if (i + 1 >= args.size()) {
                o.error = "Option " + a + " braucht einen Dateinamen.";
                return o;
            }
            o.hasOutput = true;
            o.output = args[++i];
        } else if (a.rfind("-o", 0) == 0 && a.size() > 2 && a[2] != '-') {
            o.hasOutput = true;
            o.output = a.substr(2);
        } else if (a.rfind("--output=", 0) == 0) {
            o.hasOutput = true;
            o.output = a.substr(9);
        } else {
            o.error = "Unbekannte Option: " + a;
            return o;
        }
    }
    if (o.help || o.version)
        return o;
    if (o.inputs.empty())
        o.error = "Keine PFC-Datei angegeben.";
    else if (o.hasOutput && o.inputs.size() > 1)
        o.error = "Die Option -o geht nur mit einer einzigen PFC-Datei.";
    else if (o.hasOutput && o.output.empty())
        o.error = "Die Option -o braucht einen Dateinamen.";
    return o;
}

std::string defaultOutputPath(const std::string& input)
{
    std::size_t slash = input.find_last_of("/\\");
    std::string name = mailboxName(input);
    if (slash == std::string::npos) {
        // "C:Post.pfc": keep the drive, so the file lands beside the input.
        if (input.size() >= 2 && input[1] == ':')
            return input.substr(0, 2) + name;
        return name;
    }
    return input.substr(0, slash + 1) + name;
}

} // namespace kistwerk
