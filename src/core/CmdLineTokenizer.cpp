#include "core/CmdLineTokenizer.h"

namespace core {

void TCRTCmdLineTokenizer::Tokenize(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    const std::size_t n = text.size();
    std::size_t i = 0;
    for (;;) {
        while (i < n && (text[i] == ' ' || text[i] == '\t')) {
            ++i;
        }
        if (i >= n) {
            return;
        }
        std::string arg;
        bool inQuotes = false;
        for (;;) {
            std::size_t backslashes = 0;
            while (i < n && text[i] == '\\') {
                ++backslashes;
                ++i;
            }
            const bool atEnd = i >= n;
            const char c = atEnd ? '\0' : text[i];
            bool copy = true;
            if (!atEnd && c == '"') {
                if (backslashes % 2 == 0) {
                    if (inQuotes && i + 1 < n && text[i + 1] == '"') {
                        ++i; // the second quote of the pair is copied
                    } else {
                        copy = false;
                        inQuotes = !inQuotes;
                    }
                }
                arg.append(backslashes / 2, '\\');
            } else {
                arg.append(backslashes, '\\');
            }
            if (atEnd || (!inQuotes && (c == ' ' || c == '\t'))) {
                break;
            }
            if (copy) {
                arg += c;
            }
            ++i;
        }
        arguments.Add(std::move(arg));
    }
}

} // namespace core
