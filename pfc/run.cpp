// The conversion run: opens the PFC file and the mailbox file, converts, and
// tells the front end what became of the run.
#include "pfc/run.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>

#include "io/files.h"
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
// an empty one. A device, pipe or socket is refused before it is opened, as a
// pipe would keep the open waiting for a writer; the open itself refuses one
// that took the file's place meanwhile. False with the problem when the run
// cannot go on.
bool openInput(ConversionRun& run, FileInput& input, RunProblem& problem)
{
    if (factsOfPath(run.inputPath).kind == PathKind::Other) {
        run.fileError = FileError{FileFault::NotAFile, 0};
        problem = RunProblem::InputUnreadable;
        return false;
    }
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

// What stands at the place of the mailbox file, as far as the PFC file is
// concerned. Two mounts of one file system (an overlay, a network share mounted
// twice) show one file under two identities, so a file that has the PFC file's
// size and its bytes at the start, in the middle and at the end counts as the
// PFC file too: no mailbox file is worth that risk.
enum class AtPlace { Other, TheInput, ItsBytes };

constexpr std::size_t kSampleBytes = 4096;

AtPlace whatStandsAt(const std::string& path, FileInput& input)
{
    const FileSample sample = sampleOfFile(path, kSampleBytes);
    if (sample.size < 0)
        return AtPlace::Other;
    if (sameFile(sample.identity, input.identity()))
        return AtPlace::TheInput;
    if (sample.size != input.size())
        return AtPlace::Other;
    std::int64_t offsets[kSamplePlaces];
    samplePlaces(sample.size, kSampleBytes, offsets);
    std::string expected;
    std::uint8_t bytes[kSampleBytes];
    for (std::int64_t offset : offsets) {
        const auto count = static_cast<std::size_t>(std::min<std::int64_t>(sample.size - offset, kSampleBytes));
        expected.append(reinterpret_cast<const char*>(bytes), input.readAt(offset, bytes, count));
    }
    return expected == sample.bytes ? AtPlace::ItsBytes : AtPlace::Other;
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
    if (written && ranToItsEnd(run) && run.entriesWritten == 0 && run.itemsSkipped == 0 && run.treePartsLost == 0)
        report(run, frontEnd, RunProblem::NoMessages, ok);
}

// Standard output, a device or a pipe, written directly: they hold no file to
// keep. Standard output may still be the PFC file (`1<>Post.pfc`).
std::optional<RunProblem> openStream(ConversionRun& run, const FileInput& input, FileOutput& output)
{
    const bool standard = run.outputName == "-";
    if (!(standard ? output.openStandardOutput() : output.openOther(run.outputName))) {
        run.fileError = output.error();
        // Ctrl-C while a named pipe waited for its reader.
        return run.fileError.fault == FileFault::Interrupted ? RunProblem::Cancelled : RunProblem::OutputUnwritable;
    }
    if (sameFile(output.identity(), input.identity())) {
        output.close();
        return RunProblem::OutputIsInput;
    }
    run.mailbox = MailboxFate::Streamed;
    return std::nullopt;
}

// A mailbox file on disk is not opened at all: a new file beside it takes the
// run, so the old one stays as it was until the new one is complete, and no
// path that could lead to the PFC file is ever opened for writing.
std::optional<RunProblem> openBeside(ConversionRun& run, FileInput& input, FileOutput& output,
                                     const PathFacts& place)
{
    const std::string target = finalPath(run.outputName);
    if (place.kind == PathKind::File) {
        run.mailbox = MailboxFate::OldKept;
        if (const AtPlace there = whatStandsAt(target, input); there != AtPlace::Other)
            return there == AtPlace::TheInput ? RunProblem::OutputIsInput : RunProblem::OutputHoldsInputBytes;
        if (place.unwritable.fault != FileFault::None) {
            run.fileError = place.unwritable;
            return RunProblem::OutputUnwritable;
        }
    }
    if (!output.openReplacement(target, input.identity())) {
        run.fileError = output.error();
        return place.kind == PathKind::File ? RunProblem::OutputNotCreatedBeside : RunProblem::OutputUnwritable;
    }
    return std::nullopt;
}

// Opens the mailbox file's place, or says why not. The PFC file is told from
// the mailbox file by the files themselves, so no spelling of the name (links,
// letter case, a code page) passes it off as another file, and by its bytes
// where two mounts show it twice.
std::optional<RunProblem> openOutput(ConversionRun& run, FileInput& input, FileOutput& output)
{
    if (run.outputName == "-")
        return openStream(run, input, output);
    const PathFacts place = factsOfPath(run.outputName);
    if (sameFile(place.identity, input.identity()))
        return RunProblem::OutputIsInput;
    if (place.kind == PathKind::Folder) {
        run.fileError = FileError{FileFault::IsFolder, 0};
        return RunProblem::OutputUnwritable;
    }
    if (place.kind == PathKind::Other)
        return openStream(run, input, output);
    return openBeside(run, input, output, place);
}

// The end of a run into a new file: it takes the place of the old one when it
// is complete and holds an entry, or when no file was there and the run went
// through (a PFC file without messages gives an empty mailbox file); a stop
// puts the entries finished so far in place, as the user asked for them.
// Otherwise it is removed and the old file stays as it was: a wrong file, a
// stop before the first entry, a lack of memory or a failed write never cost
// the user a mailbox file. The file at the place is compared with the PFC
// file once more just before, as it may have changed while the run went on.
void finishReplacement(ConversionRun& run, FileInput& input, FileOutput& output, FrontEnd& frontEnd, bool& ok)
{
    const bool written = output.close();
    const bool oldStays = run.mailbox == MailboxFate::OldKept && (run.entriesWritten == 0 || run.outOfMemory);
    const bool nothingNew = run.entriesWritten == 0 && !ranToItsEnd(run);
    if (!written) {
        run.fileError = output.error();
        output.discard();
    } else if (oldStays || nothingNew) {
        output.discard();
    } else if (const AtPlace there = whatStandsAt(output.target(), input); there != AtPlace::Other) {
        output.discard();
        report(run, frontEnd, there == AtPlace::TheInput ? RunProblem::OutputIsInput : RunProblem::OutputHoldsInputBytes,
               ok);
        return;
    } else if (!output.putInPlace()) {
        run.fileError = output.error();
        report(run, frontEnd,
               run.mailbox == MailboxFate::OldKept ? RunProblem::OutputNotReplaced : RunProblem::OutputUnwritable, ok);
        return;
    } else {
        run.mailbox = MailboxFate::InPlace;
    }
    reportEnd(run, frontEnd, written, ok);
}

void finishOutput(ConversionRun& run, FileInput& input, FileOutput& output, FrontEnd& frontEnd, bool& ok)
{
    if (output.isReplacement()) {
        finishReplacement(run, input, output, frontEnd, ok);
        return;
    }
    const bool written = output.close();
    run.mailbox = written ? MailboxFate::Streamed : MailboxFate::StreamCut;
    if (!written)
        run.fileError = output.error();
    reportEnd(run, frontEnd, written, ok);
}

bool convertFile(ConversionRun& run, const std::string& inputPath, FrontEnd& frontEnd, const std::string& outputPath)
{
    bool ok = true;
    run.inputPath = inputPath;
    run.outputName = outputPath.empty() ? mailboxName(inputPath) : outputPath;
    run.frontEnd = &frontEnd;
    resetCounts(run);
    run.outputOpened = false;
    run.mailbox = MailboxFate::NoneMade;
    frontEnd.setBusyCursor(true);

    FileInput input;
    RunProblem problem = RunProblem::InputUnreadable;
    if (!openInput(run, input, problem)) {
        report(run, frontEnd, problem, ok);
        frontEnd.setBusyCursor(false);
        return ok;
    }
    FileOutput output;
    if (const std::optional<RunProblem> refused = openOutput(run, input, output)) {
        input.close();
        run.cancelled = *refused == RunProblem::Cancelled;
        report(run, frontEnd, *refused, ok);
        frontEnd.setBusyCursor(false);
        return ok;
    }

    run.outputOpened = true;
    convertContainer(run, input, output, frontEnd);
    run.input = nullptr;
    run.output = nullptr;
    finishOutput(run, input, output, frontEnd, ok);
    input.close();
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
