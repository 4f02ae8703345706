#include "platform/Random.h"

#include <cerrno>
#include <cstring>
#include <sys/random.h>

namespace platform {

bool RandomBytes(void* buffer, std::size_t count, int* errorCode, std::string* errorText) {
    auto* out = static_cast<unsigned char*>(buffer);
    while (count > 0) {
        ssize_t got = getrandom(out, count, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            int code = errno;
            if (errorCode)
                *errorCode = code;
            if (errorText)
                *errorText = std::strerror(code);
            return false;
        }
        out += got;
        count -= static_cast<std::size_t>(got);
    }
    return true;
}

} // namespace platform
