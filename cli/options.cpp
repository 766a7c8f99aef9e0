// Parsing of kistwerk-cli's arguments.
#include "cli/options.h"

#include "ui/texts.h"

namespace kistwerk {

namespace {

bool endsInSeparator(const std::string& path)
{
#ifdef _WIN32
    return !path.empty() && (path.back() == '/' || path.back() == '\\');
#else
    return !path.empty() && path.back() == '/';
#endif
}

} // namespace

CliOptions parseOptions(const std::vector<std::string>& args, bool (*isFolder)(const std::string&))
{
    CliOptions o;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-") {
            o.error = texts::kStandardInput;
            return o;
        } else if (optionsEnded || a.empty() || a[0] != '-') {
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
                o.error = texts::optionNeedsName(a);
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
            o.error = texts::unknownOption(a);
            return o;
        }
    }
    if (o.help || o.version)
        return o;
    o.outputFolder = o.hasOutput && o.output != "-" &&
                     (endsInSeparator(o.output) || (isFolder != nullptr && isFolder(o.output)));
    checkInputs(o);
    return o;
}

void checkInputs(CliOptions& o)
{
    if (o.inputs.empty())
        o.error = texts::kNoInput;
    else if (o.hasOutput && !o.outputFolder && o.inputs.size() > 1)
        o.error = texts::kOutputForOneInputOnly;
    else if (o.hasOutput && o.output.empty())
        o.error = texts::kOutputNeedsName;
}

} // namespace kistwerk
