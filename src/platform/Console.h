#pragma once
// The standard handles and the end of the process.
#include <string_view>

namespace platform {

// True when standard output is a terminal.
bool StdOutIsConsole();

// One unbuffered write of the whole text (retried on short writes); failures are ignored.
void WriteStdOut(std::string_view bytes);
void WriteStdErr(std::string_view bytes);

// A write to a closed pipe then fails with an error instead of ending the process
// (started programs begin with the default again).
void IgnoreBrokenPipes();

// Lets the terminal interpret escape sequences (terminals here always do).
void EnableVirtualTerminal();

// Ends the process at once with the code modulo 256, running no further shutdown code.
[[noreturn]] void ExitProcess(int code);

} // namespace platform
