// libFuzzer target: the body filter on one body text.
#include "fuzz/checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    kistwerk::fuzz::stopOnFinding(kistwerk::fuzz::checkFilter(data, size));
    return 0;
}
