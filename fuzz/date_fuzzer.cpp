// libFuzzer target: date text parsing and the date lines.
#include "fuzz/checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    kistwerk::fuzz::stopOnFinding(kistwerk::fuzz::checkDate(data, size));
    return 0;
}
