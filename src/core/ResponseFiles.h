#pragma once
// Response files: a tool argument "@file" stands for the arguments written in the file,
// separated by white space; single and double quotes group, a backslash takes the next
// character as it is (the GNU toolchain's rules, which LLVM's tools follow on Linux).
// A file that cannot be read leaves the argument as it is, which is what the tools do.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace core {

// Bounds against hostile or runaway files: nesting, files read and arguments made for
// one call (a file that names itself twice would otherwise grow without end).
inline constexpr int MaxResponseFileDepth = 16;
inline constexpr std::size_t MaxResponseFiles = 1024;
inline constexpr std::size_t MaxExpandedArguments = 1 << 20;

// The arguments of a response file's text.
std::vector<std::string> SplitResponseFileText(std::string_view text);

// The contents of the file at a path; none when it cannot be read.
using TResponseFileReader = std::function<std::optional<std::string>(const std::string& path)>;

// `argv` with every "@file" argument after argv[0] replaced by the file's arguments,
// nested files too. An argument whose file cannot be read or is nested deeper than
// MaxResponseFileDepth stays as it is; past the other bounds `argv` comes back as it is.
std::vector<std::string> ExpandResponseFiles(const std::vector<std::string>& argv,
                                             const TResponseFileReader& read);

} // namespace core
