// Read-only access to the PFC file at absolute byte offsets. Every read says how
// many bytes it delivered, so no caller ever uses a byte the file did not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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
};

// The PFC file on disk. Opened for reading only.
class FileInput final : public InputSource {
public:
    FileInput() = default;
    ~FileInput() override;
    FileInput(const FileInput&) = delete;
    FileInput& operator=(const FileInput&) = delete;

    bool open(const std::string& path);
    void close();
    bool isOpen() const { return file_ != nullptr; }

    std::int64_t size() const override { return size_; }
    std::size_t readAt(std::int64_t offset, void* dst, std::size_t count) override;

private:
    std::FILE* file_ = nullptr;
    std::int64_t size_ = 0;
};

// A PFC image held in memory; used by tests and fuzzing.
class MemoryInput final : public InputSource {
public:
    explicit MemoryInput(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    MemoryInput(const std::uint8_t* data, std::size_t size) : bytes_(data, data + size) {}

    std::int64_t size() const override { return static_cast<std::int64_t>(bytes_.size()); }
    std::size_t readAt(std::int64_t offset, void* dst, std::size_t count) override;

private:
    std::vector<std::uint8_t> bytes_;
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
