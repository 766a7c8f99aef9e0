// File and memory implementations of the positioned-read input.
#include "io/input.h"

#include <algorithm>
#include <cerrno>
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

void closeFile(int fd)
{
    _close(fd);
}

std::int64_t fileSize(int fd)
{
    return _lseeki64(fd, 0, SEEK_END);
}

// One read at an absolute 64-bit offset. The offset travels with the read, not
// in the descriptor's position, so readers on two threads may share the file.
long readSome(int fd, std::int64_t offset, std::uint8_t* dst, std::size_t count)
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
#else
int openReadOnly(const std::string& path)
{
    return openDescriptor(path, O_RDONLY);
}

void closeFile(int fd)
{
    ::close(fd);
}

std::int64_t fileSize(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<std::int64_t>(st.st_size);
}

long readSome(int fd, std::int64_t offset, std::uint8_t* dst, std::size_t count)
{
    return static_cast<long>(::pread(fd, dst, count, static_cast<off_t>(offset)));
}
#endif

// How the streams size their reads. A run is the stretch a stream reads
// forward from where it last jumped to; runs of a few KB mean nodes or records
// scattered through the file, runs of many MB mean the file is read in order.
constexpr std::size_t kInitialRunEstimate = std::size_t{4} << 10;
// The typical run follows each run that ends in a jump by a sixteenth: runs of
// scattered records differ a lot from one to the next, and a stream that sized
// its reads by the last few would read too much after a long one and call the
// kernel again after a short one.
constexpr std::size_t kRunWeight = 16;
// A stream that jumps starts with two thirds of a typical run: most short runs
// need no second read, and the bytes a run shorter than that leaves unused stay
// a small share of what is read.
constexpr std::size_t kJumpPart = 2;
constexpr std::size_t kJumpWhole = 3;
// A stream read on forward reads what is asked plus a little, so that the few
// bytes behind the last field of a record come along without reading far past
// the record; once its run is longer than a typical one, it reads as much again
// as the run so far.
constexpr std::size_t kLookaheadShare = 64;
constexpr std::size_t kMinLookahead = 64;
// A read this far behind the end of a stream's window, relative to that
// stream's last read, still goes on with the stream: skipping a few bytes of a
// stream read in order costs less than starting a new one.
constexpr std::size_t kGapShare = 8;

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
    windowSize_ = kWindowSize;
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
    windowSize_ = windowSize;
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
    runEstimate_ = kInitialRunEstimate;
}

void FileInput::close()
{
    if (fd_ >= 0 && ownsFile_)
        closeFile(fd_);
    fd_ = -1;
    ownsFile_ = false;
    size_ = 0;
    recent_ = nullptr;
    for (Stream& s : streams_)
        s.start = -1;
}

// Reads until `count` bytes are in or the file gives no more.
std::size_t FileInput::readFile(std::int64_t offset, std::uint8_t* dst, std::size_t count)
{
    std::size_t done = 0;
    while (done < count) {
        long n = readSome(fd_, offset + static_cast<std::int64_t>(done), dst + done, count - done);
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
// stream used longest ago jumps there, and the length of the run it leaves
// behind teaches how long runs are in this file.
FileInput::Stream& FileInput::streamFor(std::int64_t offset)
{
    Stream* oldest = &streams_[0];
    for (Stream& s : streams_) {
        if (s.start >= 0 && offset >= s.start) {
            std::int64_t end = s.start + static_cast<std::int64_t>(s.length);
            if (offset <= end + static_cast<std::int64_t>(s.lastFill / kGapShare))
                return s;
        }
        if (s.lastUse < oldest->lastUse)
            oldest = &s;
    }
    if (oldest->runStart >= 0 && oldest->reached > oldest->runStart) {
        auto run = static_cast<std::size_t>(oldest->reached - oldest->runStart);
        runEstimate_ = ((kRunWeight - 1) * runEstimate_ + std::min(run, windowSize_)) / kRunWeight;
    }
    oldest->start = -1;
    oldest->length = 0;
    oldest->runStart = offset;
    oldest->reached = offset;
    return *oldest;
}

std::size_t FileInput::fillSize(const Stream& stream, std::int64_t offset, std::size_t count) const
{
    std::size_t want = 0;
    if (stream.start < 0) {
        want = std::max(count, runEstimate_ * kJumpPart / kJumpWhole);
        // A stretch said to be longer is taken whole; where the reads jump
        // from one short stretch to the next, it is taken as it is said to be.
        if (offset == expectAt_ && (expectCount_ > want || runEstimate_ < windowSize_ / 4))
            want = std::max(count, expectCount_);
    } else {
        auto run = static_cast<std::size_t>(offset - stream.runStart);
        std::size_t lookahead = run >= runEstimate_ ? run : runEstimate_ / kLookaheadShare;
        want = count + std::max(lookahead, kMinLookahead);
    }
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
    stream.lastFill = want - kept;
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
    s->reached = std::max(s->reached, offset + static_cast<std::int64_t>(count));
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
        r->reached = std::max(r->reached, offset + static_cast<std::int64_t>(count));
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
