// Why the system refused to open, read or write a file, in the few kinds a user
// can act on. The errno or Windows error code stays beside it for the kinds
// that have no name of their own.
#pragma once

namespace kistwerk {

enum class FileFault {
    None,
    NotFound,      // the file, or a folder on its path, does not exist
    NoPermission,  // the system forbids it to this user
    IsFolder,      // the name is a folder's
    NotAFile,      // a device or pipe where a file was expected
    InUse,         // another program holds the file open (Windows)
    DiskFull,
    ReadOnly,      // a write-protected medium or file system
    NameTooLong,
    InvalidName,   // characters or a form the system takes in no name (Windows)
    IsFile,        // an ordinary file stands where a folder was wanted
    Interrupted,   // the user stopped the program while the system waited (Ctrl-C)
    Other,
};

struct FileError {
    FileFault fault = FileFault::None;
    int code = 0;  // errno, or GetLastError on Windows
};

// The error the last failed system call left: errno, and on Windows the system's
// own error code first, which tells a shared file and write protection apart.
FileError lastFileError();

// What errno tells.
FileFault faultFromErrno(int error);

} // namespace kistwerk
