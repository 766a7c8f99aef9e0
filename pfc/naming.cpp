// File naming of the mailbox file.
#include "pfc/naming.h"

#include <filesystem>
#include <system_error>

namespace kistwerk {

namespace {

// Where the file name begins: behind the last "\" or "/", or behind a drive
// ("C:Post.pfc"), or at the start.
std::size_t fileNameStart(const std::string& path)
{
    std::size_t start = 0;
    if (path.size() >= 2 && path[1] == ':')
        start = 2;
    std::size_t slash = path.find_last_of("\\/");
    if (slash != std::string::npos && slash >= start)
        start = slash + 1;
    return start;
}

} // namespace

std::string mailboxName(const std::string& inputPath)
{
    std::size_t start = fileNameStart(inputPath);
    std::size_t dot = inputPath.rfind('.');
    std::size_t end = (dot != std::string::npos && dot >= start) ? dot : inputPath.size();
    return inputPath.substr(start, end - start) + ".mbx";
}

std::string defaultOutputPath(const std::string& inputPath)
{
    return inputPath.substr(0, fileNameStart(inputPath)) + mailboxName(inputPath);
}

bool samePath(const std::string& a, const std::string& b)
{
    std::error_code ec;
    return std::filesystem::equivalent(std::filesystem::path(a), std::filesystem::path(b), ec) && !ec;
}

} // namespace kistwerk
