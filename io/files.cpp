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
#ifdef _WIN32
#include <io.h>
#include "io/win32.h"
#else
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

namespace {

bool createFolder(const std::string& path);

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

#ifdef _WIN32

std::wstring wideFrom(const std::string& text, unsigned codePage)
{
    if (text.empty())
        return std::wstring();
    int length = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

std::string narrowFrom(const std::wstring& wide, unsigned codePage)
{
    if (wide.empty())
        return std::string();
    int length = WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                     nullptr);
    std::string text(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length, nullptr,
                        nullptr);
    return text;
}

std::wstring widePath(const std::string& utf8)
{
    return wideFrom(utf8, CP_UTF8);
}

std::string utf8Path(const std::wstring& wide)
{
    return narrowFrom(wide, CP_UTF8);
}

// The path for the system's file calls. Past MAX_PATH the plain form fails on a
// Windows that has not been told to take long paths, so there the full path
// goes in the "\\?\" form that every Windows takes up to 32,767 characters.
// The system makes it full first: that form is taken as it is written, without
// "." and ".." or "/" resolved.
std::wstring systemPath(const std::string& path)
{
    const std::wstring wide = widePath(path);
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed <= MAX_PATH)
        return wide;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed)
        return wide;
    full.resize(length);
    if (full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0)
        return full;
    if (full.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// The 128-bit file id where the system has it (NTFS keeps the 64-bit file
// index in its low half, ReFS needs all of it), else the 64-bit file index.
// Volumes are compared by the 32 bits both calls give.
FileIdentity identityOfHandle(void* handle)
{
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr || GetFileType(handle) != FILE_TYPE_DISK)
        return FileIdentity{};
    FILE_ID_INFO id;
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
        std::uint64_t low = 0;
        std::uint64_t high = 0;
        std::memcpy(&low, id.FileId.Identifier, sizeof low);
        std::memcpy(&high, id.FileId.Identifier + sizeof low, sizeof high);
        const auto volume = static_cast<std::uint32_t>(id.VolumeSerialNumber);
        return FileIdentity{true, volume, low ^ (high * 0x9E3779B97F4A7C15ull), volume != 0};
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        return FileIdentity{};
    return FileIdentity{true, info.dwVolumeSerialNumber,
                        (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
                        info.dwVolumeSerialNumber != 0};
}

FileIdentity identityOfPath(const std::string& path)
{
    // Asking for the attributes alone: the file is not opened for its bytes,
    // and folders open too.
    HANDLE handle = CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return FileIdentity{};
    FileIdentity identity = identityOfHandle(handle);
    CloseHandle(handle);
    return identity;
}

FileIdentity identityOfDescriptor(int fd)
{
    if (fd < 0)
        return FileIdentity{};
    return identityOfHandle(reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
}

bool isFolder(const std::string& path)
{
    DWORD attributes = GetFileAttributesW(systemPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

namespace {

bool createFolder(const std::string& path)
{
    return CreateDirectoryW(widePath(path).c_str(), nullptr) != 0;
}

} // namespace

bool sameFileName(const std::string& a, const std::string& b)
{
    const std::wstring wa = widePath(a);
    const std::wstring wb = widePath(b);
    return CompareStringOrdinal(wa.c_str(), static_cast<int>(wa.size()), wb.c_str(), static_cast<int>(wb.size()),
                                TRUE) == CSTR_EQUAL;
}

int openDescriptor(const std::string& path, int flags, int mode)
{
    return _wopen(systemPath(path).c_str(), flags, mode);
}


PathFacts factsOfPath(const std::string& path)
{
    PathFacts facts;
    HANDLE handle = CreateFileW(widePath(path).c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return facts;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        facts.kind = PathKind::Other;  // NUL, CON, COM1, a named pipe
    } else if (GetFileInformationByHandle(handle, &info)) {
        const bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        facts.kind = folder ? PathKind::Folder : PathKind::File;
        facts.identity = identityOfHandle(handle);
        if (!folder && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)
            facts.unwritable = FileError{FileFault::NoPermission, ERROR_ACCESS_DENIED};
    }
    CloseHandle(handle);
    return facts;
}

std::string finalPath(const std::string& path)
{
    const std::size_t start = lastPartStart(path);
    if (path.find_first_of("*?", start) != std::string::npos)
        return path;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(widePath(path).c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return path;
    FindClose(search);
    return path.substr(0, start) + utf8Path(entry.cFileName);
}

bool removeFile(const std::string& path)
{
    return DeleteFileW(widePath(path).c_str()) != 0;
}

int openOtherForWriting(const std::string& path, FileError& error)
{
    HANDLE handle = CreateFileW(widePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = lastFileError();
        return -1;
    }
    if (GetFileType(handle) == FILE_TYPE_DISK) {
        CloseHandle(handle);
        error = FileError{FileFault::Other, 0};
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
    if (fd < 0) {
        error = FileError{FileFault::Other, 0};
        CloseHandle(handle);
    }
    return fd;
}

FileSample sampleOfFile(const std::string& path, std::size_t count)
{
    FileSample sample;
    HANDLE handle = CreateFileW(widePath(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return sample;
    BY_HANDLE_FILE_INFORMATION info;
    LARGE_INTEGER size{};
    if (GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
        GetFileSizeEx(handle, &size)) {
        sample.size = size.QuadPart;
        sample.identity = identityOfHandle(handle);
        std::int64_t offsets[kSamplePlaces];
        samplePlaces(sample.size, count, offsets);
        for (std::int64_t offset : offsets) {
            std::string part(static_cast<std::size_t>(std::min<std::int64_t>(sample.size - offset,
                                                                               static_cast<std::int64_t>(count))),
                             '\0');
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
            at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
            DWORD got = 0;
            if (!part.empty() && !ReadFile(handle, part.data(), static_cast<DWORD>(part.size()), &got, &at))
                got = 0;
            part.resize(got);
            sample.bytes += part;
        }
    }
    CloseHandle(handle);
    return sample;
}

#else

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

namespace {

bool createFolder(const std::string& path)
{
    return ::mkdir(path.c_str(), 0777) == 0;
}

} // namespace

bool sameFileName(const std::string& a, const std::string& b)
{
    return a == b;
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
