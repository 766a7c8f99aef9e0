// File and memory implementations of the positioned-read input.
#include "io/input.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#include "io/win32.h"
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "io/files.h"

namespace kistwerk {

namespace {

#ifdef _WIN32
int openReadOnly(const std::string& path)
{
    return openDescriptor(path, _O_RDONLY | _O_BINARY);
}

std::int64_t fileSize(int fd)
{
    return _lseeki64(fd, 0, SEEK_END);
}

#else
// Without waiting for a writer, should the path have become a named pipe since
// it was looked at: the size check below then refuses it. For a file it
// changes nothing.
int openReadOnly(const std::string& path)
{
    return openDescriptor(path, O_RDONLY | O_NONBLOCK);
}

std::int64_t fileSize(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<std::int64_t>(st.st_size);
}

#endif

// How the streams size their reads. A stream that jumps reads what it was
// told to expect there, else this much: a stretch of nodes or table entries
// for the walk, or the first part of a record for a reader of records.
constexpr std::size_t kJumpRead = std::size_t{16} << 10;
constexpr std::size_t kReaderJumpRead = std::size_t{4} << 10;
// A stream read on forward reads at least this much past what is asked.
constexpr std::size_t kMinLookahead = 64;
// A gap this short between a stream's window and the next read is read
// through: a call to the system costs about as much as copying this many
// bytes from its cache.
constexpr std::int64_t kGapRead = std::int64_t{16} << 10;
// The thread that walks the tree waits for the reading ahead only where its
// read lies this close ahead of it; further off (the nodes of a file that
// keeps them behind its records) it reads for itself.
constexpr std::int64_t kNearAhead = std::int64_t{16} << 20;
// Nor does it wait longer than this, since it looks for a stop between its
// reads: on a slow medium 16 MiB can take many seconds.
constexpr std::chrono::milliseconds kWalkPatience{200};

} // namespace

FileInput::FileInput() = default;

FileInput::~FileInput()
{
    close();
}

bool FileInput::open(const std::string& path)
{
    close();
    error_ = FileError{};
    fd_ = openReadOnly(path);
    if (fd_ < 0) {
        error_ = lastFileError();
        // Windows refuses a folder as a missing permission.
        if (isFolder(path))
            error_.fault = FileFault::IsFolder;
        return false;
    }
    size_ = fileSize(fd_);
    if (size_ < 0) {
        // POSIX opens a folder, a device or a pipe for reading; none is a PFC file.
        error_ = FileError{isFolder(path) ? FileFault::IsFolder : FileFault::NotAFile, 0};
        close();
        return false;
    }
    ownsFile_ = true;
    path_ = path;
    windowSize_ = kWindowSize;
    jumpRead_ = kJumpRead;
    clearStreams();
    return true;
}

bool FileInput::share(const FileInput& owner, std::size_t windowSize)
{
    close();
    if (!owner.isOpen())
        return false;
    fd_ = owner.fd_;
    size_ = owner.size_;
    ownsFile_ = false;
    ahead_ = owner.ahead_;
    windowSize_ = windowSize;
    jumpRead_ = kReaderJumpRead;
    clearStreams();
    return true;
}

FileIdentity FileInput::identity() const
{
    return identityOfDescriptor(fd_);
}

std::unique_ptr<InputSource> FileInput::openReader()
{
    auto reader = std::make_unique<FileInput>();
    if (!reader->share(*this, kReaderWindowSize))
        return nullptr;
    return reader;
}

void FileInput::startReadingAhead()
{
    if (!ownsFile_ || ahead_ != nullptr)
        return;
    ownAhead_ = std::make_unique<ReadAhead>();
    if (ownAhead_->start(fd_, path_, size_))
        ahead_ = ownAhead_.get();
}

void FileInput::stopReadingAhead()
{
    if (ownAhead_)
        ownAhead_->stop();
}

void FileInput::clearStreams()
{
    if (storage_.size() != windowSize_ * kStreamCount)
        storage_.resize(windowSize_ * kStreamCount);
    for (int i = 0; i < kStreamCount; ++i) {
        streams_[i] = Stream{};
        streams_[i].data = storage_.data() + windowSize_ * static_cast<std::size_t>(i);
    }
    recent_ = nullptr;
    useClock_ = 0;
}

void FileInput::close()
{
    stopReadingAhead();
    ownAhead_.reset();
    ahead_ = nullptr;
    if (fd_ >= 0 && ownsFile_)
        closeDescriptor(fd_);
    fd_ = -1;
    ownsFile_ = false;
    size_ = 0;
    recent_ = nullptr;
    for (Stream& s : streams_)
        s.start = -1;
}

// Reads until `count` bytes are in or the file gives no more. While the file
// is read ahead, a record reader always lets the reading ahead bring its bytes
// in; the walk only where they come soon.
std::size_t FileInput::readFile(std::int64_t offset, std::uint8_t* dst, std::size_t count)
{
    if (ahead_ != nullptr && ahead_->running()) {
        const std::int64_t end = offset + static_cast<std::int64_t>(count);
        if (!ownsFile_)
            ahead_->waitFor(end);
        else if (offset < ahead_->reached() + kNearAhead)
            ahead_->waitFor(end, kWalkPatience);
    }
    std::size_t done = 0;
    while (done < count) {
        long n = readFileAt(fd_, offset + static_cast<std::int64_t>(done), dst + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

FileInput::Stream* FileInput::streamHolding(std::int64_t offset, std::size_t count)
{
    auto holds = [offset, count](const Stream& s) {
        return s.start >= 0 && offset >= s.start &&
               offset - s.start + static_cast<std::int64_t>(count) <= static_cast<std::int64_t>(s.length);
    };
    if (recent_ != nullptr && holds(*recent_))
        return recent_;
    for (Stream& s : streams_) {
        if (holds(s))
            return &s;
    }
    return nullptr;
}

// The stream whose window ends just before `offset` goes on; otherwise the
// stream used longest ago jumps there.
FileInput::Stream& FileInput::streamFor(std::int64_t offset)
{
    Stream* oldest = &streams_[0];
    for (Stream& s : streams_) {
        if (s.start >= 0 && offset >= s.start && offset <= s.start + static_cast<std::int64_t>(s.length) + kGapRead)
            return s;
        if (s.lastUse < oldest->lastUse)
            oldest = &s;
    }
    oldest->start = -1;
    oldest->length = 0;
    oldest->runStart = offset;
    return *oldest;
}

// A stream read on forward reads as much again as its run so far, so that a
// file read in order takes few calls; one that jumps reads the stretch it was
// told to expect at `offset`, or a little.
std::size_t FileInput::fillSize(const Stream& stream, std::int64_t offset, std::size_t count) const
{
    std::size_t want = 0;
    if (stream.start < 0)
        want = offset == expectAt_ ? std::max(count, expectCount_) : std::max(count, jumpRead_);
    else
        want = count + std::max(static_cast<std::size_t>(offset - stream.runStart), kMinLookahead);
    want = std::min(want, windowSize_);
    std::int64_t left = size_ - offset;
    return left < static_cast<std::int64_t>(want) ? static_cast<std::size_t>(left) : want;
}

// Fills the stream's window from `offset` on. Bytes of the old window from
// `offset` on move to its front rather than being read again.
void FileInput::refill(Stream& stream, std::int64_t offset, std::size_t count)
{
    std::size_t want = fillSize(stream, offset, count);
    std::size_t kept = 0;
    if (stream.start >= 0 && offset < stream.start + static_cast<std::int64_t>(stream.length)) {
        kept = static_cast<std::size_t>(stream.start + static_cast<std::int64_t>(stream.length) - offset);
        std::memmove(stream.data, stream.data + (offset - stream.start), kept);
    }
    std::size_t got = want > kept ? readFile(offset + static_cast<std::int64_t>(kept), stream.data + kept, want - kept) : 0;
    stream.start = offset;
    stream.length = kept + got;
}

// The stream that holds [offset, offset + count) once it has been read in, as
// far as the file delivers it; `count` is at most a window.
FileInput::Stream* FileInput::cover(std::int64_t offset, std::size_t count)
{
    Stream* s = streamHolding(offset, count);
    if (s == nullptr) {
        s = &streamFor(offset);
        refill(*s, offset, count);
        if (s->length == 0) {
            s->start = -1;
            return nullptr;
        }
    }
    s->lastUse = ++useClock_;
    recent_ = s;
    return s;
}

std::size_t FileInput::readAt(std::int64_t offset, void* dst, std::size_t count)
{
    if (fd_ < 0 || offset < 0 || offset >= size_ || count == 0)
        return 0;
    std::int64_t avail = size_ - offset;
    if (static_cast<std::uint64_t>(avail) < count)
        count = static_cast<std::size_t>(avail);
    auto* out = static_cast<std::uint8_t*>(dst);
    // Most reads are a few bytes from the window the last read used.
    Stream* r = recent_;
    if (r != nullptr && offset >= r->start &&
        offset - r->start + static_cast<std::int64_t>(count) <= static_cast<std::int64_t>(r->length)) {
        std::memcpy(out, r->data + (offset - r->start), count);
        return count;
    }
    // A read larger than a window gains nothing from a stream.
    if (count > windowSize_)
        return readFile(offset, out, count);
    const Stream* s = cover(offset, count);
    if (s == nullptr)
        return 0;
    // A window shorter than asked for: the file shrank under us, or the medium
    // failed. Deliver what there is.
    std::size_t n = std::min(count, s->length - static_cast<std::size_t>(offset - s->start));
    std::memcpy(out, s->data + (offset - s->start), n);
    return n;
}

const std::uint8_t* FileInput::view(std::int64_t offset, std::size_t count, std::uint8_t* scratch)
{
    if (count == 0)
        return scratch;
    if (fd_ < 0 || offset < 0 || offset > size_ || static_cast<std::uint64_t>(size_ - offset) < count)
        return nullptr;
    if (count > windowSize_)
        return readExact(offset, scratch, count) ? scratch : nullptr;
    const Stream* s = cover(offset, count);
    if (s == nullptr || offset - s->start + static_cast<std::int64_t>(count) > static_cast<std::int64_t>(s->length))
        return nullptr;
    return s->data + (offset - s->start);
}

std::size_t MemoryInput::readAt(std::int64_t offset, void* dst, std::size_t count)
{
    std::int64_t total = size();
    if (offset < 0 || offset >= total)
        return 0;
    std::size_t avail = static_cast<std::size_t>(total - offset);
    std::size_t n = count < avail ? count : avail;
    std::memcpy(dst, data_ + offset, n);
    return n;
}

const std::uint8_t* MemoryInput::view(std::int64_t offset, std::size_t count, std::uint8_t* scratch)
{
    if (count == 0)
        return scratch;
    if (offset < 0 || offset > size() || static_cast<std::uint64_t>(size() - offset) < count)
        return nullptr;
    return data_ + offset;
}

std::unique_ptr<InputSource> MemoryInput::openReader()
{
    return std::unique_ptr<InputSource>(new MemoryInput(Borrowed{}, data_, size_));
}

} // namespace kistwerk
