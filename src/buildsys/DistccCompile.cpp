#include "buildsys/DistccCompile.h"

#include "core/ToolCommandLine.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace buildsys {

namespace {

bool SourceSuffix(std::string_view path) {
    static constexpr std::array<std::string_view, 14> Suffixes = {
        "i", "ii", "c", "cc", "cpp", "cxx", "cp", "c++", "C", "m", "mm", "mi", "mii", "M"};
    const std::size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    return dot != std::string_view::npos &&
           std::find(Suffixes.begin(), Suffixes.end(), name.substr(dot + 1)) != Suffixes.end();
}

// An -Wa, list that asks the assembler for a listing (-a, -ahl, -alh=file, ...).
bool AssemblerListing(std::string_view word) {
    for (std::size_t at = word.find(",-a"); at != std::string_view::npos;
         at = word.find(",-a", at + 1)) {
        const std::size_t next = at + 3;
        if (next == word.size() || word[next] == ',' || word[next] == '=' ||
            std::string_view("cdghlmns").find(word[next]) != std::string_view::npos) {
            return true;
        }
    }
    return false;
}

bool KeptLocal(std::string_view word) {
    return word.ends_with("=native") || word.starts_with("-specs=") || word == "-fprofile-arcs" ||
           word == "-ftest-coverage" || word.starts_with("-fprofile-generate") ||
           word.starts_with("-fprofile-use") || word == "-frepo" ||
           (word.starts_with("-Wa,") && AssemblerListing(word));
}

} // namespace

bool DistccSendsToHelper(const std::vector<std::string>& argv) {
    std::size_t inputs = 0;
    bool source = false;
    for (std::size_t i = 1; i < argv.size(); ++i) {
        const std::string_view word = argv[i];
        if (word == "-") {
            return false; // stdin
        }
        if (word.empty() || word.front() != '-') {
            if (!word.starts_with("@")) {
                ++inputs;
                source = SourceSuffix(word);
            }
            continue;
        }
        if (KeptLocal(word) || (word.starts_with("-x") && word.size() > 2)) {
            return false; // an option distcc does not carry, or -x joined to its language
        }
        if (core::DriverTakesArgument(word) && i + 1 < argv.size()) {
            const std::string_view value = argv[++i];
            if ((word == "-o" && value == "-") || (word == "-x" && value == "none")) {
                return false;
            }
        }
    }
    return inputs == 1 && source;
}

} // namespace buildsys
