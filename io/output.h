// The mailbox file as a byte sink. Bytes are gathered in one buffer and handed on
// in large writes; a failed write is remembered, never thrown, so a run can go on
// to its orderly end and report afterwards that the file is incomplete. For Unix
// readers the sink can turn every CR LF pair into LF on its way out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "io/file_fault.h"
#include "io/files.h"

namespace kistwerk {

class Output {
public:
    // An output with a buffer of its own; `capacity` must be at least 2, room
    // for a held-back CR and the byte after it.
    explicit Output(std::size_t capacity = kBufferSize);
    virtual ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    static constexpr std::size_t kBufferSize = 1 << 18;

    void put(std::uint8_t byte)
    {
        if (used_ == capacity_)
            drain();
        buffer_[used_++] = byte;
    }

    // Most writes are a few bytes to a line long and land in the buffer here.
    void write(const void* data, std::size_t count)
    {
        if (count < capacity_ - used_) {
            std::memcpy(buffer_ + used_, data, count);
            used_ += count;
            return;
        }
        writeLarge(static_cast<const std::uint8_t*>(data), count);
    }
    void write(const char* text);

    // From now on every CR LF pair is stored as LF, also a pair that a buffer
    // edge splits. A CR that is not followed by LF stays.
    void setLfLineEnds(bool on) { lfLineEnds_ = on; }

    // Hands all buffered bytes on, a trailing CR included: a CR LF pair that an
    // explicit flush splits is not joined. Returns false once any write has failed.
    bool flush();
    bool failed() const { return failed_; }
    std::uint64_t bytesWritten() const { return total_; }
    // Every byte handed to the output so far, as written, before any CR LF
    // pair was joined: the same count in both forms.
    std::uint64_t bytesGiven() const { return total_ + used_ + joinedAway_; }

    // The bytes written so far as the sink will hold them if nothing more
    // comes: with LF line ends the buffer is joined up to here (a CR in its last
    // byte counts as it stands; the next byte may still take it away).
    std::uint64_t settledSize();
    // Whether the bytes already written can be taken back with cutBack.
    virtual bool canCutBack() const { return false; }
    // Takes back everything written after `size` (a value settledSize gave) as
    // if it had never been written, also a write that failed after it: the
    // bytes up to `size` were all stored then. False, and the output failed,
    // when the sink cannot do it or a write failed before `size`.
    bool cutBack(std::uint64_t size);

protected:
    // An output that gathers its bytes in memory of its own: `buffer` takes the
    // first bytes, and store() may hand over the next buffer with useBuffer.
    // Every write goes through the buffer, so store() is only ever handed it.
    Output(std::uint8_t* buffer, std::size_t capacity);

    // Stores `count` bytes for good; false when they could not all be stored.
    // `data` is either the buffer (holding `count` bytes) or, for a write
    // larger than the buffer, the caller's bytes.
    virtual bool store(const std::uint8_t* data, std::size_t count) = 0;

    // Drops the stored bytes after the first `size`, and forgets a failure
    // there; false when the sink cannot.
    virtual bool cutStored(std::uint64_t) { return false; }

    // Only from store(): the bytes from here on go to `buffer` (capacity > 0).
    void useBuffer(std::uint8_t* buffer, std::size_t capacity)
    {
        buffer_ = buffer;
        capacity_ = capacity;
    }

private:
    void writeLarge(const std::uint8_t* p, std::size_t count);
    // Makes room when the buffer is full. With LF line ends a CR in the last
    // byte is kept back until the byte after it is known.
    void drain();
    void storeBuffered(std::size_t count);
    std::size_t joinBuffer();
    void fail();

    std::uint8_t* owned_;   // the buffer this output took, if any
    std::uint8_t* buffer_;
    std::size_t capacity_;
    std::size_t used_ = 0;
    std::size_t joined_ = 0;  // with LF line ends: the buffer's bytes joined already
    std::uint64_t total_ = 0;
    std::uint64_t joinedAway_ = 0;  // CR bytes the joining dropped
    std::uint64_t failedAt_ = 0;    // with failed_: total_ before the store that failed
    bool failed_ = false;
    bool lfLineEnds_ = false;
};

// A file on disk, a device or pipe, or standard output. A mailbox file on disk
// is written into a new file beside the one it replaces (openReplacement) and
// put in its place only once it is complete (putInPlace): the path of the old
// file is never opened for writing, the old file stays as it was until then,
// and a new file that is not put in place is removed again.
class FileOutput final : public Output {
public:
    FileOutput() = default;
    ~FileOutput() override;

    // Creates the new file for `target` in the target's folder, after removing
    // what killed runs left there for it (but never the file `keep`).
    bool openReplacement(const std::string& target, const FileIdentity& keep);
    // A device or pipe at `path`, written directly.
    bool openOther(const std::string& path);
    bool openStandardOutput();
    // Opens or creates the file at `path` itself, keeping its bytes until
    // truncate(); for callers that own the file outright.
    bool openKept(const std::string& path);
    bool isOpen() const { return fd_ >= 0; }
    FileIdentity identity() const;
    // Empties a file on disk opened with openKept; a device or pipe has nothing
    // to empty. False when the file could not be emptied.
    bool truncate();
    // Only a file on disk that this output made or emptied can be cut back.
    bool canCutBack() const override { return cuttable_; }
    // Flushes and closes; false when any write or the close itself failed. A
    // new file stays where it was written until putInPlace or discard.
    bool close();
    // Whether the output writes a new file that is to replace its target.
    bool isReplacement() const { return !newPath_.empty(); }
    // The file a new file is to replace.
    const std::string& target() const { return target_; }
    // After close(): the new file takes the target's place in one step. False
    // and error() when the system refuses; the new file is removed then.
    bool putInPlace();
    // Closes and removes the new file; the target stays as it was.
    void discard();
    // Why the open, or the first write, close or replacement that failed, failed.
    FileError error() const { return error_; }

protected:
    bool store(const std::uint8_t* data, std::size_t count) override;
    bool cutStored(std::uint64_t size) override;

private:
    void noteError();
    void opened(int fd, bool ownsFile, bool cuttable);

    int fd_ = -1;
    bool ownsFile_ = false;
    bool cuttable_ = false;
    std::uint64_t cutBase_ = 0;  // bytesWritten() when this file was emptied or made
    std::string newPath_;        // the new file that is to replace target_
    std::string target_;
    FileError error_;
};

// Collects everything in a string; used by tests.
class MemoryOutput final : public Output {
public:
    MemoryOutput() = default;
    explicit MemoryOutput(std::size_t capacity) : Output(capacity) {}
    ~MemoryOutput() override { flush(); }
    const std::string& text()
    {
        flush();
        return text_;
    }
    bool canCutBack() const override { return true; }

protected:
    bool store(const std::uint8_t* data, std::size_t count) override
    {
        text_.append(reinterpret_cast<const char*>(data), count);
        return true;
    }
    bool cutStored(std::uint64_t size) override
    {
        text_.resize(static_cast<std::size_t>(size));
        return true;
    }

private:
    std::string text_;
};

} // namespace kistwerk
