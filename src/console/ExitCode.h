#pragma once
// The process exit code and its base. The base is added to every nonzero code, so
// callers can tell the console's own failures from a build's exit code.
#include <string_view>

namespace console {

int ExitCodeBase();
void SetExitCodeBase(int base);
int ProcessExitCode();

// The process exit code := 0 for 0, else code + base.
void SetExitCode(int code);
// Sets the exit code and stops the main loop (it never runs when not yet started).
void Finish(int code);

// Reads /exitcodebase=n (or -exitcodebase=n) from the raw command line before
// anything else, so that even the earliest failures carry the base. A value that
// is not an integer gives 10000.
void ReadExitCodeBase(std::string_view rawCommandLine);

constexpr int DefaultExitCodeBase = 10000;

} // namespace console
