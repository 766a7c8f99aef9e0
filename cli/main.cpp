// kistwerk-cli: converts PFC files to mbox mailbox files from the command line.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "cli/arguments.h"
#include "cli/console.h"
#include "cli/options.h"
#include "cli/plan.h"
#include "cli/terminal_frontend.h"
#include "io/files.h"
#include "pfc/run.h"
#include "ui/texts.h"

using namespace kistwerk;

namespace {

// Exit status: 0 all converted, 3 converted with damaged items skipped, 1 a
// failure, 2 a usage error (returned before any run).
constexpr int kConverted = 0;
constexpr int kFailed = 1;
constexpr int kConvertedWithLosses = 3;

void printSummary(std::FILE* to, const ConversionRun& run, const std::string& shownOutput, double seconds)
{
    writeText(to, texts::summary(run.inputPath, shownOutput, run.entriesWritten, run.itemsSkipped, seconds) + "\n");
}

void printError(const std::string& text)
{
    writeText(stderr, "kistwerk-cli: " + text + "\n");
}

// Says why each refused input is left out; true when there was one.
bool reportRefusals(const std::vector<PlannedRun>& plan)
{
    bool refused = false;
    for (const PlannedRun& planned : plan) {
        if (!planned.refusal.empty()) {
            printError(planned.refusal);
            refused = true;
        }
    }
    return refused;
}

int runStatus(bool ok, const ConversionRun& run)
{
    if (!ok)
        return kFailed;
    const bool losses = run.itemsSkipped > 0 || run.itemsCut > 0 || run.treePartsLost > 0;
    return losses ? kConvertedWithLosses : kConverted;
}

// Over several files a failure outweighs losses, and losses outweigh success.
int worse(int a, int b)
{
    if (a == kFailed || b == kFailed)
        return kFailed;
    return a == kConvertedWithLosses || b == kConvertedWithLosses ? kConvertedWithLosses : kConverted;
}

// Memory kept aside for the moment none is left. The C++ runtime needs a
// little to throw std::bad_alloc at all; where even that is missing (a tight
// `ulimit -v` at start-up), the throw would end the program with abort(). So
// the first allocation that fails gives this reserve back and fails as usual,
// and the run reports it; should memory run out again before the reserve is
// taken anew, the program says so and ends with status 1.
constexpr std::size_t kMemoryReserve = std::size_t{64} << 10;
void* memoryReserve = nullptr;

void onOutOfMemory()
{
    if (memoryReserve != nullptr) {
        std::free(memoryReserve);
        memoryReserve = nullptr;
        throw std::bad_alloc();
    }
    std::fputs("kistwerk-cli: ", stderr);
    std::fputs(texts::kOutOfMemory, stderr);
    std::fputs("\n", stderr);
    std::_Exit(kFailed);
}

void keepMemoryReserve()
{
    if (memoryReserve == nullptr)
        memoryReserve = std::malloc(kMemoryReserve);
}

// The tests and the benchmark set how many threads convert, say four on a
// machine of two cores; the program itself chooses by the machine.
int threadsWanted()
{
    const char* wanted = std::getenv("KISTWERK_THREADS");
    return wanted != nullptr ? std::atoi(wanted) : 0;
}

} // namespace

#ifdef _WIN32
// The wide entry point (linked with -municode): the arguments in UTF-16.
int wmain(int argc, wchar_t** argv)
#else
int main(int argc, char** argv)
#endif
{
    keepMemoryReserve();
    std::set_new_handler(onOutOfMemory);
    // Texts reach a Windows console as UTF-16 (writeText); its code page is
    // left as the user had it.
    CliOptions options = parseOptions(commandLineArguments(argc, argv), isFolder);
    if (options.error.empty() && !options.help && !options.version) {
        options.inputs = expandWildcards(options.inputs);
        checkInputs(options);
    }
    if (!options.error.empty()) {
        printError(options.error + "\n" + texts::kMoreHelp);
        return 2;
    }
    if (options.help) {
        writeText(stdout, texts::kUsage);
        return 0;
    }
    if (options.version) {
        std::puts("kistwerk-cli " KISTWERK_VERSION);
        return 0;
    }

    bool showProgress = !options.quiet && isatty(fileno(stderr));
    TerminalFrontEnd frontEnd(stderr, showProgress);
    TerminalFrontEnd::installInterruptHandler();

    FileError folderError;
    if (options.outputFolder && !makeFolders(options.output, &folderError)) {
        printError(texts::folderNotCreated(options.output, folderError));
        return 1;
    }
    const std::vector<PlannedRun> plan = planRuns(options);
    int status = reportRefusals(plan) ? kFailed : kConverted;
    std::vector<MadeOutput> made;
    for (const PlannedRun& planned : plan) {
        if (TerminalFrontEnd::interrupted())
            break;
        if (!planned.refusal.empty())
            continue;
        if (const std::string refusal = refusalOnceMade(planned, made); !refusal.empty()) {
            printError(refusal);
            status = kFailed;
            continue;
        }
        const std::string& input = planned.input;
        const std::string& output = planned.output;
        keepMemoryReserve();
        ConversionRun run;
        run.threads = threadsWanted();
        if (options.unixStyle)
            run.style = unixMailboxStyle();
        auto start = std::chrono::steady_clock::now();
        bool ok = runConversion(run, input, frontEnd, output);
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        status = worse(status, runStatus(ok, run));
        if (run.mailbox == MailboxFate::InPlace)
            made.push_back(MadeOutput{input, identityOfPath(output)});
        // A mailbox file that failed, or that left the old file in its place,
        // has no summary: the note says what became of it.
        const bool toStandardOutput = output == "-";
        const bool delivered = run.mailbox == MailboxFate::InPlace || run.mailbox == MailboxFate::Streamed;
        if (!options.quiet && delivered)
            printSummary(toStandardOutput ? stderr : stdout, run,
                         toStandardOutput ? std::string(texts::kStandardOutput) : output, took.count());
    }
    if (TerminalFrontEnd::interrupted())
        status = kFailed;
    return status;
}
