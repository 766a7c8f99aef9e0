// libFuzzer target: the body filter on arbitrary bytes.
#include "pfc/frontend.h"
#include "pfc/output.h"
#include "text/filter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    kistwerk::MemoryOutput output;
    kistwerk::SilentFrontEnd frontEnd;
    kistwerk::filterBody(data, static_cast<std::int32_t>(size), output, frontEnd);
    return 0;
}
