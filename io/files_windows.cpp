// The file system on Windows: UTF-16 paths, identities, folders, the files a
// run makes beside its mailbox file.
#ifdef _WIN32
#include "io/files.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "io/file_fault.h"
#include "io/win32.h"

namespace kistwerk {

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

// Declared in files.cpp, whose folder making needs it.
bool createFolder(const std::string& path)
{
    return CreateDirectoryW(systemPath(path).c_str(), nullptr) != 0;
}

bool sameFileName(const std::string& a, const std::string& b)
{
    const std::wstring wa = widePath(a);
    const std::wstring wb = widePath(b);
    return CompareStringOrdinal(wa.c_str(), static_cast<int>(wa.size()), wb.c_str(), static_cast<int>(wb.size()),
                                TRUE) == CSTR_EQUAL;
}

void closeDescriptor(int fd)
{
    _close(fd);
}

// The offset travels with the read, not in the descriptor's position.
long readFileAt(int fd, std::int64_t offset, void* dst, std::size_t count)
{
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (handle == INVALID_HANDLE_VALUE)
        return -1;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    DWORD want = count > (1u << 30) ? (1u << 30) : static_cast<DWORD>(count);
    DWORD got = 0;
    if (!ReadFile(handle, dst, want, &got, &at))
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return static_cast<long>(got);
}

int openDescriptor(const std::string& path, int flags, int mode)
{
    return _wopen(systemPath(path).c_str(), flags, mode);
}


PathFacts factsOfPath(const std::string& path)
{
    PathFacts facts;
    HANDLE handle = CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES,
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
    HANDLE search = FindFirstFileW(systemPath(path).c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return path;
    FindClose(search);
    return path.substr(0, start) + utf8Path(entry.cFileName);
}

bool removeFile(const std::string& path)
{
    return DeleteFileW(systemPath(path).c_str()) != 0;
}

int openOtherForWriting(const std::string& path, FileError& error)
{
    HANDLE handle = CreateFileW(systemPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
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
    HANDLE handle = CreateFileW(systemPath(path).c_str(), GENERIC_READ,
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

} // namespace kistwerk
#endif
