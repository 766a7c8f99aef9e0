// The mailbox file on disk, or standard output.
#include "io/output.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include "io/win32.h"
#else
#include <unistd.h>
#endif

#include "io/replacement.h"

namespace kistwerk {

FileOutput::~FileOutput()
{
    discard();
}

#ifdef _WIN32
namespace {

int openForWriting(const std::string& path)
{
    return openDescriptor(path, _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

// Cuts a file on disk to `size` bytes and goes on writing there; `onDisk`
// tells whether it is one (a device or pipe is left as it is).
bool cutFile(int fd, std::uint64_t size, bool& onDisk)
{
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    onDisk = false;
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    if (GetFileType(handle) != FILE_TYPE_DISK)
        return true;
    onDisk = true;
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) && SetEndOfFile(handle);
}

long writeSome(int fd, const std::uint8_t* data, std::size_t count)
{
    unsigned int chunk = count > (1u << 30) ? (1u << 30) : static_cast<unsigned int>(count);
    return _write(fd, data, chunk);
}

int binaryStandardOutput()
{
    _setmode(_fileno(stdout), _O_BINARY);
    return _fileno(stdout);
}

} // namespace
#else
namespace {

int openForWriting(const std::string& path)
{
    return openDescriptor(path, O_WRONLY | O_CREAT, 0666);
}

// Cuts a file on disk to `size` bytes and goes on writing there; `onDisk`
// tells whether it is one (a device or pipe is left as it is).
bool cutFile(int fd, std::uint64_t size, bool& onDisk)
{
    struct stat st;
    onDisk = false;
    if (::fstat(fd, &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode))
        return true;
    onDisk = true;
    const auto at = static_cast<off_t>(size);
    return ::ftruncate(fd, at) == 0 && ::lseek(fd, at, SEEK_SET) == at;
}

long writeSome(int fd, const std::uint8_t* data, std::size_t count)
{
    return static_cast<long>(::write(fd, data, count));
}

int binaryStandardOutput()
{
    return fileno(stdout);
}

} // namespace
#endif

void FileOutput::opened(int fd, bool ownsFile, bool cuttable)
{
    fd_ = fd;
    ownsFile_ = fd >= 0 && ownsFile;
    cuttable_ = fd >= 0 && cuttable;
    // The counts go on over every file this output has written.
    cutBase_ = bytesWritten();
}

bool FileOutput::openReplacement(const std::string& target, const FileIdentity& keep)
{
    discard();
    error_ = FileError{};
    removeLeftReplacements(target, keep);
    std::string created;
    opened(createReplacement(target, created, error_), true, true);
    if (fd_ >= 0) {
        newPath_ = created;
        target_ = target;
    }
    return fd_ >= 0;
}

bool FileOutput::openOther(const std::string& path)
{
    discard();
    error_ = FileError{};
    opened(openOtherForWriting(path, error_), true, false);
    return fd_ >= 0;
}

bool FileOutput::openKept(const std::string& path)
{
    discard();
    error_ = FileError{};
    opened(openForWriting(path), true, false);
    if (fd_ < 0) {
        noteError();
        // Windows refuses a folder of that name as a missing permission.
        if (isFolder(path))
            error_.fault = FileFault::IsFolder;
    }
    return fd_ >= 0;
}

bool FileOutput::openStandardOutput()
{
    discard();
    error_ = FileError{};
    // Whatever the C library still holds for standard output goes first.
    std::fflush(stdout);
    opened(binaryStandardOutput(), false, false);
    return fd_ >= 0;
}

FileIdentity FileOutput::identity() const
{
    return identityOfDescriptor(fd_);
}

bool FileOutput::truncate()
{
    bool onDisk = false;
    const bool emptied = fd_ >= 0 && cutFile(fd_, 0, onDisk);
    cuttable_ = emptied && onDisk && ownsFile_;
    cutBase_ = bytesWritten();
    return emptied;
}

bool FileOutput::putInPlace()
{
    if (fd_ >= 0 || newPath_.empty())
        return false;
    FileError refused;
    if (!replaceFile(newPath_, target_, refused)) {
        if (error_.fault == FileFault::None)
            error_ = refused;
        discard();
        return false;
    }
    newPath_.clear();
    target_.clear();
    return true;
}

void FileOutput::discard()
{
    close();
    if (!newPath_.empty())
        removeFile(newPath_);
    newPath_.clear();
    target_.clear();
}

bool FileOutput::cutStored(std::uint64_t size)
{
    bool onDisk = false;
    if (!cuttable_ || size < cutBase_ || !cutFile(fd_, size - cutBase_, onDisk)) {
        noteError();
        return false;
    }
    // A write that failed past the cut failed for bytes that are gone now.
    error_ = FileError{};
    return true;
}

void FileOutput::noteError()
{
    // The first failure is the cause; later ones follow from it.
    if (error_.fault == FileFault::None)
        error_ = lastFileError();
}

bool FileOutput::store(const std::uint8_t* data, std::size_t count)
{
    if (fd_ < 0)
        return false;
    while (count > 0) {
        long n = writeSome(fd_, data, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            noteError();
            return false;
        }
        data += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

bool FileOutput::close()
{
    if (fd_ < 0)
        return !failed();
    bool ok = flush();
#ifdef _WIN32
    if (ownsFile_ && _close(fd_) != 0) {
        noteError();
        ok = false;
    }
#else
    if (ownsFile_ && ::close(fd_) != 0) {
        noteError();
        ok = false;
    }
#endif
    fd_ = -1;
    ownsFile_ = false;
    cuttable_ = false;
    return ok;
}

} // namespace kistwerk
