// The reading-ahead thread.
#include "io/read_ahead.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#include "io/win32.h"
#else
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
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

#ifdef _WIN32
using Handle = HANDLE;

Handle handleOf(std::intptr_t value)
{
    return reinterpret_cast<Handle>(value);
}

// A handle of its own, with the system told that it reads in order; only when
// the path still leads to the file that `fd` holds.
std::intptr_t openSequential(int fd, const std::string& path)
{
    HANDLE handle = CreateFileW(systemPath(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return -1;
    if (!sameFile(identityOfHandle(handle), identityOfDescriptor(fd))) {
        CloseHandle(handle);
        return -1;
    }
    return reinterpret_cast<std::intptr_t>(handle);
}

void closeHandle(std::intptr_t handle)
{
    CloseHandle(handleOf(handle));
}

long readSome(std::intptr_t handle, std::int64_t offset, std::uint8_t* dst, std::size_t count)
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    DWORD got = 0;
    if (!ReadFile(handleOf(handle), dst, static_cast<DWORD>(count), &got, &at))
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return static_cast<long>(got);
}

// Windows cannot tell cheaply whether a page is in its cache.
bool isCached(std::intptr_t, std::int64_t)
{
    return false;
}
#else
// A descriptor of its own, so that the system sees one reader going forward;
// only when the path still leads to the file that `fd` holds.
std::intptr_t openSequential(int fd, const std::string& path)
{
    const int own = openDescriptor(path, O_RDONLY);
    if (own < 0)
        return -1;
    if (!sameFile(identityOfDescriptor(own), identityOfDescriptor(fd))) {
        ::close(own);
        return -1;
    }
    ::posix_fadvise(own, 0, 0, POSIX_FADV_SEQUENTIAL);
    return own;
}

void closeHandle(std::intptr_t handle)
{
    ::close(static_cast<int>(handle));
}

long readSome(std::intptr_t handle, std::int64_t offset, std::uint8_t* dst, std::size_t count)
{
    return static_cast<long>(::pread(static_cast<int>(handle), dst, count, static_cast<off_t>(offset)));
}

// Whether the page at `offset` is in the system's cache: a read that may not
// wait for the disk delivers it only then.
bool isCached(std::intptr_t handle, std::int64_t offset)
{
    char byte = 0;
    iovec into{&byte, 1};
    return ::preadv2(static_cast<int>(handle), &into, 1, static_cast<off_t>(offset), RWF_NOWAIT) == 1;
}
#endif

bool spreadOverCached(std::intptr_t handle, std::int64_t from, std::int64_t length, int samples)
{
    for (int i = 0; i < samples; ++i) {
        if (!isCached(handle, from + length * i / samples))
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
    handle_ = openSequential(fd, path);
    if (handle_ == -1)
        return false;
    ownsHandle_ = true;
    size_ = size;
    if (spreadOverCached(handle_, 0, size, kCacheSamples)) {
        stop();
        return false;
    }
    if (!block_)
        block_.reset(new (std::nothrow) std::uint8_t[kBlockSize]);
    if (!block_) {
        stop();
        return false;
    }
    reached_.store(0, std::memory_order_relaxed);
    stop_.store(false, std::memory_order_relaxed);
    running_.store(true, std::memory_order_release);
    try {
        thread_ = std::thread(&ReadAhead::run, this);
    } catch (const std::system_error&) {
        running_.store(false, std::memory_order_release);
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
    if (ownsHandle_)
        closeHandle(handle_);
    ownsHandle_ = false;
    handle_ = -1;
}

void ReadAhead::waitFor(std::int64_t end)
{
    if (reached() >= end || !running())
        return;
    std::unique_lock lock(mutex_);
    advanced_.wait(lock, [this, end] { return reached() >= end || !running(); });
}

void ReadAhead::run()
{
    std::int64_t at = 0;
    while (at < size_ && !stop_.load(std::memory_order_acquire)) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::int64_t>(kBlockSize, size_ - at));
        // A block that the conversion's reads brought in already is passed over.
        const bool cached = spreadOverCached(handle_, at, static_cast<std::int64_t>(count), 3);
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
        const long n = readSome(handle_, offset + static_cast<std::int64_t>(done), block_.get() + done, count - done);
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
