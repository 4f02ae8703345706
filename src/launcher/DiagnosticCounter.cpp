#include "launcher/DiagnosticCounter.h"

#include "core/Diagnostics.h"

namespace launcher {

void TDiagnosticCounter::Judge(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    switch (core::ClassifyLine(line)) {
    case core::TDiagnostic::Error:
        ++errors;
        break;
    case core::TDiagnostic::Warning:
        ++warnings;
        break;
    case core::TDiagnostic::None:
        break;
    }
}

void TDiagnosticCounter::Add(int stream, std::string_view bytes) {
    const int i = stream == 2 ? 1 : 0;
    std::string& line = pending[i];
    while (!bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        const std::string_view part = bytes.substr(0, end);
        if (!overlong[i]) {
            line.append(part.substr(0, MaxLine - std::min(MaxLine, line.size())));
            if (line.size() >= MaxLine) {
                Judge(line);
                line.clear();
                overlong[i] = true;
            }
        }
        if (end == std::string_view::npos) {
            return;
        }
        if (!overlong[i]) {
            Judge(line);
        }
        line.clear();
        overlong[i] = false;
        bytes.remove_prefix(end + 1);
    }
}

void TDiagnosticCounter::Finish() {
    for (int i = 0; i < 2; ++i) {
        if (!pending[i].empty() && !overlong[i]) {
            Judge(pending[i]);
        }
        pending[i].clear();
        overlong[i] = false;
    }
}

} // namespace launcher
