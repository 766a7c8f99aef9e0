// File identity, folders and opening by UTF-8 name on POSIX and Windows.
#include "io/files.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace kistwerk {

bool sameFile(const FileIdentity& a, const FileIdentity& b)
{
    return a.known && b.known && a.file == b.file &&
           (a.volume == b.volume || !a.volumeKnown || !b.volumeKnown);
}

std::size_t lastPartStart(const std::string& path)
{
#ifdef _WIN32
    std::size_t start = path.size() >= 2 && path[1] == ':' ? 2 : 0;
    const std::size_t separator = path.find_last_of("\\/");
#else
    std::size_t start = 0;
    const std::size_t separator = path.rfind('/');
#endif
    if (separator != std::string::npos && separator >= start)
        start = separator + 1;
    return start;
}

void samplePlaces(std::int64_t size, std::size_t count, std::int64_t (&offsets)[kSamplePlaces])
{
    const auto length = static_cast<std::int64_t>(count);
    offsets[0] = 0;
    offsets[1] = std::max<std::int64_t>(0, size / 2 - length / 2);
    offsets[2] = std::max<std::int64_t>(0, size - length);
}

// One folder, on the system's own terms (below).
bool createFolder(const std::string& path);

namespace {

std::string withoutTrailingSeparators(std::string path)
{
#ifdef _WIN32
    const auto isSeparator = [](char c) { return c == '/' || c == '\\'; };
    while (path.size() > 1 && isSeparator(path.back()) && !(path.size() == 3 && path[1] == ':'))
        path.pop_back();
#else
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
#endif
    return path;
}

// Why a folder could not be made: the deepest part of its path that exists
// decides. A file there is in the way; a folder there is asked once more for
// the next part, and the system's answer is the cause.
FileError folderError(const std::string& path)
{
    std::string part = withoutTrailingSeparators(path);
    for (;;) {
        const PathKind kind = factsOfPath(part).kind;
        if (kind != PathKind::Missing)
            return FileError{kind == PathKind::Folder ? FileFault::Other : FileFault::IsFile, 0};
        const std::string parent = withoutTrailingSeparators(part.substr(0, lastPartStart(part)));
        const PathKind above = parent.empty() ? PathKind::Folder : factsOfPath(parent).kind;
        if (above == PathKind::Folder)
            return createFolder(part) ? FileError{FileFault::Other, 0} : lastFileError();
        if (above != PathKind::Missing)
            return FileError{FileFault::IsFile, 0};
        part = parent;
    }
}

} // namespace

bool makeFolders(const std::string& path, FileError* error)
{
    std::error_code ec;
#ifdef _WIN32
    std::filesystem::create_directories(std::filesystem::path(widePath(path)), ec);
#else
    std::filesystem::create_directories(std::filesystem::path(path), ec);
#endif
    if (isFolder(path))
        return true;
    if (error != nullptr)
        *error = folderError(path);
    return false;
}

#ifndef _WIN32

namespace {

FileIdentity identityOfStat(const struct stat& st)
{
    return FileIdentity{true, static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

} // namespace

FileIdentity identityOfPath(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return FileIdentity{};
    return identityOfStat(st);
}

FileIdentity identityOfDescriptor(int fd)
{
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return FileIdentity{};
    return identityOfStat(st);
}

bool isFolder(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool createFolder(const std::string& path)
{
    return ::mkdir(path.c_str(), 0777) == 0;
}

bool sameFileName(const std::string& a, const std::string& b)
{
    return a == b;
}

void closeDescriptor(int fd)
{
    ::close(fd);
}

long readFileAt(int fd, std::int64_t offset, void* dst, std::size_t count)
{
    return static_cast<long>(::pread(fd, dst, count, static_cast<off_t>(offset)));
}

int openDescriptor(const std::string& path, int flags, int mode)
{
    return ::open(path.c_str(), flags | O_CLOEXEC, mode);
}

PathFacts factsOfPath(const std::string& path)
{
    PathFacts facts;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return facts;
    if (S_ISDIR(st.st_mode)) {
        facts.kind = PathKind::Folder;
    } else if (S_ISREG(st.st_mode)) {
        facts.kind = PathKind::File;
        if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0)
            facts.unwritable = lastFileError();
    } else {
        facts.kind = PathKind::Other;
    }
    facts.identity = identityOfStat(st);
    return facts;
}

std::string finalPath(const std::string& path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr)
        return path;  // a link to nothing: the link is what gets replaced
    std::string target = resolved;
    std::free(resolved);
    return target;
}

bool removeFile(const std::string& path)
{
    return ::unlink(path.c_str()) == 0;
}

int openOtherForWriting(const std::string& path, FileError& error)
{
    const auto notHere = [&error](int fd) {
        if (fd >= 0)
            ::close(fd);
        error = FileError{FileFault::Other, 0};
        return -1;
    };
    // Held by a path descriptor the file is looked at without being opened; it
    // is then opened anew through /proc as the very file looked at, so no link
    // put in its place meanwhile can lead the writing elsewhere.
    const int held = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    struct stat st;
    if (held < 0) {
        error = lastFileError();
        return -1;
    }
    if (::fstat(held, &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))
        return notHere(held);
    int fd = ::open(("/proc/self/fd/" + std::to_string(held)).c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 && errno == ENOENT) {
        // Without /proc the path is opened again and must still lead there.
        struct stat now;
        fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (fd >= 0 && (::fstat(fd, &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino)) {
            ::close(fd);
            return notHere(held);
        }
    }
    if (fd < 0)
        error = lastFileError();
    ::close(held);
    return fd;
}

FileSample sampleOfFile(const std::string& path, std::size_t count)
{
    FileSample sample;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return sample;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        sample.size = static_cast<std::int64_t>(st.st_size);
        sample.identity = identityOfStat(st);
        std::int64_t offsets[kSamplePlaces];
        samplePlaces(sample.size, count, offsets);
        for (std::int64_t offset : offsets) {
            std::string part(static_cast<std::size_t>(std::min<std::int64_t>(sample.size - offset,
                                                                               static_cast<std::int64_t>(count))),
                             '\0');
            std::size_t got = 0;
            while (got < part.size()) {
                const ssize_t n = ::pread(fd, part.data() + got, part.size() - got,
                                          static_cast<off_t>(offset + static_cast<std::int64_t>(got)));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                got += static_cast<std::size_t>(n);
            }
            part.resize(got);
            sample.bytes += part;
        }
    }
    ::close(fd);
    return sample;
}

#endif

} // namespace kistwerk
