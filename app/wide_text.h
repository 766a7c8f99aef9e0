// The desktop program's texts come in UTF-8 (the catalogue, the core's paths);
// the window system is shown and gives UTF-16.
#pragma once

#include <windows.h>

#include <string>

#include "io/files.h"

namespace kistwerk {

// A text of the catalogue, for a window.
inline std::wstring wideFromUtf8(const std::string& text)
{
    return wideFrom(text, CP_UTF8);
}

} // namespace kistwerk
