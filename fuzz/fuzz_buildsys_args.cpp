// The build-system process's command line: NUL-separated arguments.
#include "buildsys/Arguments.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.emplace_back();
        } else {
            arguments.back() += static_cast<char>(data[i]);
        }
    }
    std::string error;
    const auto parsed = buildsys::ParseArguments(arguments, error);
    if (!parsed && error.empty()) {
        __builtin_trap(); // a refusal always says why
    }
    return 0;
}
