// HTML body filter (placeholder: copies the text).
#include "text/filter.h"

#include "pfc/frontend.h"
#include "pfc/output.h"

namespace kistwerk {

void filterBody(const std::uint8_t* text, std::int32_t length, Output& output, FrontEnd& frontEnd)
{
    if (length > kMaxBodyText) {
        frontEnd.warnMessageTooLarge();
        return;
    }
    if (length > 0)
        output.write(text, static_cast<std::size_t>(length));
}

} // namespace kistwerk
