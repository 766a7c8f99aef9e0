// Buffered byte sink for the mailbox file.
#include "pfc/output.h"

#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace kistwerk {

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

bool Output::flush()
{
    if (used_ > 0) {
        total_ += used_;
        // After a failure the bytes are dropped: the file is incomplete anyway, and
        // the run only needs to reach its end and say so.
        if (!failed_ && !store(buffer_, used_))
            failed_ = true;
        used_ = 0;
    }
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
