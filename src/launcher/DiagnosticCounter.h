#pragma once
// Counts the errors and warnings in a tool's output streams as their bytes
// arrive, line by line, each stream on its own.
#include <cstdint>
#include <string>
#include <string_view>

namespace launcher {

class TDiagnosticCounter {
public:
    // Longest line kept whole; a longer one is judged by its first part.
    static constexpr std::size_t MaxLine = 64 * 1024;

    void Add(int stream, std::string_view bytes);
    // Judges the unfinished last lines.
    void Finish();
    std::int32_t Errors() const { return errors; }
    std::int32_t Warnings() const { return warnings; }

private:
    void Judge(std::string_view line);
    std::string pending[2];
    bool overlong[2] = {false, false};
    std::int32_t errors = 0;
    std::int32_t warnings = 0;
};

} // namespace launcher
