// What the file system says beyond a file's bytes: which file a path or an open
// descriptor is, whether a path is a folder. Paths are UTF-8 everywhere; on
// Windows they become UTF-16 only at the system call, so a name outside the
// ANSI code page opens as well as any other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "io/file_fault.h"

namespace kistwerk {

// One file, however it is reached: device and inode on POSIX, volume serial
// number and file index on Windows. Names, links, case and code pages do not
// enter into it.
struct FileIdentity {
    bool known = false;
    std::uint64_t volume = 0;
    std::uint64_t file = 0;
    // Wine gives a handle it inherited from a Unix descriptor (a shell's
    // redirection) the file's index but no volume.
    bool volumeKnown = true;
};

// True only when both identities are known and are one file. Where a volume is
// not known the file index decides alone: a rare false match only refuses.
bool sameFile(const FileIdentity& a, const FileIdentity& b);

// The identity of the file a path leads to (links followed), found without
// opening it for reading or writing; unknown when there is no such file.
FileIdentity identityOfPath(const std::string& path);

// The identity of an open descriptor; unknown for a console or when the system
// cannot tell.
FileIdentity identityOfDescriptor(int fd);

bool isFolder(const std::string& path);

// Creates the folder and any folders missing above it; true when it exists
// afterwards. Otherwise `error` (where given) says why: a file in the way
// (IsFile), or what the system answered for the first folder it would not make.
bool makeFolders(const std::string& path, FileError* error = nullptr);

// True when two file names in one folder name one file: letter case counts on
// POSIX, not on Windows.
bool sameFileName(const std::string& a, const std::string& b);

// Where the last part of a path begins: behind its last separator ("/", and
// on Windows "\" and a drive's colon too).
std::size_t lastPartStart(const std::string& path);

// Opens with the C library's _open/open flags; the path is UTF-8.
int openDescriptor(const std::string& path, int flags, int mode = 0);
void closeDescriptor(int fd);

// Reads up to `count` bytes at `offset` of the open file without moving its
// position, so that threads may read one file at once: the bytes read, 0 at
// its end, -1 on an error.
long readFileAt(int fd, std::int64_t offset, void* dst, std::size_t count);

// What a path leads to, links followed, found without opening the file for its
// bytes (so a pipe with no writer cannot keep the caller waiting): nothing, an
// ordinary file, a folder, or something else (a device, a pipe, a socket; on
// Windows NUL, CON and their kin).
enum class PathKind { Missing, File, Folder, Other };

struct PathFacts {
    PathKind kind = PathKind::Missing;
    FileIdentity identity;
    // A file this user may not change (read-only attribute, permissions, a
    // write-protected medium): why not. None when it may.
    FileError unwritable;
};

PathFacts factsOfPath(const std::string& path);

// The path under which the file that `path` leads to stands in its folder: a
// symbolic link as the last part is followed (POSIX), and an 8.3 alias or
// another letter case becomes the name the folder keeps (Windows). The path
// itself where no such file exists.
std::string finalPath(const std::string& path);

// Removes an ordinary file (never a folder); false when the system refuses.
bool removeFile(const std::string& path);

// Opens the device or pipe at `path` for writing: -1 and why when the system
// refuses, and -1 without opening anything for writing when the path has come
// to lead to an ordinary file or a folder meanwhile (which is then no place to
// write into directly).
int openOtherForWriting(const std::string& path, FileError& error);

// Where a sample of a file of `size` bytes is taken: `count` bytes at its
// start, in its middle and at its end (fewer, and overlapping, in a short file).
constexpr int kSamplePlaces = 3;
void samplePlaces(std::int64_t size, std::size_t count, std::int64_t (&offsets)[kSamplePlaces]);

// A sample of the ordinary file at `path`, read without following a link in
// its last part and without waiting on a device: its size (-1 when no ordinary
// file is there), its identity and the bytes at samplePlaces, one stretch after
// the other.
struct FileSample {
    std::int64_t size = -1;
    FileIdentity identity;
    std::string bytes;
};

FileSample sampleOfFile(const std::string& path, std::size_t count);

#ifdef _WIN32
// Text in a Windows code page (CP_UTF8, CP_ACP, ...) to UTF-16 and back.
std::wstring wideFrom(const std::string& text, unsigned codePage);
std::string narrowFrom(const std::wstring& wide, unsigned codePage);

std::wstring widePath(const std::string& utf8);
std::string utf8Path(const std::wstring& wide);

// The path as the system's file calls take it: past MAX_PATH the full path in
// the "\\?\" form.
std::wstring systemPath(const std::string& path);

// The identity of an open Windows handle; unknown for anything but a disk file.
FileIdentity identityOfHandle(void* handle);
#endif

} // namespace kistwerk
