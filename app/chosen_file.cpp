// The chosen PFC file's paths.
#include "app/chosen_file.h"

#include "io/files.h"
#include "pfc/naming.h"

namespace kistwerk {

ChosenFile chosenFile(const std::wstring& path, std::size_t nameOffset)
{
    ChosenFile chosen;
    chosen.inputPath = utf8Path(path);
    chosen.outputPath = defaultOutputPath(chosen.inputPath);
    if (nameOffset > 0 && nameOffset <= path.size())
        chosen.folder = path.substr(0, nameOffset);
    return chosen;
}

} // namespace kistwerk
