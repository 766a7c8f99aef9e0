// The desktop program's texts come in UTF-8 (the catalogue) or in the ANSI code
// page (the file dialog's paths); the window system is shown UTF-16.
#pragma once

#include <windows.h>

#include <string>

#include "io/files.h"

namespace kistwerk {

// A path the ANSI file dialog gave, for the core and the catalogue.
inline std::string utf8FromAnsi(const std::string& text)
{
    return narrowFrom(wideFrom(text, CP_ACP), CP_UTF8);
}

// A text of the catalogue, for the ANSI file dialog.
inline std::string ansiFromUtf8(const std::string& text)
{
    return narrowFrom(wideFrom(text, CP_UTF8), CP_ACP);
}

// A text of the catalogue, for a window.
inline std::wstring wideFromUtf8(const std::string& text)
{
    return wideFrom(text, CP_UTF8);
}

} // namespace kistwerk
