#pragma once
// Random bytes from the operating system's generator.
#include <cstddef>
#include <string>

namespace platform {

// Fills the buffer with cryptographically strong random bytes. False with the
// system's error code and text when the generator fails.
bool RandomBytes(void* buffer, std::size_t count, int* errorCode = nullptr,
                 std::string* errorText = nullptr);

} // namespace platform
