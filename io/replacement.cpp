// Writing a file beside the one it replaces, and putting it in place.
#include "io/replacement.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include "io/win32.h"
#else
#include <dirent.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace kistwerk {

namespace {

constexpr char kMark[] = ".kistwerk-";
constexpr char kEnd[] = ".tmp";
constexpr std::size_t kMarkLength = sizeof kMark - 1;
constexpr std::size_t kMarkDigits = 8;
constexpr std::size_t kAdded = kMarkLength + kMarkDigits + sizeof kEnd - 1;
// The longest file name; on Windows in UTF-16 units. The path may be longer
// than MAX_PATH: the system's calls take it in the long form (systemPath).
constexpr std::size_t kLongestName = 255;

// The target's name as the new file's name begins with it, cut where the whole
// would not fit.
std::string stemOf(const std::string& target)
{
    const std::size_t start = lastPartStart(target);
    std::string name = target.substr(start);
#ifdef _WIN32
    const std::wstring wide = widePath(name);
    const std::size_t room = kLongestName - kAdded;
    if (wide.size() > room) {
        std::size_t cut = room;
        if (wide[cut - 1] >= 0xD800 && wide[cut - 1] <= 0xDBFF)
            --cut;  // not half a surrogate pair
        name = utf8Path(wide.substr(0, cut));
    }
#else
    const std::size_t room = kLongestName - kAdded;
    if (name.size() > room) {
        std::size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
            --cut;  // not inside a UTF-8 character
        name.resize(cut);
    }
#endif
    return name;
}

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::uint64_t processId()
{
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return static_cast<std::uint64_t>(::getpid());
#endif
}

// A mark that differs between runs of one process and between processes
// started at the same moment; the exclusive create settles the rare clash.
std::uint32_t nextMark()
{
    static std::atomic<std::uint64_t> count{0};
    std::uint64_t x = static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) ^
                      (processId() << 40) ^ (++count * 0x9E3779B97F4A7C15ull);
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    return static_cast<std::uint32_t>(x);
}

constexpr int kAttempts = 16;

} // namespace

std::string replacementName(const std::string& target, std::uint32_t mark)
{
    char digits[kMarkDigits + 1];
    std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(mark));
    return target.substr(0, lastPartStart(target)) + stemOf(target) + kMark + digits + kEnd;
}

bool isReplacementName(const std::string& name, const std::string& target)
{
    const std::string stem = stemOf(target);
    if (name.size() != stem.size() + kAdded || !sameFileName(name.substr(0, stem.size()), stem))
        return false;
    const std::string rest = name.substr(stem.size());
    return sameFileName(rest.substr(0, kMarkLength), kMark) &&
           std::all_of(rest.begin() + kMarkLength, rest.begin() + kMarkLength + kMarkDigits, isHexDigit) &&
           sameFileName(rest.substr(kMarkLength + kMarkDigits), kEnd);
}

#ifdef _WIN32

int createReplacement(const std::string& target, std::string& created, FileError& error)
{
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const std::string path = replacementName(target, nextMark());
        // Shared for reading only: while it is open, no one deletes or renames it.
        HANDLE handle = CreateFileW(systemPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD code = GetLastError();
            if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS)
                continue;
            error = lastFileError();
            return -1;
        }
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
        if (fd < 0) {
            CloseHandle(handle);
            DeleteFileW(systemPath(path).c_str());
            error = FileError{FileFault::Other, 0};
            return -1;
        }
        created = path;
        return fd;
    }
    error = FileError{FileFault::Other, ERROR_FILE_EXISTS};
    return -1;
}

void removeLeftReplacements(const std::string& target, const FileIdentity& keep)
{
    const std::string folder = target.substr(0, lastPartStart(target));
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(systemPath(folder + stemOf(target) + kMark + "*" + kEnd).c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
            continue;
        const std::string name = utf8Path(entry.cFileName);
        if (!isReplacementName(name, target) || sameFile(identityOfPath(folder + name), keep))
            continue;
        // A running program holds its new file without sharing deletion.
        DeleteFileW(systemPath(folder + name).c_str());
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

bool replaceFile(const std::string& from, const std::string& to, FileError& error)
{
    if (MoveFileExW(systemPath(from).c_str(), systemPath(to).c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    error = lastFileError();
    // Windows calls a file that another program holds open a missing
    // permission; asking for the right to delete it alone tells the two apart.
    if (error.fault == FileFault::NoPermission) {
        HANDLE handle = CreateFileW(systemPath(to).c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        else if (GetLastError() == ERROR_SHARING_VIOLATION)
            error = FileError{FileFault::InUse, ERROR_SHARING_VIOLATION};
    }
    return false;
}

#else

int createReplacement(const std::string& target, std::string& created, FileError& error)
{
    struct stat old;
    const bool replacing = ::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    const mode_t mode = replacing ? (old.st_mode & 0777) : 0666;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const std::string path = replacementName(target, nextMark());
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, mode);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            error = lastFileError();
            return -1;
        }
        // The lock tells a later run that this file is in use; a file system
        // without locks only loses that.
        ::flock(fd, LOCK_EX | LOCK_NB);
        // Created under the umask, never with more permissions than the old
        // file; now exactly its permissions, so private mail stays private,
        // and its owner and group where this user may give them (root may).
        if (replacing) {
            if (::fchown(fd, old.st_uid, old.st_gid) != 0)
                (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
            ::fchmod(fd, mode);
        }
        created = path;
        return fd;
    }
    error = FileError{FileFault::Other, EEXIST};
    return -1;
}

void removeLeftReplacements(const std::string& target, const FileIdentity& keep)
{
    const std::size_t start = lastPartStart(target);
    DIR* folder = ::opendir(start == 0 ? "." : target.substr(0, start).c_str());
    if (folder == nullptr)
        return;
    const int at = ::dirfd(folder);
    while (const dirent* entry = ::readdir(folder)) {
        if (!isReplacementName(entry->d_name, target))
            continue;
        const int fd = ::openat(at, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st;
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            !sameFile(FileIdentity{true, static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)},
                      keep) &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlinkat(at, entry->d_name, 0);
        ::close(fd);
    }
    ::closedir(folder);
}

bool replaceFile(const std::string& from, const std::string& to, FileError& error)
{
    if (::rename(from.c_str(), to.c_str()) == 0)
        return true;
    error = lastFileError();
    return false;
}

#endif

} // namespace kistwerk
