// Arguments and wildcards on POSIX and Windows.
#include "cli/arguments.h"

#ifdef _WIN32
#include <algorithm>

#include "io/win32.h"

#include "io/files.h"
#endif

namespace kistwerk {

#ifdef _WIN32

std::vector<std::string> commandLineArguments(int argc, wchar_t** argv)
{
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(utf8Path(argv[i]));
    return args;
}

namespace {

std::size_t fileNameStart(const std::string& path)
{
    std::size_t start = path.size() >= 2 && path[1] == ':' ? 2 : 0;
    std::size_t slash = path.find_last_of("\\/");
    return slash != std::string::npos && slash >= start ? slash + 1 : start;
}

// The files (not folders) that match the pattern, as paths spelled like it.
std::vector<std::string> matchingFiles(const std::string& pattern)
{
    std::vector<std::string> found;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(widePath(pattern).c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return found;
    const std::string folder = pattern.substr(0, fileNameStart(pattern));
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            found.push_back(folder + utf8Path(entry.cFileName));
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    std::sort(found.begin(), found.end(), [](const std::string& a, const std::string& b) {
        return lstrcmpiW(widePath(a).c_str(), widePath(b).c_str()) < 0;
    });
    return found;
}

} // namespace

std::vector<std::string> expandWildcards(const std::vector<std::string>& inputs)
{
    std::vector<std::string> expanded;
    for (const std::string& input : inputs) {
        std::vector<std::string> files;
        if (input.find_first_of("*?", fileNameStart(input)) != std::string::npos)
            files = matchingFiles(input);
        if (files.empty())
            expanded.push_back(input);
        else
            expanded.insert(expanded.end(), files.begin(), files.end());
    }
    return expanded;
}

#else

std::vector<std::string> commandLineArguments(int argc, char** argv)
{
    return std::vector<std::string>(argv + 1, argv + argc);
}

std::vector<std::string> expandWildcards(const std::vector<std::string>& inputs)
{
    return inputs;
}

#endif

} // namespace kistwerk
