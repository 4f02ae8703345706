#pragma once
// Option files ("@" followed by a file name) hold further arguments.
#include <cstddef>
#include <string>

namespace core {

// Far more than any real list of arguments; keeps a device such as /dev/zero or a
// huge file from exhausting memory.
constexpr std::size_t MaxOptionFileSize = 16 * 1024 * 1024;

// The file's bytes as they are. A file that cannot be read or is larger than the
// limit raises "Failed to read file: <name>" followed by the reason.
std::string ReadOptionFile(const std::string& fileName);

} // namespace core
