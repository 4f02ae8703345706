#include "buildsys/ParallelJobs.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace buildsys {

namespace {

struct TWord {
    std::size_t Begin = 0;
    std::size_t End = 0;
    std::string Text; // unquoted
};

bool IsOperator(char c) {
    return c == ';' || c == '&' || c == '|' || c == '(' || c == ')' || c == '<' || c == '>' ||
           c == '\n' || c == '`' || c == '$';
}

// The words of the command's first simple command; stops at the first operator or
// expansion, since what follows is no longer plain arguments of the first program.
std::vector<TWord> FirstSimpleCommand(std::string_view command) {
    std::vector<TWord> words;
    std::size_t i = 0;
    for (;;) {
        while (i < command.size() && (command[i] == ' ' || command[i] == '\t')) {
            ++i;
        }
        if (i >= command.size() || IsOperator(command[i])) {
            return words;
        }
        TWord word;
        word.Begin = i;
        while (i < command.size() && command[i] != ' ' && command[i] != '\t' &&
               !IsOperator(command[i])) {
            const char c = command[i];
            if (c == '\'' || c == '"') {
                const std::size_t close = command.find(c, i + 1);
                if (close == std::string_view::npos) {
                    return {}; // unbalanced: leave the command alone
                }
                word.Text.append(command.substr(i + 1, close - i - 1));
                i = close + 1;
            } else if (c == '\\') {
                if (i + 1 < command.size()) {
                    word.Text.push_back(command[i + 1]);
                }
                i += 2;
            } else {
                word.Text.push_back(c);
                ++i;
            }
        }
        word.End = std::min(i, command.size());
        words.push_back(std::move(word));
    }
}

std::optional<std::int64_t> Number(std::string_view text) {
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A job count in the options of a make or ninja call.
struct TJobsOption {
    std::size_t Begin = 0; // the span to replace in the command
    std::size_t End = 0;
    std::optional<std::int64_t> Count; // none: unlimited
};

std::optional<TJobsOption> FindJobs(const std::vector<TWord>& words) {
    std::optional<TJobsOption> found;
    for (std::size_t w = 1; w < words.size(); ++w) {
        const std::string& text = words[w].Text;
        if (text == "--") {
            break;
        }
        const bool hasNext = w + 1 < words.size();
        std::optional<std::int64_t> next = hasNext ? Number(words[w + 1].Text) : std::nullopt;
        if (text == "-j" || text == "--jobs") {
            found = TJobsOption{words[w].Begin, next ? words[w + 1].End : words[w].End, next};
            if (next) {
                ++w;
            }
        } else if (text.starts_with("--jobs=")) {
            found = TJobsOption{words[w].Begin, words[w].End, Number(text.substr(7))};
        } else if (text.starts_with("-j") && Number(text.substr(2))) {
            found = TJobsOption{words[w].Begin, words[w].End, Number(text.substr(2))};
        }
    }
    return found;
}

bool NamesJobs(std::string_view makeFlags) {
    // "-j4", "j4" (make's own form, first word of flag letters) and "--jobs".
    std::size_t i = 0;
    bool firstWord = true;
    while (i < makeFlags.size()) {
        while (i < makeFlags.size() && makeFlags[i] == ' ') {
            ++i;
        }
        const std::size_t end = std::min(makeFlags.find(' ', i), makeFlags.size());
        const std::string_view word = makeFlags.substr(i, end - i);
        if (word.starts_with("-j") || word.starts_with("--jobs") ||
            (firstWord && !word.starts_with("-") && word.find('=') == std::string_view::npos &&
             word.find('j') != std::string_view::npos)) {
            return true;
        }
        if (word == "--") {
            break;
        }
        firstWord = false;
        i = end;
    }
    return false;
}

} // namespace

TParallelCommand OfferParallelism(std::string_view command,
                                  const std::optional<std::string>& makeFlags, std::int32_t rows) {
    TParallelCommand result;
    result.Command = std::string(command);
    const std::string jobs = "-j" + std::to_string(rows);
    const std::vector<TWord> words = FirstSimpleCommand(command);
    const std::string program = words.empty() ? std::string() : BaseName(words[0].Text);
    if (program == "make" || program == "gmake" || program == "ninja") {
        const std::optional<TJobsOption> option = FindJobs(words);
        if (!option) {
            result.Command.insert(words[0].End, " " + jobs);
        } else if (option->Count && *option->Count < rows &&
                   !(program == "ninja" && *option->Count == 0)) { // ninja -j0: unlimited
            result.Command.replace(option->Begin, option->End - option->Begin, jobs);
        }
        return result;
    }
    const std::string flags = makeFlags.value_or(std::string());
    if (!NamesJobs(flags)) {
        result.MakeFlags = flags.empty() ? jobs : flags + " " + jobs;
    }
    return result;
}

} // namespace buildsys
