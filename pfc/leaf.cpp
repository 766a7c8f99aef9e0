// Item conversion and progress steps of the conversion pass.
#include "pfc/leaf.h"

#include "pfc/frontend.h"

namespace kistwerk {

bool isConvertedItemType(std::uint16_t itemType)
{
    switch (itemType) {
    case 7: case 8: case 12: case 14: case 15: case 20:
        return true;
    default:
        return false;
    }
}

std::int32_t recordOffset(const Container& container, std::int32_t dataIndex)
{
    std::int32_t offset = 0;
    if (!entryOffset(container, dataIndex, offset) || offset < 0)
        return -1;
    return offset;
}

void convertStoredRecord(ItemContext& item, const MailboxStyle& style, RunCounts& counts, std::int32_t offset)
{
    if (item.input == nullptr || item.output == nullptr)
        return;
    if (counts.recordBytesLeft <= 0 || counts.outputBytesLeft <= 0) {
        ++counts.itemsOverLimit;
        ++counts.itemsSkipped;
        return;
    }
    if (offset < 0) {
        ++counts.itemsSkipped;
        return;
    }
    const MessageContext context{*item.input, *item.output, style};
    const std::uint64_t before = item.output->bytesGiven();
    const ItemOutcome outcome = convertMessage(context, offset, item.scratch);
    counts.recordBytesLeft -= outcome.recordBytes;
    counts.outputBytesLeft -= static_cast<std::int64_t>(item.output->bytesGiven() - before);
    if (outcome.entryWritten)
        ++counts.entriesWritten;
    else
        ++counts.itemsSkipped;
    if (outcome.cut)
        ++counts.itemsCut;
}

void convertStoredItem(ItemContext& item, const MailboxStyle& style, RunCounts& counts, std::int32_t dataIndex)
{
    convertStoredRecord(item, style, counts, recordOffset(item.container, dataIndex));
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

} // namespace kistwerk
