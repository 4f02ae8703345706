#pragma once
// The process command line. Linux hands us argv; the rules that read "the raw
// command line" work on one string rebuilt from it, quoted by the C-runtime rules
// so that tokenizing the string gives argv back exactly.
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Quotes one argument by the C-runtime rules (only when it needs quoting). An
// option with a value is quoted after its "=" ("/title="a b""), so its value reads
// naturally to parsers that only strip surrounding quotes.
std::string QuoteArgument(std::string_view arg);

std::string BuildCommandLine(const std::vector<std::string>& args);

// Records the process arguments; called once by the process entry.
void SetProcessArguments(int argc, const char* const* argv);
// The rebuilt command line of the process (UTF-8 bytes as the system gave them).
const std::string& ProcessCommandLine();
// The process arguments exactly as the system gave them, the program first. Readers
// that must keep every character as typed take these rather than re-splitting a line.
const std::vector<std::string>& ProcessArguments();

} // namespace platform
