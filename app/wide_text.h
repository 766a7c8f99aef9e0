// The desktop program's texts come in UTF-8 (the catalogue) or in the ANSI code
// page (the file dialog's paths); the window system is shown UTF-16.
#pragma once

#include <windows.h>

#include <string>

namespace kistwerk {

inline std::wstring wideFrom(const std::string& text, UINT codePage)
{
    if (text.empty())
        return std::wstring();
    int length = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

inline std::string narrowFrom(const std::wstring& wide, UINT codePage)
{
    if (wide.empty())
        return std::string();
    int length = WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length, nullptr, nullptr);
    return text;
}

inline std::string utf8From(const std::wstring& wide)
{
    return narrowFrom(wide, CP_UTF8);
}

// A path the ANSI file dialog gave, for the core and the catalogue.
inline std::string utf8FromAnsi(const std::string& text)
{
    return utf8From(wideFrom(text, CP_ACP));
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
