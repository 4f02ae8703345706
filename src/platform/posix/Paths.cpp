#include "platform/Paths.h"

#include "platform/AsciiCase.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace platform {

std::string GetCurrentDir() {
    std::string buffer(PATH_MAX, '\0');
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) {
            return "/";
        }
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(std::strlen(buffer.c_str()));
    return buffer;
}

bool FileExists(std::string_view path) {
    struct stat st {};
    return ::stat(std::string(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool RegularFileExists(std::string_view path) {
    struct stat st {};
    return ::stat(std::string(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(std::string_view path) {
    struct stat st {};
    return ::stat(std::string(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ForceDirectories(std::string_view dir, std::string* errorText) {
    std::string path(dir);
    while (path.size() > 1 && path.back() == PathDelim) {
        path.pop_back();
    }
    if (path.empty() || DirectoryExists(path)) {
        return true;
    }
    const std::string parent = ExtractFileDir(path);
    if (!parent.empty() && parent != path && !ForceDirectories(parent, errorText)) {
        return false;
    }
    if (::mkdir(path.c_str(), 0777) != 0 && !(errno == EEXIST && DirectoryExists(path))) {
        if (errorText != nullptr) {
            *errorText = std::strerror(errno);
        }
        return false;
    }
    return true;
}

namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}
} // namespace

struct TPathCaseResolver::TListings {
    std::unordered_map<std::string, std::vector<std::string>> ByFolder;

    const std::vector<std::string>& Of(const std::string& folder) {
        const auto found = ByFolder.find(folder);
        if (found != ByFolder.end()) {
            return found->second;
        }
        std::vector<std::string>& names = ByFolder[folder];
        if (DIR* dir = ::opendir(folder.empty() ? "/" : folder.c_str())) {
            while (const dirent* entry = ::readdir(dir)) {
                names.emplace_back(entry->d_name);
            }
            ::closedir(dir);
        }
        return names;
    }
};

TPathCaseResolver::TPathCaseResolver() : listings(std::make_unique<TListings>()) {}
TPathCaseResolver::~TPathCaseResolver() = default;

std::string TPathCaseResolver::Resolve(std::string_view path) {
    const std::string original(path);
    if (!IsAbsolutePath(path) || Exists(original)) {
        return original;
    }
    std::string resolved;
    std::size_t pos = 1;
    while (pos <= path.size()) {
        const std::size_t slash = std::min(path.find(PathDelim, pos), path.size());
        const std::string_view part = path.substr(pos, slash - pos);
        pos = slash + 1;
        if (part.empty()) {
            continue;
        }
        std::string candidate = resolved + PathDelim + std::string(part);
        if (!Exists(candidate)) {
            bool found = false;
            for (const std::string& name : listings->Of(resolved)) {
                if (SameTextAscii(name, part)) {
                    candidate = resolved + PathDelim + name;
                    found = true;
                    break;
                }
            }
            if (!found) {
                return original;
            }
        }
        resolved = std::move(candidate);
    }
    return resolved.empty() ? original : resolved;
}

std::string ResolvePathCase(std::string_view path) {
    return TPathCaseResolver().Resolve(path);
}

bool MatchesFileNamePattern(std::string_view pattern, std::string_view name) {
    const std::string p(pattern);
    const std::string n(name);
    if (p.find('\0') != std::string::npos || n.find('\0') != std::string::npos) {
        return false;
    }
    return ::fnmatch(p.c_str(), n.c_str(), FNM_PERIOD) == 0;
}

std::string ProgramFileName() {
    std::string buffer(PATH_MAX, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0) {
        return {};
    }
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
}

} // namespace platform
