#include "platform/CommandLine.h"

namespace platform {

namespace {
std::string& StoredCommandLine() {
    static std::string line;
    return line;
}

std::vector<std::string>& StoredArguments() {
    static std::vector<std::string> args;
    return args;
}

bool NeedsQuotes(std::string_view text) {
    return text.empty() || text.find_first_of(" \t\r\n\"") != std::string_view::npos;
}

// Writes `text` inside double quotes: backslashes before a quote (or the closing
// quote) are doubled, quotes are escaped.
void AppendQuoted(std::string& out, std::string_view text) {
    out += '"';
    std::size_t backslashes = 0;
    for (const char c : text) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
}

// Length of an option's "name=" head that can stay outside the quotes, or 0.
std::size_t OptionHead(std::string_view arg) {
    const std::size_t eq = arg.find('=');
    if ((arg.starts_with('/') || arg.starts_with('-')) && eq != std::string_view::npos &&
        !NeedsQuotes(arg.substr(0, eq + 1))) {
        return eq + 1;
    }
    return 0;
}
} // namespace

std::string QuoteArgument(std::string_view arg) {
    if (!NeedsQuotes(arg)) {
        return std::string(arg);
    }
    const std::size_t head = OptionHead(arg);
    std::string out(arg.substr(0, head));
    AppendQuoted(out, arg.substr(head));
    return out;
}

std::string BuildCommandLine(const std::vector<std::string>& args) {
    std::string line;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i > 0) {
            line += ' ';
        }
        line += QuoteArgument(args[i]);
    }
    return line;
}

void SetProcessArguments(int argc, const char* const* argv) {
    std::vector<std::string> args;
    args.reserve(static_cast<std::size_t>(argc > 0 ? argc : 0));
    for (int i = 0; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    StoredCommandLine() = BuildCommandLine(args);
    StoredArguments() = std::move(args);
}

const std::string& ProcessCommandLine() {
    return StoredCommandLine();
}
const std::vector<std::string>& ProcessArguments() {
    return StoredArguments();
}

} // namespace platform
