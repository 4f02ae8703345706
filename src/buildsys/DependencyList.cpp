#include "buildsys/DependencyList.h"

#include <string_view>

namespace buildsys {

bool ListsEveryHeader(const std::vector<std::string>& argv) {
    bool full = false;
    bool userOnly = false;
    bool noStandardDirs = false;
    bool systemDirs = false;
    for (std::size_t i = 1; i < argv.size(); ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-MD" || arg.starts_with("-Wp,-MD,")) {
            full = true;
        } else if (arg == "-MMD" || arg.starts_with("-Wp,-MMD,")) {
            userOnly = true;
        } else if (arg == "-nostdinc") {
            noStandardDirs = true;
        } else if (arg.starts_with("-isystem") || arg.starts_with("-idirafter") ||
                   arg.starts_with("-isysroot") || arg.starts_with("--sysroot") ||
                   arg.starts_with("-imultilib")) {
            systemDirs = true;
        } else if (arg.starts_with("@")) {
            return false; // options this process cannot see
        }
    }
    if (userOnly) {
        return noStandardDirs && !systemDirs;
    }
    return full;
}

} // namespace buildsys
