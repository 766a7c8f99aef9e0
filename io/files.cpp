// File identity, folders and opening by UTF-8 name on POSIX and Windows.
#include "io/files.h"

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

bool makeFolders(const std::string& path)
{
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(widePath(path)), ec);
    return isFolder(path);
}

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

bool makeFolders(const std::string& path)
{
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path), ec);
    return isFolder(path);
}

bool sameFileName(const std::string& a, const std::string& b)
{
    return a == b;
}

int openDescriptor(const std::string& path, int flags, int mode)
{
    return ::open(path.c_str(), flags | O_CLOEXEC, mode);
}

#endif

} // namespace kistwerk
