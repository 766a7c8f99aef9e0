// One stored mail item: from its message record to its mailbox entry.
#pragma once

#include <cstdint>

namespace kistwerk {

struct ConversionRun;

// Reads the message record that `dataIndex` leads to and appends its entry to
// run.output. An item that fails a test yields nothing; the walk goes on.
void convertMessage(ConversionRun& run, std::int32_t dataIndex);

} // namespace kistwerk
