// Reading the PFC file ahead of the conversion, in large sequential reads on a
// thread of its own. Archives copied from an old disk arrive fragmented and
// cold: the walk takes records from all over the file, and a disk or a USB
// stick that answers each of those with a seek of its own takes minutes where
// reading the file once takes seconds. Read in order, the file lands in the
// system's file cache, and the conversion's own reads find it there. The bytes
// are not kept in the process; the system's cache holds them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kistwerk {

class ReadAhead {
public:
    ReadAhead() = default;
    ~ReadAhead();  // stops and waits for the thread
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // Starts reading the file that `fd` (opened by `path`) holds, where that
    // pays: the file is larger than a few MiB, fits well in the memory the
    // system has free, and is not in the system's cache already. False, with
    // nothing running, otherwise.
    bool start(int fd, const std::string& path, std::int64_t size);

    // Ends the reading ahead; every read waiting for it goes on by itself.
    void stop();

    bool running() const { return running_.load(std::memory_order_acquire); }

    // How far the file has been read ahead.
    std::int64_t reached() const { return reached_.load(std::memory_order_acquire); }

    // Waits until the bytes before `end` have been read ahead or reading ahead
    // has ended, whichever comes first; at most `patience` in the second form.
    void waitFor(std::int64_t end);
    void waitFor(std::int64_t end, std::chrono::milliseconds patience);

    // Bytes of the file read per call: large enough that a disk that counts its
    // reads per second still reads at its full rate.
    static constexpr std::size_t kBlockSize = std::size_t{1} << 20;

private:
    void run();
    bool readBlock(std::int64_t offset, std::size_t count);
    void finish();

    std::int64_t size_ = 0;
    std::unique_ptr<std::uint8_t[]> block_;
    int fd_ = -1;  // the thread's own
    std::atomic<std::int64_t> reached_{0};
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable advanced_;
    std::thread thread_;
};

// Bytes of memory the system could give without swapping (Linux MemAvailable,
// Windows' available physical memory); 0 when it does not say.
std::int64_t availableMemory();

} // namespace kistwerk
