#include "vs/VSDirs.h"

#include "core/TextHelpers.h"
#include "platform/Registry.h"
#include "vs/VSVersion.h"

namespace vs {

namespace {
std::string ReadText(const platform::TRegistryKey* key, std::string_view name) {
    if (key == nullptr) {
        return {};
    }
    try {
        return std::string(core::TrimText(key->ReadString(name).value_or("")));
    } catch (const std::exception&) {
        return {}; // a value of another type counts as missing
    }
}

std::string ReadSubKeyText(const platform::TRegistryKey* key, std::string_view subKey,
                           std::string_view name) {
    if (key == nullptr) {
        return {};
    }
    const auto sub = key->OpenSubKey(subKey);
    return ReadText(sub.get(), name);
}
} // namespace

TVSDirs GetVSDirs(int versionIndex, std::string_view agentKey) {
    TVSDirs dirs;
    const std::string version = VSVersionText(versionIndex);
    if (version.empty()) {
        return dirs;
    }
    try {
        if (versionIndex <= 10) {
            const auto key = platform::TRegistryKey::Open(
                platform::TRegRoot::LocalMachine, "SOFTWARE\\Microsoft\\VisualStudio\\" + version);
            dirs.IDEDir = ReadText(key.get(), "InstallDir");
            dirs.VCDir = ReadSubKeyText(key.get(), "Setup\\VC", "ProductDir");
            dirs.VSDir = ReadSubKeyText(key.get(), "Setup\\VS", "ProductDir");
            return dirs;
        }
        const std::string path = std::string(agentKey) + "\\VSDirs\\" + version;
        for (const platform::TRegRoot root :
             {platform::TRegRoot::CurrentUser, platform::TRegRoot::LocalMachine}) {
            const auto key = platform::TRegistryKey::Open(root, path);
            dirs.IDEDir = ReadText(key.get(), "InstallDir");
            dirs.VSDir = ReadText(key.get(), "VSProductDir");
            if (!dirs.VSDir.empty()) {
                break;
            }
        }
    } catch (const std::exception&) {
        // An unreadable hive is no installed Visual Studio.
    }
    return dirs;
}

} // namespace vs
