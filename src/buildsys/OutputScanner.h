#pragma once
// Turns the chunks read from a job's standard output and standard error into the
// texts of output events: whole lines only, joined with CR LF, in the order each
// stream delivered them, with the diagnostics of the lines counted. Each line is made
// valid UTF-8 on its own (a malformed byte becomes U+FFFD), so one bad byte never
// spoils the other lines of its event.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace buildsys {

enum class TOutputStream { Out, Err };

// Cuts one stream into lines as its chunks arrive.
class TLineAssembler {
public:
    // A line longer than this is passed on in pieces of this size.
    static constexpr std::size_t MaxLine = 1 << 20;

    // The lines that `chunk` completes, without their ends ("\r\n" or "\n").
    std::vector<std::string> Add(std::string_view chunk);
    // The unfinished last line at the end of the stream, if there is one.
    std::optional<std::string> Finish();

private:
    std::string pending;
};

struct TOutputText {
    TOutputStream Stream = TOutputStream::Out;
    std::string Text; // lines joined with "\r\n"
    std::int32_t Errors = 0;
    std::int32_t Warnings = 0;
};

class TOutputScanner {
public:
    // The lines completed by a chunk of one stream, as the text of one event; none
    // while no line has ended.
    std::optional<TOutputText> Add(TOutputStream stream, std::string_view chunk);
    // The unfinished last line of a stream that has ended.
    std::optional<TOutputText> Finish(TOutputStream stream);

    std::int32_t Errors() const { return errors; }
    std::int32_t Warnings() const { return warnings; }

private:
    std::optional<TOutputText> Text(TOutputStream stream, const std::vector<std::string>& lines);
    TLineAssembler out;
    TLineAssembler err;
    std::int32_t errors = 0;
    std::int32_t warnings = 0;
};

} // namespace buildsys
