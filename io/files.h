// What the file system says beyond a file's bytes: which file a path or an open
// descriptor is, whether a path is a folder. Paths are UTF-8 everywhere; on
// Windows they become UTF-16 only at the system call, so a name outside the
// ANSI code page opens as well as any other.
#pragma once

#include <cstdint>
#include <string>

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
// afterwards.
bool makeFolders(const std::string& path);

// True when two file names in one folder name one file: letter case counts on
// POSIX, not on Windows.
bool sameFileName(const std::string& a, const std::string& b);

// Opens with the C library's _open/open flags; the path is UTF-8.
int openDescriptor(const std::string& path, int flags, int mode = 0);

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
