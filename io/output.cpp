// Buffered byte sink for the mailbox file, and the joining of its line ends.
#include "io/output.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kistwerk {

namespace {

#if defined(__SSE2__)
// kBehindMasks + 16 - k: 16 bytes of which those from position k on are set.
constexpr std::uint8_t kBehindMasks[32] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
#endif

// Drops the CR of every CR LF pair in data[0, count) in place and returns the
// new count. A CR in the last byte stays: its pair, if any, is not here yet.
// Lines are short, so a search and a move per line would cost more than the
// bytes: the text is taken 16 bytes at a time, and a block with pairs in it
// closes up in a register. Each block is stored whole at the output position,
// which never lies ahead of the input, so no byte is overwritten before it is
// loaded.
std::size_t joinLineEnds(std::uint8_t* data, std::size_t count)
{
    const std::uint8_t* in = data;
    const std::uint8_t* const end = data + count;
    std::uint8_t* out = data;
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    while (end - in >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        auto crs = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, cr)));
        if (crs != 0) {
            unsigned lfs = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf))) >> 1;
            if (end - in > 16 && in[16] == '\n')
                lfs |= 1u << 15;
            unsigned drops = crs & lfs;
            // From the last pair to the first, so that closing up behind one
            // moves no pair still to come.
            std::uint8_t* next = out + 16;
            while (drops != 0) {
                const int at = 31 - std::countl_zero(drops);
                drops ^= 1u << at;
                const __m128i behind = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kBehindMasks + 16 - at));
                v = _mm_or_si128(_mm_andnot_si128(behind, v), _mm_and_si128(behind, _mm_srli_si128(v, 1)));
                --next;
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
            out = next;
        } else {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
            out += 16;
        }
        in += 16;
    }
#endif
    // The rest, or without vector registers all of it, a line at a time.
    while (in < end) {
        const void* hit = std::memchr(in, '\r', static_cast<std::size_t>(end - in));
        const std::uint8_t* stop = hit != nullptr ? static_cast<const std::uint8_t*>(hit) : end;
        const auto run = static_cast<std::size_t>(stop - in);
        if (out != in)
            std::memmove(out, in, run);
        out += run;
        if (stop == end)
            break;
        in = stop + 1;
        if (in == end || *in != '\n')
            *out++ = '\r';
    }
    return static_cast<std::size_t>(out - data);
}

} // namespace

Output::Output(std::size_t capacity) : owned_(new std::uint8_t[capacity]), buffer_(owned_), capacity_(capacity) {}

Output::Output(std::uint8_t* buffer, std::size_t capacity) : owned_(nullptr), buffer_(buffer), capacity_(capacity) {}

Output::~Output()
{
    delete[] owned_;
}

// A write that does not fit the room left: the buffer goes out first, and a
// write as large as the buffer goes straight through.
void Output::writeLarge(const std::uint8_t* p, std::size_t count)
{
    if (lfLineEnds_ || owned_ == nullptr) {
        // The line ends are joined in the buffer, and an output that gathers
        // its bytes in memory of its own keeps them there: everything goes
        // through the buffer.
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
        if (!failed_ && !store(p, count))
            fail();
        total_ += count;
        return;
    }
    std::memcpy(buffer_ + used_, p, count);
    used_ += count;
}

void Output::write(const char* text)
{
    write(text, std::strlen(text));
}

void Output::fail()
{
    failed_ = true;
    failedAt_ = total_;
}

void Output::storeBuffered(std::size_t count)
{
    // After a failure the bytes are dropped: the file is incomplete anyway, and
    // the run only needs to reach its end and say so.
    if (count > 0 && !failed_ && !store(buffer_, count))
        fail();
    total_ += count;
    used_ = 0;
    joined_ = 0;
}

// Joins the buffer's bytes not joined yet. A CR in the last byte stays unjoined,
// to be looked at again with the byte after it.
std::size_t Output::joinBuffer()
{
    const std::size_t before = used_;
    used_ = joined_ + joinLineEnds(buffer_ + joined_, used_ - joined_);
    joinedAway_ += before - used_;
    joined_ = used_ > 0 && buffer_[used_ - 1] == '\r' ? used_ - 1 : used_;
    return used_;
}

void Output::drain()
{
    if (!lfLineEnds_) {
        flush();
        return;
    }
    std::size_t count = joinBuffer();
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
        storeBuffered(lfLineEnds_ ? joinBuffer() : used_);
    return !failed_;
}

std::uint64_t Output::settledSize()
{
    if (lfLineEnds_)
        joinBuffer();
    return total_ + used_;
}

bool Output::cutBack(std::uint64_t size)
{
    if (size >= total_ && size - total_ <= used_) {
        used_ = static_cast<std::size_t>(size - total_);
        if (joined_ > used_)
            joined_ = used_;
        return !failed_;
    }
    used_ = 0;
    joined_ = 0;
    // A store that failed after `size` took nothing before it with it.
    const bool whole = !failed_ || size <= failedAt_;
    if (size < total_ && whole && cutStored(size)) {
        total_ = size;
        failed_ = false;
    } else if (!failed_) {
        fail();
    }
    return !failed_;
}

} // namespace kistwerk
