#include "buildsys/JobProfileTools.h"

#include "core/Errors.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace buildsys {

std::vector<std::string> InterceptedToolPatterns(const records::TXml_ProfileDocument& profile) {
    std::vector<std::string> patterns;
    for (int i = 0; i < profile.Tools.Count(); ++i) {
        const records::TXml_Tool& tool = profile.Tools[i];
        if (tool.AllowIntercept && !tool.Filename.empty() &&
            std::find(patterns.begin(), patterns.end(), tool.Filename) == patterns.end()) {
            patterns.push_back(tool.Filename);
        }
    }
    return patterns;
}

std::vector<std::string> JobProfileToolPatterns(const std::string& agentFolder,
                                                const records::TBuildCommandPacket&) {
    namespace fs = std::filesystem;
    const fs::path masq = fs::path(agentFolder) / "masq";
    std::vector<std::string> names;
    std::error_code ec;
    if (!fs::exists(masq, ec)) {
        return names; // not installed: the build says so
    }
    for (fs::directory_iterator it(masq, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    if (ec) {
        throw core::EGeneralError("Cannot read the masquerade folder " + masq.string() + ": " +
                                  ec.message());
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace buildsys
