#pragma once
// Sets an environment variable for the lifetime of the object and puts the old
// value (or its absence) back afterwards.
#include "platform/Environment.h"

#include <optional>
#include <string>

namespace testing_support {

class TScopedEnvVar {
public:
    TScopedEnvVar(std::string name, const std::string& value)
        : name(std::move(name)), previous(platform::GetEnvVar(this->name)) {
        platform::SetEnvVar(this->name, value);
    }
    ~TScopedEnvVar() {
        if (previous) {
            platform::SetEnvVar(name, *previous);
        } else {
            platform::UnsetEnvVar(name);
        }
    }
    TScopedEnvVar(const TScopedEnvVar&) = delete;
    TScopedEnvVar& operator=(const TScopedEnvVar&) = delete;

private:
    std::string name;
    std::optional<std::string> previous;
};

} // namespace testing_support
