// Where a mailbox file goes, and whether two paths name one file.
#pragma once

#include <string>

namespace kistwerk {

// File-name part of the path (no drive, no folder, nothing from its last dot on)
// followed by ".mbx": "C:\\Post\\Post.2009.pfc" gives "Post.2009.mbx".
std::string mailboxName(const std::string& inputPath);

// The mailbox file beside the input: its drive and folder as the path gives
// them, and mailboxName. "mail/Post.pfc" gives "mail/Post.mbx".
std::string defaultOutputPath(const std::string& inputPath);

// True when both paths lead to one existing file, however they are spelled.
bool samePath(const std::string& a, const std::string& b);

} // namespace kistwerk
