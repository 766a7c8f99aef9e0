// Where a mailbox file goes, and whether two paths name one file.
#pragma once

#include <string>

#include "io/files.h"

namespace kistwerk {

// File-name part of the path (no drive, no folder, nothing from its last dot on)
// followed by ".mbx": "C:\\Post\\Post.2009.pfc" gives "Post.2009.mbx".
std::string mailboxName(const std::string& inputPath);

// The mailbox file beside the input: its drive and folder as the path gives
// them, and mailboxName. "mail/Post.pfc" gives "mail/Post.mbx".
std::string defaultOutputPath(const std::string& inputPath);

// The mailbox file of the input in `folder`.
std::string outputPathIn(const std::string& folder, const std::string& inputPath);

// Where a path leads, so that two spellings of one file can be told apart from
// two files: the file itself when it exists, else its folder and its name.
struct FilePlace {
    FileIdentity file;
    FileIdentity folder;
    std::string name;
    std::string spelling;
};

FilePlace placeOf(const std::string& path);

// True when both places are one file: the same existing file, or a file yet to
// be created under the same name in the same folder.
bool samePlace(const FilePlace& a, const FilePlace& b);

} // namespace kistwerk
