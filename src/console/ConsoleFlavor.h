#pragma once
// What the name a console program is started as changes — and nothing else does:
// one row per name. "ravelcon" is the Visual Studio console that refuses job files;
// "twconsole" is the same run sequence without the Visual Studio mode, whose own
// work are job documents, wrapped scripts and /COMMAND.
#include "console/GridConsole.h"

#include <string_view>

namespace console {

struct TConsoleFlavor {
    std::string_view ProgramName; // file name without folder and extension
    TConsoleModes Modes;          // at creation
    bool RunsJobs;                // job files (.xml, .xpx, .bat, .cmd) and /COMMAND are its own
};

// The row of `programName` (without folder and extension, compared ignoring ASCII
// case); any other name is "ravelcon".
const TConsoleFlavor& ConsoleFlavorFor(std::string_view programName);

} // namespace console
