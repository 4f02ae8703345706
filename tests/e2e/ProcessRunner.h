#pragma once
// Runs a real program with arguments, extra environment and a working directory,
// capturing standard output, standard error and the exit status.
#include <map>
#include <string>
#include <vector>

namespace e2e {

struct TProcessResult {
    std::string Out;
    std::string Err;
    int ExitCode = -1; // -1 when the process did not exit normally
};

// `env` entries override (or, with an empty optional-like marker "\x01", remove)
// variables of the test's own environment.
TProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env = {},
                          const std::string& workDir = "");

constexpr const char* RemoveVariable = "\x01";

// A program started in the background; its output pipes are read by FinishProgram.
struct TRunningProgram {
    int Pid = -1;
    int Out = -1;
    int Err = -1;
};
TRunningProgram StartProgram(const std::string& program, const std::vector<std::string>& args,
                             const std::map<std::string, std::string>& env = {},
                             const std::string& workDir = "");
// Reads the rest of its output and waits for its end.
TProcessResult FinishProgram(const TRunningProgram& running);

} // namespace e2e
