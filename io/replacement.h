// A file replaced only by a complete new one: the new file is written beside
// the old one under a name of its own and put in its place in one step at the
// end, so the old file stays as it was until then, and whatever goes wrong
// before (a failed write, a kill, a wrong input) leaves it untouched.
#pragma once

#include <string>

#include "io/file_fault.h"
#include "io/files.h"

namespace kistwerk {

// The name of a new file for `target` with the mark `mark`: in the target's
// folder, the target's name, ".kistwerk-", the mark in eight hex digits and
// ".tmp" ("Post.mbx.kistwerk-1a2b3c4d.tmp"). The name is cut to fit where the
// whole would be too long for the system; the same target always gives the
// same beginning.
std::string replacementName(const std::string& target, std::uint32_t mark);

// Whether `name` (a bare file name) is one that replacementName gives for
// `target`.
bool isReplacementName(const std::string& name, const std::string& target);

// Creates a new file for `target`, exclusively and never through a link, with
// the permissions of the file it is to replace where there is one, and holds it
// so that another run sees it is in use (a lock on POSIX; on Windows no one may
// delete it while it is open). Returns the descriptor and the file's path; -1
// and why when the folder takes no new file.
int createReplacement(const std::string& target, std::string& created, FileError& error);

// Removes what killed runs left for `target`: files of that name that no
// running program holds; never a link, a folder or the file `keep`.
void removeLeftReplacements(const std::string& target, const FileIdentity& keep);

// Puts `from` in the place of `to` in one step, replacing the file there
// (rename; MoveFileExW with MOVEFILE_REPLACE_EXISTING). False and why when the
// system refuses.
bool replaceFile(const std::string& from, const std::string& to, FileError& error);

} // namespace kistwerk
