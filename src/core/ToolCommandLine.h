#pragma once
// What one call of a compiler driver, linker, archiver or assembler of the GNU
// and LLVM toolchains does, read from its argv alone (no disk access: the caller
// expands response files "@file" first with ExpandResponseFiles; one left unexpanded
// counts as an input).
#include <string>
#include <string_view>
#include <vector>

#include "core/TaskProtocol.h"

namespace core {

enum class TToolFamily { Driver, Linker, Archiver, Assembler, Unknown };

// The family of a tool by its file name, ignoring the folder, a target
// triplet prefix and a version suffix: "x86_64-linux-gnu-gcc-12" is a driver,
// "ld.lld" a linker, "llvm-ar-15" an archiver.
TToolFamily ToolFamilyOf(std::string_view toolPath);

enum class TToolCallKind {
    Probe,      // no task: version, help, dump and print queries, -E to stdout, no input
    Compile,    // -c or -S
    Preprocess, // -E (or -M/-MM) into a file
    Link,
    Archive,
    Assemble,
    Other // a tool of unknown family
};

struct TToolCall {
    TToolCallKind kind = TToolCallKind::Other;
    std::string source;  // the first source input; "" when there is none
    std::string output;  // the file written, defaults applied; "" when unknown
    std::string caption; // the source's file name, else the output's
    bool operator==(const TToolCall&) const = default;
};

// Classifies `argv` (argv[0] included) of the tool at `toolPath`.
TToolCall ClassifyToolCall(std::string_view toolPath, const std::vector<std::string>& argv);

// Whether a compiler driver option takes the next word as its value when not joined
// ("-o", "-I", "-include", ...).
bool DriverTakesArgument(std::string_view word);

// The task kind reported for a call; Preprocess and Other are "other".
TTaskKind TaskKindOf(TToolCallKind kind);

} // namespace core
