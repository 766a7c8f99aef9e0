// The conversion run: opens the PFC file and the mailbox file, converts, and
// tells the front end what became of the run.
#include "pfc/run.h"

#include <new>

#include "pfc/naming.h"
#include "pfc/pass.h"

namespace kistwerk {

namespace {

void report(ConversionRun& run, FrontEnd& frontEnd, RunProblem problem, bool& ok)
{
    frontEnd.reportProblem(problem, run);
    if (isFailure(problem))
        ok = false;
}

// Opens the PFC file and makes sure it begins as one, before anything happens
// to the mailbox file: a wrong file chosen must not replace a mailbox file with
// an empty one. False with the problem when the run cannot go on.
bool openInput(ConversionRun& run, FileInput& input, RunProblem& problem)
{
    if (!input.open(run.inputPath)) {
        run.fileError = input.error();
        problem = RunProblem::InputUnreadable;
        return false;
    }
    if (input.size() == 0 || !hasContainerStart(input)) {
        problem = input.size() == 0 ? RunProblem::InputEmpty : RunProblem::NotPfcFile;
        input.close();
        return false;
    }
    return true;
}

// What a run that went through must still tell: a failure at its end, or what
// became of the file's items when not all of them became entries. An
// incomplete mailbox file holds less than the counts say; its report is enough.
void reportEnd(ConversionRun& run, FrontEnd& frontEnd, bool written, bool& ok)
{
    if (!written)
        report(run, frontEnd, RunProblem::OutputIncomplete, ok);
    if (run.cancelled)
        report(run, frontEnd, RunProblem::Cancelled, ok);
    if (run.itemsOverLimit > 0)
        report(run, frontEnd, RunProblem::ItemsPassedOver, ok);
    if (run.outOfMemory)
        report(run, frontEnd, RunProblem::OutOfMemory, ok);
    if (written && run.itemsSkipped > run.itemsOverLimit)
        report(run, frontEnd, RunProblem::ItemsSkipped, ok);
    if (written && run.itemsCut > 0)
        report(run, frontEnd, RunProblem::ItemsCut, ok);
    if (written && run.treePartsLost > 0)
        report(run, frontEnd, RunProblem::TreePartsLost, ok);
    const bool ranToItsEnd = !run.cancelled && !run.outOfMemory;
    if (written && ranToItsEnd && run.entriesWritten == 0 && run.itemsSkipped == 0 && run.treePartsLost == 0)
        report(run, frontEnd, RunProblem::NoMessages, ok);
}

enum class OutputOpening { Opened, IsInput, Unwritable };

// The mailbox file is told from the PFC file by the files themselves, so no
// spelling of the name (links, letter case, a code page) can pass the input off
// as another file. A path that already leads to the input is refused without
// opening it for writing; the file is then opened keeping its bytes, compared
// once more as the file now open, and only emptied when it is another file.
OutputOpening openOutput(const FileInput& input, const std::string& outputName, FileOutput& output)
{
    const FileIdentity inputFile = input.identity();
    const bool toStandardOutput = outputName == "-";
    if (!toStandardOutput && sameFile(identityOfPath(outputName), inputFile))
        return OutputOpening::IsInput;
    if (!(toStandardOutput ? output.openStandardOutput() : output.openKept(outputName)))
        return OutputOpening::Unwritable;
    if (sameFile(output.identity(), inputFile)) {
        output.close();
        return OutputOpening::IsInput;
    }
    // Standard output is the shell's to empty or append to.
    if (!toStandardOutput && !output.truncate()) {
        output.close();
        return OutputOpening::Unwritable;
    }
    return OutputOpening::Opened;
}

} // namespace

namespace {

bool convertFile(ConversionRun& run, const std::string& inputPath, FrontEnd& frontEnd, const std::string& outputPath)
{
    bool ok = true;
    run.inputPath = inputPath;
    run.outputName = outputPath.empty() ? mailboxName(inputPath) : outputPath;
    run.frontEnd = &frontEnd;
    resetCounts(run);
    run.outputOpened = false;
    frontEnd.setBusyCursor(true);

    FileInput input;
    RunProblem problem = RunProblem::InputUnreadable;
    if (!openInput(run, input, problem)) {
        report(run, frontEnd, problem, ok);
        frontEnd.setBusyCursor(false);
        return ok;
    }
    FileOutput output;
    const OutputOpening opening = openOutput(input, run.outputName, output);
    if (opening != OutputOpening::Opened) {
        input.close();
        if (opening == OutputOpening::Unwritable)
            run.fileError = output.error();
        report(run, frontEnd, opening == OutputOpening::IsInput ? RunProblem::OutputIsInput : RunProblem::OutputUnwritable,
               ok);
        frontEnd.setBusyCursor(false);
        return ok;
    }

    run.outputOpened = true;
    convertContainer(run, input, output, frontEnd);

    input.close();
    bool written = output.close();
    run.input = nullptr;
    run.output = nullptr;
    if (!written)
        run.fileError = output.error();
    reportEnd(run, frontEnd, written, ok);
    frontEnd.setBusyCursor(false);
    return ok;
}

} // namespace

bool runConversion(ConversionRun& run, const std::string& inputPath, FrontEnd& frontEnd,
                   const std::string& outputPath)
{
    // The input's and the output's buffers are taken before the run begins;
    // without them nothing is converted, and the user learns why.
    try {
        return convertFile(run, inputPath, frontEnd, outputPath);
    } catch (const std::bad_alloc&) {
        run.outOfMemory = true;
        bool ok = true;
        report(run, frontEnd, RunProblem::OutOfMemory, ok);
        frontEnd.setBusyCursor(false);
        return ok;
    }
}

} // namespace kistwerk
