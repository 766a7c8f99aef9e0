// Mapping of the system's error codes to the faults a user can act on.
#include "io/file_fault.h"

#include <cerrno>

#ifdef _WIN32
#include "io/win32.h"
#endif

namespace kistwerk {

namespace {

#ifdef _WIN32
FileFault faultFromWindowsError(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: case ERROR_INVALID_DRIVE: case ERROR_BAD_NETPATH:
        return FileFault::NotFound;
    case ERROR_ACCESS_DENIED:
        return FileFault::NoPermission;
    case ERROR_SHARING_VIOLATION: case ERROR_LOCK_VIOLATION:
        return FileFault::InUse;
    case ERROR_DISK_FULL: case ERROR_HANDLE_DISK_FULL:
        return FileFault::DiskFull;
    case ERROR_WRITE_PROTECT:
        return FileFault::ReadOnly;
    case ERROR_FILENAME_EXCED_RANGE:
        return FileFault::NameTooLong;
    case ERROR_INVALID_NAME: case ERROR_BAD_PATHNAME:
        return FileFault::InvalidName;
    default:
        return FileFault::Other;
    }
}
#endif

} // namespace

FileFault faultFromErrno(int error)
{
    switch (error) {
    case ENOENT: case ENOTDIR:
        return FileFault::NotFound;
    case EACCES: case EPERM:
        return FileFault::NoPermission;
    case EISDIR:
        return FileFault::IsFolder;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
        return FileFault::DiskFull;
    case EROFS:
        return FileFault::ReadOnly;
    case ENAMETOOLONG:
        return FileFault::NameTooLong;
    case EINTR:
        return FileFault::Interrupted;
    case ENXIO:  // a socket, or a device that is not there
        return FileFault::NotAFile;
    default:
        return FileFault::Other;
    }
}

FileError lastFileError()
{
#ifdef _WIN32
    // The C library sets errno from the system's code, losing what sets a file
    // in use apart from a missing permission.
    const DWORD systemError = GetLastError();
    if (systemError != ERROR_SUCCESS)
        return FileError{faultFromWindowsError(systemError), static_cast<int>(systemError)};
#endif
    const int error = errno;
    return FileError{faultFromErrno(error), error};
}

} // namespace kistwerk
