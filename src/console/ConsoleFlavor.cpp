#include "console/ConsoleFlavor.h"

#include "core/TextHelpers.h"

#include <array>

namespace console {

namespace {

constexpr std::array<TConsoleFlavor, 2> Flavors = {{
    {"ravelcon", VisualStudio, false},
    {"twconsole", Command, true},
}};

} // namespace

const TConsoleFlavor& ConsoleFlavorFor(std::string_view programName) {
    const std::string lower = core::LowerCaseAscii(programName);
    for (const TConsoleFlavor& flavor : Flavors) {
        if (lower == flavor.ProgramName) {
            return flavor;
        }
    }
    return Flavors[0];
}

} // namespace console
