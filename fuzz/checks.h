// What the fuzz targets run on one input, and the properties the result must
// have. Shared by the libFuzzer targets and the corpus replay among the unit
// tests, so a stored input that once failed fails in the ordinary build too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kistwerk::fuzz {

// Each runs the input through one piece of the core and returns a description
// of the first property the result breaks, or an empty string when it keeps all.

// The whole conversion of the input taken as a PFC image held in memory.
std::string checkConversion(const std::uint8_t* data, std::size_t size);

// The body filter on the input as one body text.
std::string checkFilter(const std::uint8_t* data, std::size_t size);

// The UTF-8 fold on a copy of the input, against a plain byte-by-byte fold.
std::string checkFold(const std::uint8_t* data, std::size_t size);

// The date text parser and the date lines, with the input as a date text field
// (and its first four bytes as a timestamp).
std::string checkDate(const std::uint8_t* data, std::size_t size);

// Ends the process with the description when it is not empty; libFuzzer then
// keeps the input as a crash artifact.
void stopOnFinding(const std::string& finding);

} // namespace kistwerk::fuzz
