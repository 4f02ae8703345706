// VaridAdeziz: the build-system process. The console (or the agent) starts it with
// the identity of a build whose request it has handed over; see BuildSystem.h.
#include "buildsys/Arguments.h"
#include "buildsys/BuildSystem.h"

#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::string error;
    const std::optional<buildsys::TBuildSystemArguments> arguments =
        buildsys::ParseArguments(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!arguments) {
        std::fprintf(stderr, "VaridAdeziz: %s\n", error.c_str());
        return 2;
    }
    try {
        return buildsys::RunBuildSystem(*arguments);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "VaridAdeziz: %s\n", e.what());
        return 1;
    }
}
