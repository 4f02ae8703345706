#include "buildsys/Arguments.h"

#include "core/TextHelpers.h"

namespace buildsys {

std::optional<TBuildSystemArguments> ParseArguments(const std::vector<std::string>& arguments,
                                                    std::string& error) {
    TBuildSystemArguments result;
    bool haveId = false;
    for (const std::string& argument : arguments) {
        const std::size_t equals = argument.find('=');
        const std::string name = core::LowerCaseAscii(argument.substr(0, equals));
        const std::string value = equals == std::string::npos ? "" : argument.substr(equals + 1);
        if (name == "/id" && equals != std::string::npos) {
            if (!core::TGUID::TryParse(value, result.ID)) {
                error = "Invalid build identity \"" + value + "\".";
                return std::nullopt;
            }
            result.Identity = result.ID.ToString();
            haveId = true;
        } else if (name == "/exitcodebase" && equals != std::string::npos) {
            int base = 0;
            if (!core::TryParseInt32(value, base)) {
                error = "Invalid exit code base \"" + value + "\".";
                return std::nullopt;
            }
            result.ExitCodeBase = base;
        } else {
            error = "Unknown argument \"" + argument + "\".";
            return std::nullopt;
        }
    }
    if (!haveId) {
        error = "Usage: VaridAdeziz /id={BUILD-GUID} [/exitcodebase=N]";
        return std::nullopt;
    }
    return result;
}

} // namespace buildsys
