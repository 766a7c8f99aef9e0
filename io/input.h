// Read-only access to the PFC file at absolute byte offsets. Every read says how
// many bytes it delivered, so no caller ever uses a byte the file did not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "io/file_fault.h"
#include "io/files.h"
#include "io/read_ahead.h"

namespace kistwerk {

class InputSource {
public:
    virtual ~InputSource() = default;

    // Total size in bytes.
    virtual std::int64_t size() const = 0;

    // Copies up to `count` bytes from `offset` into `dst` and returns how many it
    // copied: fewer at the end of the file, 0 for an offset outside it.
    virtual std::size_t readAt(std::int64_t offset, void* dst, std::size_t count) = 0;

    // True when all `count` bytes at `offset` could be read.
    bool readExact(std::int64_t offset, void* dst, std::size_t count)
    {
        return readAt(offset, dst, count) == count;
    }

    // The `count` bytes at `offset`, or nullptr when the file does not hold them
    // all. Where the source keeps the range in its own memory the pointer leads
    // there and no byte is copied; otherwise the bytes are copied to `scratch`
    // (room for `count`) and the pointer leads to it. A pointer into the source
    // is good only until its next read.
    virtual const std::uint8_t* view(std::int64_t offset, std::size_t count, std::uint8_t* scratch)
    {
        return readExact(offset, scratch, count) ? scratch : nullptr;
    }

    // The next read at `offset` begins a stretch of about `count` bytes that
    // will be read on: a source that reads ahead may take it in one read.
    virtual void expect(std::int64_t /*offset*/, std::size_t /*count*/) {}

    // Another reader of the same bytes, with state of its own, for another
    // thread to read through while this one is in use; nullptr when the source
    // cannot give one. It must not outlive this source.
    virtual std::unique_ptr<InputSource> openReader() { return nullptr; }

    // Reads the whole source ahead, in order, on a thread of its own, where
    // that pays (see ReadAhead); from then on the reads that reach ahead of it
    // wait for it rather than ask the disk for a stretch of their own. Until
    // stopReadingAhead, which lets every waiting read go on by itself.
    virtual void startReadingAhead() {}
    virtual void stopReadingAhead() {}
};

// The PFC file on disk, opened for reading only. Reads go through a few
// streams, each a window of the file that positioned reads fill: the node
// table, the nodes and the records are each read in an order of their own, and
// each gets a stream that follows it. A stream read on forward takes ever
// larger reads, up to its window, and reads through a short gap rather than
// call the system once more; a stream that jumps reads the stretch it was told
// to expect there, or a little. Memory is fixed (streams times window), so a
// 32-bit process reads a 2 GiB file the same way. The file is never mapped
// into memory: a mapped file that is cut short, or whose medium fails, kills
// the process (SIGBUS, an in-page error) where a read simply comes back short
// and the conversion ends in order.
class FileInput final : public InputSource {
public:
    FileInput();
    ~FileInput() override;
    FileInput(const FileInput&) = delete;
    FileInput& operator=(const FileInput&) = delete;

    bool open(const std::string& path);
    // Why the last open failed.
    FileError error() const { return error_; }
    // Reads the file that `owner` has open, through streams of its own with
    // windows of `windowSize` bytes: reads are positioned, so both may read at
    // the same time from two threads. The file, and its reading ahead, stay
    // `owner`'s.
    bool share(const FileInput& owner, std::size_t windowSize = kWindowSize);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    FileIdentity identity() const;

    std::int64_t size() const override { return size_; }
    std::size_t readAt(std::int64_t offset, void* dst, std::size_t count) override;
    const std::uint8_t* view(std::int64_t offset, std::size_t count, std::uint8_t* scratch) override;
    std::unique_ptr<InputSource> openReader() override;
    void expect(std::int64_t offset, std::size_t count) override
    {
        expectAt_ = offset;
        expectCount_ = count;
    }
    void startReadingAhead() override;
    void stopReadingAhead() override;
    // Whether the file has been read ahead since it was opened.
    bool readsAhead() const { return ahead_ != nullptr; }

    static constexpr std::size_t kWindowSize = std::size_t{1} << 18;
    static constexpr int kStreamCount = 4;
    // A reader for another thread reads records, none larger than 65,000
    // bytes, so a window of 64 KiB still hands every one out in place.
    static constexpr std::size_t kReaderWindowSize = std::size_t{1} << 16;

private:
    struct Stream {
        std::int64_t start = -1;     // file offset of data[0]; -1 when empty
        std::size_t length = 0;      // bytes the reads delivered
        std::int64_t runStart = -1;  // where its present run of forward reads began
        std::uint64_t lastUse = 0;
        std::uint8_t* data = nullptr;
    };

    void clearStreams();
    Stream* streamHolding(std::int64_t offset, std::size_t count);
    Stream& streamFor(std::int64_t offset);
    std::size_t fillSize(const Stream& stream, std::int64_t offset, std::size_t count) const;
    void refill(Stream& stream, std::int64_t offset, std::size_t count);
    Stream* cover(std::int64_t offset, std::size_t count);
    std::size_t readFile(std::int64_t offset, std::uint8_t* dst, std::size_t count);

    int fd_ = -1;
    std::string path_;
    FileError error_;
    bool ownsFile_ = false;
    std::size_t windowSize_ = kWindowSize;
    std::size_t jumpRead_ = 0;            // what a stream that jumps reads when told nothing
    std::int64_t size_ = 0;
    std::vector<std::uint8_t> storage_;   // kStreamCount windows, taken once
    Stream streams_[kStreamCount];
    Stream* recent_ = nullptr;
    std::uint64_t useClock_ = 0;
    std::int64_t expectAt_ = -1;          // where a stretch of expectCount_ bytes begins
    std::size_t expectCount_ = 0;
    std::unique_ptr<ReadAhead> ownAhead_;  // the owner's
    ReadAhead* ahead_ = nullptr;          // the owner's, shared by its readers
};

// A PFC image held in memory; used by tests and fuzzing. Reading changes no
// state, so its readers all read the one copy.
class MemoryInput final : public InputSource {
public:
    explicit MemoryInput(std::vector<std::uint8_t> bytes)
        : bytes_(std::move(bytes)), data_(bytes_.data()), size_(bytes_.size())
    {
    }
    MemoryInput(const std::uint8_t* data, std::size_t size)
        : bytes_(data, data + size), data_(bytes_.data()), size_(size)
    {
    }
    MemoryInput(const MemoryInput&) = delete;
    MemoryInput& operator=(const MemoryInput&) = delete;

    std::int64_t size() const override { return static_cast<std::int64_t>(size_); }
    std::size_t readAt(std::int64_t offset, void* dst, std::size_t count) override;
    const std::uint8_t* view(std::int64_t offset, std::size_t count, std::uint8_t* scratch) override;
    std::unique_ptr<InputSource> openReader() override;

private:
    struct Borrowed {};
    MemoryInput(Borrowed, const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::vector<std::uint8_t> bytes_;   // empty in a reader that borrows another's
    const std::uint8_t* data_;
    std::size_t size_;
};

// Little-endian field access on bytes a read has delivered.
inline std::uint16_t loadU16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t loadU32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::int32_t loadI32(const std::uint8_t* p)
{
    return static_cast<std::int32_t>(loadU32(p));
}

// Reads forward from a start offset, the way a message record is read. Once a
// read runs past the end of the file the cursor is ended and stays ended; callers
// check `ended()` once per field instead of after every byte.
class InputCursor {
public:
    InputCursor(InputSource& input, std::int64_t offset) : input_(input), offset_(offset) {}

    bool read(void* dst, std::size_t count)
    {
        if (ended_)
            return false;
        if (input_.readAt(offset_, dst, count) != count) {
            ended_ = true;
            return false;
        }
        offset_ += static_cast<std::int64_t>(count);
        return true;
    }

    // The next `count` bytes, as InputSource::view gives them; nullptr ends the
    // cursor.
    const std::uint8_t* view(std::size_t count, std::uint8_t* scratch)
    {
        if (ended_)
            return nullptr;
        const std::uint8_t* p = input_.view(offset_, count, scratch);
        if (p == nullptr) {
            ended_ = true;
            return nullptr;
        }
        offset_ += static_cast<std::int64_t>(count);
        return p;
    }

    bool skip(std::size_t count)
    {
        if (ended_)
            return false;
        std::int64_t end = offset_ + static_cast<std::int64_t>(count);
        if (offset_ < 0 || end > input_.size()) {
            ended_ = true;
            return false;
        }
        offset_ = end;
        return true;
    }

    bool ended() const { return ended_; }
    std::int64_t offset() const { return offset_; }

private:
    InputSource& input_;
    std::int64_t offset_;
    bool ended_ = false;
};

} // namespace kistwerk
