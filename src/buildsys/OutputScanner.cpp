#include "buildsys/OutputScanner.h"

#include "core/Diagnostics.h"
#include "packets/TextUtil.h"

namespace buildsys {

namespace {
using core::ClassifyLine;
using core::TDiagnostic;
std::string WithoutCarriageReturn(std::string_view line) {
    if (line.ends_with('\r')) {
        line.remove_suffix(1);
    }
    return std::string(line);
}
} // namespace

std::vector<std::string> TLineAssembler::Add(std::string_view chunk) {
    std::vector<std::string> lines;
    for (;;) {
        const std::size_t end = chunk.find('\n');
        if (end == std::string_view::npos) {
            break;
        }
        if (pending.empty()) {
            lines.push_back(WithoutCarriageReturn(chunk.substr(0, end)));
        } else {
            pending.append(chunk.substr(0, end));
            lines.push_back(WithoutCarriageReturn(pending));
            pending.clear();
        }
        chunk.remove_prefix(end + 1);
    }
    pending.append(chunk);
    while (pending.size() > MaxLine) {
        // A piece never ends inside a UTF-8 sequence.
        std::size_t cut = MaxLine;
        for (int back = 0; back < 3 && (static_cast<unsigned char>(pending[cut]) & 0xC0) == 0x80;
             ++back) {
            --cut;
        }
        lines.push_back(pending.substr(0, cut));
        pending.erase(0, cut);
    }
    return lines;
}

std::optional<std::string> TLineAssembler::Finish() {
    if (pending.empty()) {
        return std::nullopt;
    }
    std::string line = WithoutCarriageReturn(pending);
    pending.clear();
    return line;
}

std::optional<TOutputText> TOutputScanner::Add(TOutputStream stream, std::string_view chunk) {
    return Text(stream, (stream == TOutputStream::Out ? out : err).Add(chunk));
}

std::optional<TOutputText> TOutputScanner::Finish(TOutputStream stream) {
    std::optional<std::string> line = (stream == TOutputStream::Out ? out : err).Finish();
    if (!line) {
        return std::nullopt;
    }
    return Text(stream, {std::move(*line)});
}

std::optional<TOutputText> TOutputScanner::Text(TOutputStream stream,
                                                const std::vector<std::string>& lines) {
    if (lines.empty()) {
        return std::nullopt;
    }
    TOutputText text;
    text.Stream = stream;
    for (const std::string& line : lines) {
        if (!text.Text.empty() || &line != &lines.front()) {
            text.Text += "\r\n";
        }
        // Each line on its own: a malformed byte becomes U+FFFD in its line only.
        text.Text += packets::ValidUtf8(line);
        switch (ClassifyLine(line)) {
        case TDiagnostic::Error:
            ++text.Errors;
            break;
        case TDiagnostic::Warning:
            ++text.Warnings;
            break;
        case TDiagnostic::None:
            break;
        }
    }
    errors += text.Errors;
    warnings += text.Warnings;
    return text;
}

} // namespace buildsys
