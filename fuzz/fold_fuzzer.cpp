// libFuzzer target: the UTF-8 fold, against a plain byte-by-byte fold.
#include "fuzz/checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    kistwerk::fuzz::stopOnFinding(kistwerk::fuzz::checkFold(data, size));
    return 0;
}
