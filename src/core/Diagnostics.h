#pragma once
// Recognises the compiler and linker diagnostics in lines of build output, so that
// output events and the build summary can count errors and warnings.
#include <string_view>

namespace core {

enum class TDiagnostic { None, Error, Warning };

// GCC/Clang style "file:line[:col]: error: ..." (also "fatal error" and "warning"),
// tool prefixed linker lines "ld: error: ..." and "undefined reference to", and the
// MSVC style " error C2065:", " warning C4996:", " error LNK2019:". The earliest
// marker in the line decides.
TDiagnostic ClassifyLine(std::string_view line);

} // namespace core
