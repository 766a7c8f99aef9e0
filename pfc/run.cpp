// The conversion run and its two walks over the node tree.
#include "pfc/run.h"

#include <filesystem>
#include <system_error>

#include "message/message.h"
#include "pfc/parallel.h"

namespace kistwerk {

namespace {

// The walks keep their own stack instead of recursing, so nesting of any depth
// costs heap, not thread stack, and remember which node indexes they have seen in
// this pass: a chain that comes back to a seen node (a cycle, or a subtree shared
// by two parents) ends there, so every walk ends after at most one visit per node.
class NodeWalk {
public:
    explicit NodeWalk(const Container& container) : container_(container)
    {
        std::int64_t limit = entriesPresent(container);
        if (limit > container.entryCount)
            limit = container.entryCount;
        // Index 1 starts every walk even when no index is valid.
        if (limit < 1)
            limit = 1;
        seen_.assign(static_cast<std::size_t>(limit / 64 + 1), 0);
        limit_ = limit;
    }

    // Calls onLeaf(node) for every leaf with a valid data index, in visiting
    // order, until it returns false. Returns false when stopped that way.
    template <class OnLeaf>
    bool run(std::int32_t start, OnLeaf onLeaf)
    {
        std::int32_t k = start;
        for (;;) {
            PfcNode node;
            if (visit(k, node)) {
                if (isValidIndex(container_, node.childIndex)) {
                    resume_.push_back(node.nextIndex);
                    k = node.childIndex;
                    continue;
                }
                if (isValidIndex(container_, node.dataIndex) && !onLeaf(node))
                    return false;
                if (isValidIndex(container_, node.nextIndex)) {
                    k = node.nextIndex;
                    continue;
                }
            }
            if (!resumeParentChain(k))
                return true;
        }
    }

private:
    bool visit(std::int32_t k, PfcNode& node)
    {
        // An index past the table entries in the file cannot be read anyway.
        if (k < 1 || k > limit_)
            return false;
        std::uint64_t& word = seen_[static_cast<std::size_t>(k) / 64];
        std::uint64_t bit = std::uint64_t{1} << (k % 64);
        if (word & bit)
            return false;
        word |= bit;
        return readNode(container_, k, node);
    }

    // After a chain ends, go on with the next sibling of the innermost parent that
    // has one.
    bool resumeParentChain(std::int32_t& k)
    {
        while (!resume_.empty()) {
            k = resume_.back();
            resume_.pop_back();
            if (isValidIndex(container_, k))
                return true;
        }
        return false;
    }

    const Container& container_;
    std::vector<std::uint64_t> seen_;
    std::int64_t limit_ = 0;
    std::vector<std::int32_t> resume_;
};

bool samePath(const std::string& a, const std::string& b)
{
    std::error_code ec;
    return std::filesystem::equivalent(std::filesystem::path(a), std::filesystem::path(b), ec) && !ec;
}

// Records that lie apart and are each reached once read less than the whole
// file; twice the file leaves room for the odd record that two leaves share.
std::int64_t recordReadLimit(std::int64_t fileSize)
{
    return 2 * fileSize + 65536;
}

void report(ConversionRun& run, FrontEnd& frontEnd, RunProblem problem, bool& ok)
{
    frontEnd.reportProblem(problem, run);
    ok = false;
}

} // namespace

bool SilentFrontEnd::progressStep(ConversionRun& run)
{
    if (run.percent > 100)
        run.percent = 100;
    run.lastDrawnPercent = run.percent;
    return false;
}

bool isConvertedItemType(std::uint16_t itemType)
{
    switch (itemType) {
    case 7: case 8: case 12: case 14: case 15: case 20:
        return true;
    default:
        return false;
    }
}

std::string mailboxName(const std::string& inputPath)
{
    std::size_t start = 0;
    if (inputPath.size() >= 2 && inputPath[1] == ':')
        start = 2;
    std::size_t slash = inputPath.find_last_of("\\/");
    if (slash != std::string::npos && slash >= start)
        start = slash + 1;
    std::size_t dot = inputPath.rfind('.');
    std::size_t end = (dot != std::string::npos && dot >= start) ? dot : inputPath.size();
    return inputPath.substr(start, end - start) + ".mbx";
}

void countChain(ConversionRun& run, std::int32_t k)
{
    NodeWalk walk(run.container);
    walk.run(k, [&run](const PfcNode&) {
        ++run.totalItems;
        return true;
    });
}

bool stepProgress(ConversionRun& run)
{
    // 64-bit product: a hostile table can make more leaves than 32 bits x 100 hold.
    run.percent = run.totalItems == 0 ? 100 : static_cast<int>(std::uint64_t{run.doneItems} * 100 / run.totalItems);
    if (run.frontEnd != nullptr && run.frontEnd->progressStep(run)) {
        run.cancelled = true;
        return true;
    }
    return false;
}

bool convertChainInline(ConversionRun& run, std::int32_t k)
{
    NodeWalk walk(run.container);
    return walk.run(k, [&run](const PfcNode& node) {
        ++run.doneItems;
        if (isConvertedItemType(node.itemType)) {
            if (run.convertItem)
                run.convertItem(run, node.dataIndex);
            else
                convertMessage(run, node.dataIndex);
        }
        return !stepProgress(run);
    });
}

bool convertChain(ConversionRun& run, std::int32_t k)
{
    int threads = run.convertItem ? 1 : conversionThreads(run);
    if (threads < 2)
        return convertChainInline(run, k);
    ItemPipeline pipeline;
    // Without its threads or readers the run converts on this thread alone.
    if (!startPipeline(pipeline, run, threads))
        return convertChainInline(run, k);
    NodeWalk walk(run.container);
    bool walked = walk.run(k, [&pipeline](const PfcNode& node) { return pipelineLeaf(pipeline, node); });
    return finishPipeline(pipeline, walked);
}

void convertContainer(ConversionRun& run, InputSource& input, Output& output, FrontEnd& frontEnd)
{
    run.input = &input;
    run.output = &output;
    output.setLfLineEnds(run.style.lfLineEnds);
    run.frontEnd = &frontEnd;
    run.cancelled = false;
    run.entriesWritten = 0;
    run.recordBytesLeft = recordReadLimit(input.size());
    run.itemsOverLimit = 0;
    // A head that cannot be read leaves entryCount 0: nothing is valid and the
    // mailbox file stays empty.
    openContainer(run.container, input);

    frontEnd.createProgress(run);
    run.lastDrawnPercent = 0;
    run.percent = 0;
    run.totalItems = 0;
    run.doneItems = 0;
    countChain(run, 1);
    convertChain(run, 1);
    frontEnd.destroyProgress(run);
}

bool runConversion(ConversionRun& run, const std::string& inputPath, FrontEnd& frontEnd,
                   const std::string& outputPath)
{
    bool ok = true;
    run.inputPath = inputPath;
    run.outputName = outputPath.empty() ? mailboxName(inputPath) : outputPath;
    run.frontEnd = &frontEnd;
    run.cancelled = false;
    run.entriesWritten = 0;
    run.totalItems = run.doneItems = 0;
    run.outputOpened = false;
    frontEnd.setBusyCursor(true);

    FileInput input;
    if (!input.open(inputPath)) {
        report(run, frontEnd, RunProblem::InputUnreadable, ok);
        frontEnd.setBusyCursor(false);
        return ok;
    }
    bool toStandardOutput = run.outputName == "-";
    if (!toStandardOutput && samePath(inputPath, run.outputName)) {
        input.close();
        report(run, frontEnd, RunProblem::OutputIsInput, ok);
        frontEnd.setBusyCursor(false);
        return ok;
    }
    FileOutput output;
    bool opened = toStandardOutput ? output.openStandardOutput() : output.open(run.outputName);
    if (!opened) {
        input.close();
        report(run, frontEnd, RunProblem::OutputUnwritable, ok);
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
        report(run, frontEnd, RunProblem::OutputIncomplete, ok);
    if (run.cancelled)
        report(run, frontEnd, RunProblem::Cancelled, ok);
    if (run.itemsOverLimit > 0)
        report(run, frontEnd, RunProblem::ItemsPassedOver, ok);
    frontEnd.setBusyCursor(false);
    return ok;
}

} // namespace kistwerk
