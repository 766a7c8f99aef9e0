// kistwerk-cli: converts PFC files to mbox mailbox files from the command line.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "cli/options.h"
#include "cli/terminal_frontend.h"
#include "pfc/naming.h"
#include "pfc/run.h"
#include "ui/texts.h"

using namespace kistwerk;

namespace {

void printSummary(std::FILE* to, const ConversionRun& run, const std::string& shownOutput, double seconds)
{
    const std::string line = texts::summary(run.inputPath, shownOutput, run.entriesWritten, run.totalItems, seconds);
    std::fprintf(to, "%s\n", line.c_str());
}

} // namespace

int main(int argc, char** argv)
{
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8);
#endif
    std::vector<std::string> args(argv + 1, argv + argc);
    CliOptions options = parseOptions(args);
    if (!options.error.empty()) {
        std::fprintf(stderr, "kistwerk-cli: %s\n%s\n", options.error.c_str(), texts::kMoreHelp);
        return 2;
    }
    if (options.help) {
        std::fputs(texts::kUsage, stdout);
        return 0;
    }
    if (options.version) {
        std::puts("kistwerk-cli " KISTWERK_VERSION);
        return 0;
    }

    bool showProgress = !options.quiet && isatty(fileno(stderr));
    TerminalFrontEnd frontEnd(stderr, showProgress);
    TerminalFrontEnd::installInterruptHandler();

    int status = 0;
    for (const std::string& input : options.inputs) {
        if (TerminalFrontEnd::interrupted())
            break;
        std::string output = options.hasOutput ? options.output : defaultOutputPath(input);
        ConversionRun run;
        if (options.unixStyle)
            run.style = unixMailboxStyle();
        auto start = std::chrono::steady_clock::now();
        bool ok = runConversion(run, input, frontEnd, output);
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (!ok)
            status = 1;
        bool toStandardOutput = output == "-";
        if (!options.quiet && run.outputOpened)
            printSummary(toStandardOutput ? stderr : stdout, run,
                         toStandardOutput ? std::string(texts::kStandardOutput) : output, took.count());
    }
    if (TerminalFrontEnd::interrupted())
        status = 1;
    return status;
}
