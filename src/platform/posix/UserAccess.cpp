#include "platform/UserAccess.h"

#include "platform/Paths.h"

#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

// The groups of a user as the system lists them, primary group first.
std::vector<gid_t> GroupsOf(uid_t user) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return {};
    }
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (::getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));
        if (::getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0) {
            return {entry.pw_gid};
        }
    }
    groups.resize(static_cast<std::size_t>(count));
    return groups;
}

bool MayWrite(const struct stat& st, uid_t user, const std::vector<gid_t>& groups) {
    if (st.st_uid == user) {
        return (st.st_mode & S_IWUSR) != 0;
    }
    for (const gid_t group : groups) {
        if (st.st_gid == group) {
            return (st.st_mode & S_IWGRP) != 0;
        }
    }
    return (st.st_mode & S_IWOTH) != 0;
}

} // namespace

std::optional<std::uint32_t> FileOwner(std::string_view path) {
    struct stat st {};
    if (::lstat(std::string(path).c_str(), &st) != 0) {
        return std::nullopt;
    }
    return st.st_uid;
}

bool UserMayReplaceFile(std::string_view file, std::uint32_t user) {
    if (user == 0) {
        return true;
    }
    const std::vector<gid_t> groups = GroupsOf(user);
    struct stat st {};
    const std::string path(file);
    if (::stat(path.c_str(), &st) == 0) {
        if (!MayWrite(st, user, groups)) {
            return false;
        }
    } else if (errno != ENOENT) {
        return false;
    }
    std::string dir = ExtractFileDir(path);
    while (!dir.empty() && ::stat(dir.c_str(), &st) != 0) {
        const std::string parent = ExtractFileDir(dir);
        if (errno != ENOENT || parent == dir) {
            return false;
        }
        dir = parent;
    }
    return !dir.empty() && S_ISDIR(st.st_mode) && MayWrite(st, user, groups);
}

} // namespace platform
