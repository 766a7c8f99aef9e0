// The PFC file the file dialog chose, in the forms the rest of the program
// takes: UTF-8 paths for the core, its folder in UTF-16 for the window system.
// No length is cut: the dialog's buffer holds paths far past MAX_PATH.
#pragma once

#include <cstddef>
#include <string>

namespace kistwerk {

struct ChosenFile {
    std::string inputPath;   // UTF-8
    std::string outputPath;  // the mailbox file beside it, UTF-8
    std::wstring folder;     // with its trailing "\"; empty when the dialog named none
};

// `path` as the dialog gave it, `nameOffset` where the dialog says its file name
// begins. The mailbox file's place comes from the path alone, never from the
// current directory.
ChosenFile chosenFile(const std::wstring& path, std::size_t nameOffset);

} // namespace kistwerk
