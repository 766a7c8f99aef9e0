// libFuzzer target: the whole conversion on an arbitrary PFC image.
#include "pfc/run.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    kistwerk::MemoryInput input(data, size);
    kistwerk::MemoryOutput output;
    kistwerk::SilentFrontEnd frontEnd;
    kistwerk::ConversionRun run;
    kistwerk::convertContainer(run, input, output, frontEnd);
    return 0;
}
