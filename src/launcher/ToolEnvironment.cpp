#include "launcher/ToolEnvironment.h"

#include <optional>

#include "core/TaskProtocol.h"
#include "platform/FileIdentity.h"
#include "platform/Paths.h"
#include "platform/ToolProcess.h"

namespace launcher {

namespace {

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

std::string Join(const std::vector<std::string_view>& parts, char separator) {
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            text.push_back(separator);
        }
        text.append(parts[i]);
    }
    return text;
}

// The folder's identity is taken once: a launcher compares it with every entry of
// PATH, and resolving each path in full costs a call per component.
std::optional<platform::TFileIdentity> FolderIdentity(std::string_view folder) {
    return folder.empty() ? std::nullopt : platform::IdentityOf(folder);
}

bool IsFolder(std::string_view entry, const std::optional<platform::TFileIdentity>& folder) {
    return folder && !entry.empty() && platform::IdentityOf(entry) == folder;
}

std::string_view NameOf(std::string_view entry) {
    const auto eq = entry.find('=');
    return eq == std::string_view::npos ? entry : entry.substr(0, eq);
}

} // namespace

std::string ValueOf(const std::vector<std::string>& env, std::string_view name) {
    for (const std::string& entry : env) {
        if (entry.size() > name.size() && entry[name.size()] == '=' &&
            std::string_view(entry).substr(0, name.size()) == name) {
            return entry.substr(name.size() + 1);
        }
    }
    return {};
}

std::string MasqueradeFolderOf(std::string_view launcherFile) {
    return platform::ExtractFileDir(launcherFile) + "/" + std::string(MasqueradeFolderName);
}

std::string FindRealTool(std::string_view name, std::string_view searchPath,
                         std::string_view launcherFile, std::string_view masqueradeFolder) {
    if (name.empty() || name.find('/') != std::string_view::npos) {
        return {};
    }
    const std::optional<platform::TFileIdentity> masquerade = FolderIdentity(masqueradeFolder);
    const std::optional<platform::TFileIdentity> launcher = platform::IdentityOf(launcherFile);
    for (std::string_view dir : Split(searchPath, ':')) {
        const std::string folder = dir.empty() ? "." : std::string(dir);
        if (IsFolder(folder, masquerade)) {
            continue;
        }
        const std::string candidate = folder + "/" + std::string(name);
        if (!platform::IsExecutableFile(candidate)) {
            continue;
        }
        // Any link to the launcher, also a hard one, is the launcher.
        if (launcher && platform::IdentityOf(candidate) == launcher) {
            continue;
        }
        return candidate;
    }
    return {};
}

std::string PathWithoutFolder(std::string_view searchPath, std::string_view folder) {
    const std::optional<platform::TFileIdentity> masquerade = FolderIdentity(folder);
    std::vector<std::string_view> kept;
    for (std::string_view dir : Split(searchPath, ':')) {
        if (!IsFolder(dir, masquerade)) {
            kept.push_back(dir);
        }
    }
    return Join(kept, ':');
}

std::vector<std::string> ToolEnvironment(const std::vector<std::string>& env,
                                         std::string_view masqueradeFolder, int depth,
                                         const std::map<std::string, std::string>& extra) {
    std::vector<std::string> result;
    result.reserve(env.size() + extra.size() + 1);
    // The build's cache settings are the whole of ccache's: a user's own (a compiler
    // check turned off, sloppiness, another compiler) could restore a different
    // compile's result.
    const bool cached = extra.count(std::string(CacheStoreVariable)) != 0;
    for (const std::string& entry : env) {
        const std::string_view name = NameOf(entry);
        if (name == EndpointVariable || name == ToolsVariable || name == LauncherVariable ||
            name == DepthVariable || name == core::BuildOutputVariable ||
            extra.count(std::string(name)) != 0 || (cached && name.substr(0, 7) == "CCACHE_")) {
            continue;
        }
        if (name == "LD_PRELOAD") {
            std::vector<std::string_view> kept;
            // The loader splits LD_PRELOAD at blanks and colons.
            for (std::string_view word : Split(std::string_view(entry).substr(11), ':')) {
                for (std::string_view part : Split(word, ' ')) {
                    if (!part.empty() && platform::ExtractFileName(part) != HookFileName) {
                        kept.push_back(part);
                    }
                }
            }
            if (!kept.empty()) {
                result.push_back("LD_PRELOAD=" + Join(kept, ':'));
            }
            continue;
        }
        if (name == "PATH" && entry.size() > 5) {
            result.push_back(
                "PATH=" + PathWithoutFolder(std::string_view(entry).substr(5), masqueradeFolder));
            continue;
        }
        result.push_back(entry);
    }
    for (const auto& [name, value] : extra) {
        result.push_back(name + "=" + value);
    }
    result.push_back(std::string(DepthVariable) + "=" + std::to_string(depth));
    return result;
}

} // namespace launcher
