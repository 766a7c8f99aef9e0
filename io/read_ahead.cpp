// The reading-ahead thread.
#include "io/read_ahead.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>
#include <system_error>

#include <fcntl.h>
#ifdef _WIN32
#include "io/win32.h"
#else
#include <sys/uio.h>
#endif

#include "io/files.h"

namespace kistwerk {

namespace {

// Below this a cold file is read in a few tens of milliseconds anyway.
constexpr std::int64_t kWorthReading = std::int64_t{4} << 20;
// The file may take at most this share of the memory the system has free, so
// that what is read ahead is still in the cache when the conversion comes to it.
constexpr std::int64_t kMemoryShare = 2;
// Places looked at to tell a file in the cache from one that is not.
constexpr int kCacheSamples = 16;

// A descriptor of its own, with the system told that it reads in order (on
// Windows FILE_FLAG_SEQUENTIAL_SCAN); only where the path still leads to the
// file that `fd` holds.
int openSequential(int fd, const std::string& path)
{
#ifdef _WIN32
    const int own = openDescriptor(path, _O_RDONLY | _O_BINARY | _O_SEQUENTIAL);
#else
    // Not waiting for a writer, should the path have become a named pipe.
    const int own = openDescriptor(path, O_RDONLY | O_NONBLOCK);
#endif
    if (own < 0)
        return -1;
    if (!sameFile(identityOfDescriptor(own), identityOfDescriptor(fd))) {
        closeDescriptor(own);
        return -1;
    }
#ifndef _WIN32
    ::posix_fadvise(own, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    return own;
}

// Whether the page at `offset` is in the system's cache: a read that may not
// wait for the disk delivers it only then. Windows cannot tell so cheaply.
bool isCached([[maybe_unused]] int fd, [[maybe_unused]] std::int64_t offset)
{
#ifdef _WIN32
    return false;
#else
    char byte = 0;
    iovec into{&byte, 1};
    return ::preadv2(fd, &into, 1, static_cast<off_t>(offset), RWF_NOWAIT) == 1;
#endif
}

bool spreadOverCached(int fd, std::int64_t from, std::int64_t length, int samples)
{
    for (int i = 0; i < samples; ++i) {
        if (!isCached(fd, from + length * i / samples))
            return false;
    }
    return true;
}

} // namespace

std::int64_t availableMemory()
{
#ifdef _WIN32
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status))
        return 0;
    return static_cast<std::int64_t>(status.ullAvailPhys);
#else
    std::FILE* info = std::fopen("/proc/meminfo", "r");
    if (info == nullptr)
        return 0;
    char line[128];
    long long kib = 0;
    while (std::fgets(line, sizeof line, info) != nullptr) {
        if (std::sscanf(line, "MemAvailable: %lld kB", &kib) == 1)
            break;
    }
    std::fclose(info);
    return static_cast<std::int64_t>(kib) * 1024;
#endif
}

ReadAhead::~ReadAhead()
{
    stop();
}

bool ReadAhead::start(int fd, const std::string& path, std::int64_t size)
{
    stop();
    if (size < kWorthReading || size > availableMemory() / kMemoryShare)
        return false;
    fd_ = openSequential(fd, path);
    size_ = size;
    if (fd_ < 0 || spreadOverCached(fd_, 0, size, kCacheSamples)) {
        stop();
        return false;
    }
    if (!block_)
        block_.reset(new (std::nothrow) std::uint8_t[kBlockSize]);
    reached_.store(0, std::memory_order_relaxed);
    stop_.store(false, std::memory_order_relaxed);
    running_.store(block_ != nullptr, std::memory_order_release);
    try {
        if (block_)
            thread_ = std::thread(&ReadAhead::run, this);
    } catch (const std::system_error&) {
        running_.store(false, std::memory_order_release);
    }
    if (!running()) {
        stop();
        return false;
    }
    return true;
}

void ReadAhead::stop()
{
    stop_.store(true, std::memory_order_release);
    if (thread_.joinable())
        thread_.join();
    finish();
    if (fd_ >= 0)
        closeDescriptor(fd_);
    fd_ = -1;
}

void ReadAhead::waitFor(std::int64_t end)
{
    if (reached() >= end || !running())
        return;
    std::unique_lock lock(mutex_);
    advanced_.wait(lock, [this, end] { return reached() >= end || !running(); });
}

void ReadAhead::waitFor(std::int64_t end, std::chrono::milliseconds patience)
{
    if (reached() >= end || !running())
        return;
    std::unique_lock lock(mutex_);
    advanced_.wait_for(lock, patience, [this, end] { return reached() >= end || !running(); });
}

void ReadAhead::run()
{
    std::int64_t at = 0;
    while (at < size_ && !stop_.load(std::memory_order_acquire)) {
        const auto count = static_cast<std::size_t>(std::min<std::int64_t>(kBlockSize, size_ - at));
        // A block that the conversion's reads brought in already is passed over.
        const bool cached = spreadOverCached(fd_, at, static_cast<std::int64_t>(count), 3);
        if (!cached && !readBlock(at, count))
            break;
        at += static_cast<std::int64_t>(count);
        {
            std::lock_guard lock(mutex_);
            reached_.store(at, std::memory_order_release);
        }
        advanced_.notify_all();
    }
    finish();
}

// The block's bytes only pass through the buffer: the cache keeps the file.
bool ReadAhead::readBlock(std::int64_t offset, std::size_t count)
{
    std::size_t done = 0;
    while (done < count) {
        const long n = readFileAt(fd_, offset + static_cast<std::int64_t>(done), block_.get() + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void ReadAhead::finish()
{
    {
        std::lock_guard lock(mutex_);
        running_.store(false, std::memory_order_release);
    }
    advanced_.notify_all();
}

} // namespace kistwerk
