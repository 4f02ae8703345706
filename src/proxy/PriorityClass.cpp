#include "proxy/PriorityClass.h"

namespace build {

std::optional<platform::TPriorityClass> PriorityClassOf(std::int64_t value) {
    switch (value) {
    case 32:
        return platform::TPriorityClass::Normal;
    case 64:
        return platform::TPriorityClass::Idle;
    case 128:
        return platform::TPriorityClass::High;
    case 256:
        return platform::TPriorityClass::RealTime;
    case 16384:
        return platform::TPriorityClass::BelowNormal;
    case 32768:
        return platform::TPriorityClass::AboveNormal;
    default:
        return std::nullopt;
    }
}

} // namespace build
