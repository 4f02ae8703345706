#include "platform/Paths.h"

#include <vector>

namespace platform {

bool IsOptionArgument(std::string_view arg) {
    if (arg.empty()) {
        return false;
    }
    if (arg[0] == '-') {
        return true;
    }
    if (arg[0] != '/') {
        return false;
    }
    const std::string_view name = arg.substr(
        1, arg.find('=') == std::string_view::npos ? std::string_view::npos : arg.find('=') - 1);
    return name.find('/') == std::string_view::npos;
}

std::string ToNativeSeparators(std::string_view path) {
    std::string result(path);
    for (char& c : result) {
        if (c == '\\') {
            c = PathDelim;
        }
    }
    return result;
}

bool IsAbsolutePath(std::string_view path) {
    return !path.empty() && path[0] == PathDelim;
}

std::string ExpandPath(std::string_view path, std::string_view baseDir) {
    if (path.size() >= 2 && path.front() == '"' && path.back() == '"') {
        path = path.substr(1, path.size() - 2);
    }
    std::string full = ToNativeSeparators(path);
    const bool trailing = !full.empty() && full.back() == PathDelim;
    if (!IsAbsolutePath(full)) {
        full = IncludeTrailingDelimiter(ToNativeSeparators(baseDir)) + full;
    }
    std::vector<std::string_view> parts;
    std::string_view rest(full);
    while (!rest.empty()) {
        const std::size_t slash = rest.find(PathDelim);
        const std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
            continue;
        }
        parts.push_back(part);
    }
    std::string result;
    for (const std::string_view part : parts) {
        result += PathDelim;
        result += part;
    }
    // A trailing separator names a directory: keep it.
    if (!result.empty() && trailing) {
        result += PathDelim;
    }
    return result.empty() ? std::string(1, PathDelim) : result;
}

std::string IncludeTrailingDelimiter(std::string_view dir) {
    std::string result(dir);
    if (result.empty() || result.back() != PathDelim) {
        result += PathDelim;
    }
    return result;
}

std::string ExtractFileDir(std::string_view path) {
    const std::size_t slash = path.rfind(PathDelim);
    if (slash == std::string_view::npos) {
        return {};
    }
    return std::string(path.substr(0, slash == 0 ? 1 : slash));
}

std::string ExtractFileName(std::string_view path) {
    const std::size_t slash = path.rfind(PathDelim);
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string ExtractFileExt(std::string_view path) {
    const std::size_t slash = path.rfind(PathDelim);
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
        return {};
    }
    return std::string(path.substr(dot));
}

std::string ChangeFileExt(std::string_view path, std::string_view ext) {
    const std::string current = ExtractFileExt(path);
    return std::string(path.substr(0, path.size() - current.size())) + std::string(ext);
}

std::string FileNameWithoutExt(std::string_view path) {
    return ChangeFileExt(ExtractFileName(path), "");
}

} // namespace platform
