// File and memory implementations of the positioned-read input.
#include "pfc/input.h"

#include <cstring>

namespace kistwerk {

namespace {

// 64-bit positioning on both C libraries; a 2 GiB file must not wrap.
int seekTo(std::FILE* f, std::int64_t offset)
{
#ifdef _WIN32
    return _fseeki64(f, offset, SEEK_SET);
#else
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET);
#endif
}

std::int64_t tellPos(std::FILE* f)
{
#ifdef _WIN32
    return _ftelli64(f);
#else
    return static_cast<std::int64_t>(ftello(f));
#endif
}

} // namespace

FileInput::~FileInput()
{
    close();
}

bool FileInput::open(const std::string& path)
{
    close();
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr)
        return false;
    if (seekTo(file_, 0) != 0 || std::fseek(file_, 0, SEEK_END) != 0) {
        close();
        return false;
    }
    size_ = tellPos(file_);
    if (size_ < 0) {
        close();
        return false;
    }
    return true;
}

void FileInput::close()
{
    if (file_ != nullptr)
        std::fclose(file_);
    file_ = nullptr;
    size_ = 0;
}

std::size_t FileInput::readAt(std::int64_t offset, void* dst, std::size_t count)
{
    if (file_ == nullptr || offset < 0 || offset >= size_ || count == 0)
        return 0;
    if (seekTo(file_, offset) != 0)
        return 0;
    return std::fread(dst, 1, count, file_);
}

std::size_t MemoryInput::readAt(std::int64_t offset, void* dst, std::size_t count)
{
    std::int64_t total = size();
    if (offset < 0 || offset >= total)
        return 0;
    std::size_t avail = static_cast<std::size_t>(total - offset);
    std::size_t n = count < avail ? count : avail;
    std::memcpy(dst, bytes_.data() + offset, n);
    return n;
}

} // namespace kistwerk
