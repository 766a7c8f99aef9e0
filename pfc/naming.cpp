// File naming of the mailbox file.
#include "pfc/naming.h"

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

std::string outputPathIn(const std::string& folder, const std::string& inputPath)
{
#ifdef _WIN32
    const char* separators = "\\/";
    const char separator = '\\';
#else
    const char* separators = "/";
    const char separator = '/';
#endif
    std::string path = folder;
    if (!path.empty() && std::string(separators).find(path.back()) == std::string::npos)
        path += separator;
    return path + mailboxName(inputPath);
}

FilePlace placeOf(const std::string& path)
{
    FilePlace place;
    place.spelling = path;
    place.file = identityOfPath(path);
    if (place.file.known)
        return place;
    const std::size_t start = fileNameStart(path);
    place.name = path.substr(start);
    const std::string folder = path.substr(0, start);
    place.folder = identityOfPath(folder.empty() ? "." : folder);
    return place;
}

bool samePlace(const FilePlace& a, const FilePlace& b)
{
    if (a.file.known || b.file.known)
        return sameFile(a.file, b.file);
    if (a.folder.known && b.folder.known)
        return sameFile(a.folder, b.folder) && sameFileName(a.name, b.name);
    return a.spelling == b.spelling;
}

} // namespace kistwerk
