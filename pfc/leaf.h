// What the conversion pass does at each leaf with a valid data index: convert
// its item when its type is converted, then step the progress. The walk on one
// thread and the worker pipeline share these, so both count alike.
#pragma once

#include <cstdint>

#include "pfc/conversion_run.h"

namespace kistwerk {

// The item types whose leaves become mailbox entries.
bool isConvertedItemType(std::uint16_t itemType);

// The file offset of the message record that `dataIndex` leads to through the
// node table; -1 when the table leads to none.
std::int32_t recordOffset(const Container& container, std::int32_t dataIndex);

// Converts the item whose message record starts at `offset`, and counts what
// became of it: an entry written, the record bytes read and the bytes written,
// or an item skipped (passed over because one of the run's limits is spent, or
// damaged). An offset of -1 (no record) yields nothing and counts as damaged.
void convertStoredRecord(ItemContext& item, const MailboxStyle& style, RunCounts& counts, std::int32_t offset);

// The same for the item whose message record `dataIndex` leads to.
void convertStoredItem(ItemContext& item, const MailboxStyle& style, RunCounts& counts, std::int32_t dataIndex);

// After the leaf numbered run.doneItems: sets run.percent and runs the front
// end's progress step. True when the user asked to stop (run.cancelled is set).
bool stepProgress(ConversionRun& run);

} // namespace kistwerk
