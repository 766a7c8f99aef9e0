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
#include "pfc/run.h"

using namespace kistwerk;

namespace {

constexpr const char* kUsage =
    "Aufruf: kistwerk-cli [-o AUSGABE] [-q] [--unix | --windows] DATEI.pfc...\n"
    "Wandelt PFC-Dateien (Personal Filing Cabinet) in mbox-Postfachdateien (.mbx) um.\n"
    "\n"
    "Ohne -o entsteht die Postfachdatei neben der PFC-Datei: aus Post.2009.pfc wird Post.2009.mbx.\n"
    "\n"
    "  -o AUSGABE     Name der Postfachdatei (nur bei einer PFC-Datei); \"-\" schreibt auf die Standardausgabe\n"
    "  -q, --quiet    nur Fehler melden\n"
    "      --unix     Postfachdatei f\xC3\xBCr Unix-Mailprogramme (mutt, Dovecot, formail, GNU mailutils):\n"
    "                 Zeilenenden LF, der Tag in der Trennzeile \"From - \" zweistellig mit Leerzeichen\n"
    "                 aufgef\xC3\xBCllt (\"Sun Jan  5\"); unter Linux die Vorgabe\n"
    "      --windows  Postfachdatei wie vom Windows-Programm Kistwerk: Zeilenenden CR LF,\n"
    "                 Trennzeile \"From - Sun Jan 5\"; unter Windows die Vorgabe\n"
    "  -h, --help     diese Hilfe\n"
    "      --version  Version anzeigen\n"
    "\n"
    "Strg-C bricht die laufende Umwandlung ab; fertige Eintr\xC3\xA4ge bleiben erhalten.\n"
    "Exit-Status: 0 alles umgewandelt, 1 eine Datei nicht lesbar oder nicht schreibbar, 2 falscher Aufruf.\n";

std::string formatSeconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", seconds);
    for (char* p = text; *p != '\0'; ++p)
        if (*p == '.')
            *p = ',';
    return text;
}

void printSummary(std::FILE* to, const ConversionRun& run, const std::string& shownOutput, double seconds)
{
    std::fprintf(to, "%s -> %s: %u Eintr\xC3\xA4ge geschrieben, %u Bl\xC3\xA4tter gez\xC3\xA4hlt, %s s\n",
                 run.inputPath.c_str(), shownOutput.c_str(), run.entriesWritten, run.totalItems,
                 formatSeconds(seconds).c_str());
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
        std::fprintf(stderr, "kistwerk-cli: %s\n%s", options.error.c_str(),
                     "Mehr mit: kistwerk-cli --help\n");
        return 2;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
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
                         toStandardOutput ? std::string("Standardausgabe") : output, took.count());
    }
    if (TerminalFrontEnd::interrupted())
        status = 1;
    return status;
}
