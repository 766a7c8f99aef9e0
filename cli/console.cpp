// Console output on POSIX and Windows.
#include "cli/console.h"

#ifdef _WIN32
#include <io.h>
#include "io/win32.h"

#include "io/files.h"
#endif

namespace kistwerk {

void writeText(std::FILE* to, const std::string& text)
{
#ifdef _WIN32
    auto console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(to)));
    DWORD mode = 0;
    if (console != INVALID_HANDLE_VALUE && GetConsoleMode(console, &mode)) {
        std::fflush(to);
        const std::wstring wide = widePath(text);
        DWORD written = 0;
        WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
#endif
    std::fputs(text.c_str(), to);
}

} // namespace kistwerk
