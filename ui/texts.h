// The German texts of both front ends, each written once, in UTF-8. The desktop
// program converts them for the window system where it shows them.
#pragma once

#include <cstdint>
#include <string>

#include "io/file_fault.h"
#include "pfc/conversion_run.h"
#include "pfc/frontend.h"

namespace kistwerk::texts {

// The front end that shows a text: a problem may carry a hint of what to do
// next that only makes sense in one of them.
enum class Shown { CommandLine, Desktop };

// What a problem text speaks of, with the names as the user gave or saw them.
struct ProblemFacts {
    std::string inputPath;
    std::string outputName;
    std::uint32_t itemsOverLimit = 0;
    std::uint32_t itemsSkipped = 0;  // the items over the limit among them
    std::uint32_t entriesWritten = 0;
    std::uint32_t itemsCut = 0;
    std::uint32_t treePartsLost = 0;
    FileError fileError;
    MailboxFate mailbox = MailboxFate::NoneMade;
    bool ranToItsEnd = true;  // neither stopped nor out of memory
};

// The facts of a run, with its paths as the run holds them.
ProblemFacts problemFacts(const ConversionRun& run);

// The sentence that tells the user about `problem`, with the hint (if any) for
// the front end that shows it.
std::string problem(RunProblem problem, const ProblemFacts& facts, Shown where);

// Command line.
extern const char kUsage[];
// Said without taking memory, when there is none left for anything else.
extern const char kOutOfMemory[];
extern const char kMoreHelp[];
extern const char kNoInput[];
extern const char kOutputForOneInputOnly[];
extern const char kOutputNeedsName[];
extern const char kStandardOutput[];
extern const char kStandardInput[];
std::string optionNeedsName(const std::string& option);
std::string unknownOption(const std::string& option);
// An input left out before any conversion starts, and why.
std::string outputIsOtherInput(const std::string& input, const std::string& output, const std::string& otherInput);
std::string outputOfEarlierInput(const std::string& input, const std::string& output,
                                 const std::string& earlierInput);
std::string folderNotCreated(const std::string& folder, const FileError& error);
// A wildcard that the program expanded itself (Windows) and that matched no file.
std::string noFileMatches(const std::string& pattern);

// "Post.pfc → Post.mbx: 4.567 Nachrichten, 11 beschädigte übersprungen, 0,29 s"
std::string summary(const std::string& input, const std::string& output, std::uint32_t entries,
                    std::uint32_t skipped, double seconds);

// German number forms: "4.567" and "0,29".
std::string wholeNumber(std::uint64_t value);
std::string decimal(double value, int places);

// Desktop program: the file-open dialog, and what to say when the system's
// dialog fails with `code` (CommDlgExtendedError); `pathTooLong` when it did so
// for a path longer than its buffer.
extern const char kFileDialogTitle[];
extern const char kFileDialogFilter[];
std::string fileDialogFailed(std::uint32_t code, bool pathTooLong);

} // namespace kistwerk::texts
