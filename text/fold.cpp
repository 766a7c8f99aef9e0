// UTF-8 to Latin-1 fold (placeholder).
#include "text/fold.h"

namespace kistwerk {

void foldUtf8(std::uint8_t* text, std::int32_t& length)
{
    if (length < 0)
        length = 0;
    text[length] = 0;
}

} // namespace kistwerk
