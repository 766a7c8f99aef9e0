// libFuzzer target: the whole conversion of a PFC image held in memory.
#include "fuzz/checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    kistwerk::fuzz::stopOnFinding(kistwerk::fuzz::checkConversion(data, size));
    return 0;
}
