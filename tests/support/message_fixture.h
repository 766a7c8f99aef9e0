// Converts single message records for the message tests: one leaf of type 7
// whose data index leads to the record, run through the whole conversion.
#pragma once

#include <string>

#include "pfc/run.h"
#include "testkit/pfc_builder.h"
#include "tests/support/recording_frontend.h"

namespace kistwerk::fixture {

struct Converted {
    std::string mailbox;
    std::uint32_t entries = 0;
};

// An input that never hands out its own memory: every view is a copy into the
// caller's buffer, as a file read does where a range crosses a cached block.
class CopyingInput final : public InputSource {
public:
    explicit CopyingInput(const Bytes& bytes) : memory_(bytes) {}
    std::int64_t size() const override { return memory_.size(); }
    std::size_t readAt(std::int64_t offset, void* dst, std::size_t count) override
    {
        return memory_.readAt(offset, dst, count);
    }

private:
    MemoryInput memory_;
};

enum class ViewKind { InPlace, Copied };

inline Converted convertImage(const Bytes& image, ViewKind views = ViewKind::InPlace)
{
    MemoryInput inPlace(image);
    CopyingInput copied(image);
    InputSource& input = views == ViewKind::InPlace ? static_cast<InputSource&>(inPlace) : copied;
    MemoryOutput output;
    RecordingFrontEnd frontEnd;
    ConversionRun run;
    convertContainer(run, input, output, frontEnd);
    return Converted{output.text(), run.entriesWritten};
}

inline Bytes imageWithRecord(const Bytes& record)
{
    PfcBuilder b(2);
    b.node(1, 7, 2, 0, 0);
    b.record(2, record);
    return b.bytes();
}

inline Converted convertRecord(const Bytes& record, ViewKind views = ViewKind::InPlace)
{
    return convertImage(imageWithRecord(record), views);
}

// The two date lines of "05.01.2003 09:03:07", which most tests use.
constexpr const char* kDateText = "05.01.2003 09:03:07";
constexpr const char* kDateLines = "From - Sun Jan 5 09:03:07 2003\r\nDate: Sun, 5 Jan 2003 09:03:07\r\n";
constexpr const char* kContentLines =
    "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=windows-1252\r\nContent-Transfer-Encoding: 8bit\r\n";

} // namespace kistwerk::fixture
