// File and memory implementations of the positioned-read input.
#include "io/input.h"

#include <cerrno>

#include "io/files.h"
#include <cstring>

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

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

} // namespace

FileInput::FileInput() = default;

FileInput::~FileInput()
{
    close();
}

bool FileInput::open(const std::string& path)
{
    close();
    fd_ = openReadOnly(path);
    if (fd_ < 0)
        return false;
    size_ = fileSize(fd_);
    if (size_ < 0) {
        close();
        return false;
    }
    ownsFile_ = true;
    blockSize_ = kBlockSize;
    clearBlocks();
    return true;
}

bool FileInput::share(const FileInput& owner, std::size_t blockSize)
{
    close();
    if (!owner.isOpen())
        return false;
    fd_ = owner.fd_;
    size_ = owner.size_;
    ownsFile_ = false;
    blockSize_ = blockSize;
    clearBlocks();
    return true;
}

FileIdentity FileInput::identity() const
{
    return identityOfDescriptor(fd_);
}

std::unique_ptr<InputSource> FileInput::openReader()
{
    auto reader = std::make_unique<FileInput>();
    if (!reader->share(*this, kReaderBlockSize))
        return nullptr;
    return reader;
}

void FileInput::clearBlocks()
{
    if (storage_.size() != blockSize_ * kBlockCount)
        storage_.resize(blockSize_ * kBlockCount);
    for (int i = 0; i < kBlockCount; ++i)
        blocks_[i] = Block{-1, 0, 0, storage_.data() + blockSize_ * static_cast<std::size_t>(i)};
    recent_ = nullptr;
    useClock_ = 0;
}

void FileInput::close()
{
    if (fd_ >= 0 && ownsFile_)
        closeFile(fd_);
    fd_ = -1;
    ownsFile_ = false;
    size_ = 0;
    recent_ = nullptr;
    for (Block& b : blocks_)
        b.start = -1;
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

// The cached block holding `offset`, read in when needed over the block used
// longest ago. Blocks start at multiples of the block size, so two blocks never
// overlap.
const FileInput::Block* FileInput::blockAt(std::int64_t offset)
{
    std::int64_t start = offset & ~static_cast<std::int64_t>(blockSize_ - 1);
    if (recent_ != nullptr && recent_->start == start)
        return recent_;
    Block* victim = &blocks_[0];
    for (Block& b : blocks_) {
        if (b.start == start) {
            b.lastUse = ++useClock_;
            recent_ = &b;
            return recent_;
        }
        if (b.lastUse < victim->lastUse)
            victim = &b;
    }
    std::int64_t left = size_ - start;
    std::size_t want = left < static_cast<std::int64_t>(blockSize_) ? static_cast<std::size_t>(left) : blockSize_;
    victim->length = readFile(start, victim->data, want);
    victim->start = victim->length > 0 ? start : -1;
    victim->lastUse = ++useClock_;
    recent_ = victim->start >= 0 ? victim : nullptr;
    return recent_;
}

std::size_t FileInput::readAt(std::int64_t offset, void* dst, std::size_t count)
{
    if (fd_ < 0 || offset < 0 || offset >= size_ || count == 0)
        return 0;
    std::int64_t avail = size_ - offset;
    if (static_cast<std::uint64_t>(avail) < count)
        count = static_cast<std::size_t>(avail);
    auto* out = static_cast<std::uint8_t*>(dst);
    // Most reads are a few bytes from the block the last read used.
    if (recent_ != nullptr && offset >= recent_->start &&
        offset - recent_->start + static_cast<std::int64_t>(count) <= static_cast<std::int64_t>(recent_->length)) {
        std::memcpy(out, recent_->data + (offset - recent_->start), count);
        return count;
    }
    // A read as large as a block gains nothing from the cache.
    if (count >= blockSize_)
        return readFile(offset, out, count);
    std::size_t done = 0;
    while (done < count) {
        std::int64_t at = offset + static_cast<std::int64_t>(done);
        const Block* b = blockAt(at);
        if (b == nullptr)
            break;
        auto inBlock = static_cast<std::size_t>(at - b->start);
        if (inBlock >= b->length)
            break;  // the file shrank under us: deliver what there is
        std::size_t n = b->length - inBlock;
        if (n > count - done)
            n = count - done;
        std::memcpy(out + done, b->data + inBlock, n);
        done += n;
    }
    return done;
}

const std::uint8_t* FileInput::view(std::int64_t offset, std::size_t count, std::uint8_t* scratch)
{
    if (count == 0)
        return scratch;
    if (fd_ < 0 || offset < 0 || offset > size_ || static_cast<std::uint64_t>(size_ - offset) < count)
        return nullptr;
    // A range inside one block is handed out in place; one that crosses into
    // the next block is gathered like any read.
    std::int64_t end = offset + static_cast<std::int64_t>(count);
    std::int64_t start = offset & ~static_cast<std::int64_t>(blockSize_ - 1);
    if (end <= start + static_cast<std::int64_t>(blockSize_)) {
        const Block* b = blockAt(offset);
        if (b != nullptr && end <= b->start + static_cast<std::int64_t>(b->length))
            return b->data + (offset - b->start);
    }
    return readExact(offset, scratch, count) ? scratch : nullptr;
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
