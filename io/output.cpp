// Buffered byte sink for the mailbox file.
#include "io/output.h"

#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace kistwerk {

namespace {

// Drops the CR of every CR LF pair in data[0, count) in place and returns the
// new count. A CR in the last byte stays: its pair, if any, is not here yet.
std::size_t joinLineEnds(std::uint8_t* data, std::size_t count)
{
    const std::uint8_t* end = data + count;
    const std::uint8_t* in = data;
    std::uint8_t* out = data;
    for (;;) {
        const void* hit = std::memchr(in, '\r', static_cast<std::size_t>(end - in));
        const std::uint8_t* cr = hit != nullptr ? static_cast<const std::uint8_t*>(hit) : end;
        std::size_t run = static_cast<std::size_t>(cr - in);
        if (out != in)
            std::memmove(out, in, run);
        out += run;
        if (cr == end)
            break;
        in = cr + 1;
        if (in == end || *in != '\n')
            *out++ = '\r';
    }
    return static_cast<std::size_t>(out - data);
}

} // namespace

Output::Output() : owned_(new std::uint8_t[kBufferSize]), buffer_(owned_), capacity_(kBufferSize) {}

Output::Output(std::uint8_t* buffer, std::size_t capacity) : owned_(nullptr), buffer_(buffer), capacity_(capacity) {}

Output::~Output()
{
    delete[] owned_;
}

// A write that does not fit the room left: the buffer goes out first, and a
// write as large as the buffer goes straight through.
void Output::writeLarge(const std::uint8_t* p, std::size_t count)
{
    if (lfLineEnds_) {
        // The line ends are joined in the buffer, so everything goes through it.
        while (count > 0) {
            if (used_ == capacity_)
                drain();
            std::size_t n = count < capacity_ - used_ ? count : capacity_ - used_;
            std::memcpy(buffer_ + used_, p, n);
            used_ += n;
            p += n;
            count -= n;
        }
        return;
    }
    flush();
    if (count >= capacity_) {
        total_ += count;
        if (!failed_ && !store(p, count))
            failed_ = true;
        return;
    }
    std::memcpy(buffer_ + used_, p, count);
    used_ += count;
}

void Output::write(const char* text)
{
    write(text, std::strlen(text));
}

void Output::storeBuffered(std::size_t count)
{
    total_ += count;
    // After a failure the bytes are dropped: the file is incomplete anyway, and
    // the run only needs to reach its end and say so.
    if (count > 0 && !failed_ && !store(buffer_, count))
        failed_ = true;
    used_ = 0;
}

void Output::drain()
{
    if (!lfLineEnds_) {
        flush();
        return;
    }
    std::size_t count = joinLineEnds(buffer_, used_);
    bool holdCr = count > 0 && buffer_[count - 1] == '\r';
    storeBuffered(holdCr ? count - 1 : count);
    if (holdCr) {
        buffer_[0] = '\r';
        used_ = 1;
    }
}

bool Output::flush()
{
    if (used_ > 0)
        storeBuffered(lfLineEnds_ ? joinLineEnds(buffer_, used_) : used_);
    return !failed_;
}

FileOutput::~FileOutput()
{
    close();
}

bool FileOutput::open(const std::string& path)
{
    close();
    file_ = std::fopen(path.c_str(), "wb");
    ownsFile_ = true;
    // Output gathers its own large blocks; a second stdio buffer would only copy.
    if (file_ != nullptr)
        std::setvbuf(file_, nullptr, _IONBF, 0);
    return file_ != nullptr;
}

bool FileOutput::openStandardOutput()
{
    close();
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    file_ = stdout;
    ownsFile_ = false;
    return true;
}

bool FileOutput::store(const std::uint8_t* data, std::size_t count)
{
    return file_ != nullptr && std::fwrite(data, 1, count, file_) == count;
}

bool FileOutput::close()
{
    if (file_ == nullptr)
        return !failed();
    bool ok = flush();
    if (std::fflush(file_) != 0)
        ok = false;
    if (ownsFile_ && std::fclose(file_) != 0)
        ok = false;
    file_ = nullptr;
    return ok;
}

} // namespace kistwerk
