#include "buildsys/DoubleCommand.h"

#include <string_view>

namespace buildsys {

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Options whose files are named after the output, or that write more than one object.
bool NamesOutputElsewhere(std::string_view word) {
    constexpr std::string_view refused[] = {
        "--coverage",
        "-fprofile-arcs",
        "-ftest-coverage",
        "-fprofile-generate",
        "-gsplit-dwarf",
        "-save-temps",
        "-Wp,",
        "-fdump-",
        "-aux-info",
        "-fcallgraph-info",
        "-fstack-usage",
    };
    for (const std::string_view prefix : refused) {
        if (StartsWith(word, prefix)) {
            return true;
        }
    }
    return false;
}

// A name make would read the same with and without quoting.
bool PlainTarget(std::string_view name) {
    return !name.empty() && name.find_first_of(" \t$#%\\:") == std::string_view::npos;
}

} // namespace

std::optional<TDoubleCommand>
DoubleCommandOf(const std::vector<std::string>& argv,
                const std::function<std::string(const std::string&)>& temporary) {
    std::optional<std::size_t> output;
    std::optional<std::size_t> depFile;
    bool depWrite = false;  // -MD / -MMD
    bool depTarget = false; // -MT / -MQ
    for (std::size_t i = 1; i < argv.size(); ++i) {
        const std::string& word = argv[i];
        if (NamesOutputElsewhere(word) || StartsWith(word, "@")) {
            return std::nullopt;
        }
        if (word == "-o" || word == "-MF") {
            std::optional<std::size_t>& slot = word == "-o" ? output : depFile;
            if (slot || i + 1 >= argv.size() || argv[i + 1].empty()) {
                return std::nullopt; // twice, or without a name
            }
            slot = ++i;
        } else if (word == "-MT" || word == "-MQ") {
            depTarget = true;
            ++i;
        } else if (StartsWith(word, "-o") || StartsWith(word, "-MF") || StartsWith(word, "-MT") ||
                   StartsWith(word, "-MQ")) {
            return std::nullopt; // a joined name is not a plain one
        } else if (word == "-MD" || word == "-MMD") {
            depWrite = true;
        }
    }
    if (!output || argv[*output] == "-") {
        return std::nullopt;
    }
    if (depWrite && !depFile) {
        return std::nullopt; // its dependency file is named after the output
    }
    if (depFile && !depTarget && !PlainTarget(argv[*output])) {
        return std::nullopt;
    }
    TDoubleCommand command;
    command.Argv = argv;
    for (const std::optional<std::size_t>& slot : {output, depFile}) {
        if (!slot) {
            continue;
        }
        const std::string& real = argv[*slot];
        std::string temp = temporary(real);
        if (temp.empty()) {
            return std::nullopt;
        }
        command.Argv[*slot] = temp;
        command.Files.emplace_back(std::move(temp), real);
    }
    if (depFile && !depTarget) {
        // The rule's target stays the real output, not the temporary one.
        command.Argv.push_back("-MT");
        command.Argv.push_back(argv[*output]);
    }
    return command;
}

} // namespace buildsys
