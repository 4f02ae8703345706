#pragma once
// The open descriptors of another process, as /proc lists them.
#include <cstdint>
#include <dirent.h>
#include <string>

namespace platform {

// True as soon as `matches(folder, name)` holds for one descriptor of process `pid`
// (`folder` is an open descriptor of its /proc/<pid>/fd, `name` the entry there);
// false when none does or the process shows none.
template <typename TMatch> bool AnyDescriptorOf(std::uint32_t pid, TMatch matches) {
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.' && matches(::dirfd(dir), entry->d_name)) {
            found = true;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

} // namespace platform
