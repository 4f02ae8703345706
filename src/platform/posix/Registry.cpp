#include "platform/Registry.h"

#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Raise.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr std::size_t MaxHiveSize = 64u * 1024 * 1024;

struct THiveLocation {
    std::string File;
    std::string RootName;
    std::string Prefix; // key path of the root inside the hive
};

THiveLocation Locate(TRegRoot root) {
    THiveLocation location;
    location.File = TRegistryKey::HiveFileName(root);
    location.RootName = root == TRegRoot::CurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
    if (root == TRegRoot::ClassesRoot) {
        location.Prefix = "SOFTWARE\\Classes";
    }
    return location;
}

// Classes live in the machine hive; a key object always names its hive's root.
TRegRoot HiveRoot(TRegRoot root) {
    return root == TRegRoot::ClassesRoot ? TRegRoot::LocalMachine : root;
}

std::string Join(const std::string& prefix, std::string_view path) {
    while (!path.empty() && path.front() == '\\') {
        path.remove_prefix(1);
    }
    while (!path.empty() && path.back() == '\\') {
        path.remove_suffix(1);
    }
    if (prefix.empty()) {
        return std::string(path);
    }
    if (path.empty()) {
        return prefix;
    }
    return prefix + "\\" + std::string(path);
}

// Parsed hives, reparsed when the file changes (it is only ever replaced by rename,
// so a new inode or size or time means new content).
struct TCacheEntry {
    dev_t Device = 0;
    ino_t Inode = 0;
    off_t Size = 0;
    timespec Modified{};
    std::shared_ptr<const TRegHive> Hive;
};
std::mutex cacheMutex;
std::map<std::string, TCacheEntry> cache;

TRegHive ReadHive(const THiveLocation& location) {
    std::string text;
    std::string error;
    switch (ReadWholeFile(location.File, text, MaxHiveSize, &error)) {
    case TFileReadResult::Ok:
        return TRegHive::Parse(text, location.RootName, location.File);
    case TFileReadResult::OpenFailed:
        if (errno == ENOENT || errno == ENOTDIR) {
            return TRegHive{};
        }
        [[fallthrough]];
    case TFileReadResult::ReadFailed:
        break;
    }
    platform::Raise(
        TRegistryError("Failed to read registry file \"" + location.File + "\": " + error));
}

std::shared_ptr<const TRegHive> LoadHive(const THiveLocation& location) {
    struct stat st {};
    if (::stat(location.File.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return std::make_shared<const TRegHive>();
        }
        platform::Raise(TRegistryError("Failed to read registry file \"" + location.File +
                                       "\": " + std::strerror(errno)));
    }
    {
        std::lock_guard<std::mutex> lock(cacheMutex);
        const auto it = cache.find(location.File);
        if (it != cache.end() && it->second.Device == st.st_dev && it->second.Inode == st.st_ino &&
            it->second.Size == st.st_size && it->second.Modified.tv_sec == st.st_mtim.tv_sec &&
            it->second.Modified.tv_nsec == st.st_mtim.tv_nsec) {
            return it->second.Hive;
        }
    }
    auto hive = std::make_shared<const TRegHive>(ReadHive(location));
    std::lock_guard<std::mutex> lock(cacheMutex);
    cache[location.File] = TCacheEntry{st.st_dev, st.st_ino, st.st_size, st.st_mtim, hive};
    return hive;
}

void WriteAll(int fd, std::string_view bytes, const std::string& file) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            platform::Raise(TRegistryError("Failed to write registry file \"" + file +
                                           "\": " + std::strerror(n == 0 ? EIO : errno)));
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// Re-reads the hive under its lock, applies the change and replaces the file.
void ModifyHive(const THiveLocation& location, const std::function<bool(TRegHive&)>& change) {
    const std::string dir = ExtractFileDir(location.File);
    std::string error;
    if (!ForceDirectories(dir, &error)) {
        platform::Raise(
            TRegistryError("Failed to create registry folder \"" + dir + "\": " + error));
    }
    const std::string lockName = location.File + ".lock";
    const int lockFd = ::open(lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd < 0) {
        platform::Raise(TRegistryError("Failed to lock registry file \"" + location.File +
                                       "\": " + std::strerror(errno)));
    }
    struct TCloser {
        int fd;
        ~TCloser() { ::close(fd); }
    } closer{lockFd};
    while (::flock(lockFd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            platform::Raise(TRegistryError("Failed to lock registry file \"" + location.File +
                                           "\": " + std::strerror(errno)));
        }
    }
    TRegHive hive = ReadHive(location);
    if (!change(hive)) {
        return;
    }
    const std::string text = hive.Serialize(location.RootName);
    std::string temp = location.File + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        platform::Raise(TRegistryError("Failed to write registry file \"" + location.File +
                                       "\": " + std::strerror(errno)));
    }
    try {
        struct stat st {};
        ::fchmod(fd, ::stat(location.File.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644);
        WriteAll(fd, text, location.File);
        if (::fsync(fd) != 0 || ::close(fd) != 0) {
            platform::Raise(TRegistryError("Failed to write registry file \"" + location.File +
                                           "\": " + std::strerror(errno)));
        }
    } catch (...) {
        ::close(fd);
        ::unlink(temp.c_str());
        throw;
    }
    if (::rename(temp.c_str(), location.File.c_str()) != 0) {
        const int code = errno;
        ::unlink(temp.c_str());
        platform::Raise(TRegistryError("Failed to replace registry file \"" + location.File +
                                       "\": " + std::strerror(code)));
    }
}

bool IsWritableDirectory(std::string dir) {
    // The nearest existing folder decides whether the hive's folder can be made.
    struct stat st {};
    while (!dir.empty() && ::stat(dir.c_str(), &st) != 0) {
        const std::string parent = ExtractFileDir(dir);
        if (errno != ENOENT || parent == dir) {
            return false;
        }
        dir = parent;
    }
    return !dir.empty() && S_ISDIR(st.st_mode) && ::access(dir.c_str(), W_OK) == 0;
}

} // namespace

std::string TRegistryKey::HiveFileName(TRegRoot root) {
    if (root != TRegRoot::CurrentUser) {
        const std::optional<std::string> dir = GetEnvVar("TAVRIX_REGISTRY_DIR");
        if (dir && !dir->empty()) {
            return IncludeTrailingDelimiter(*dir) + "machine.reg";
        }
        return "/etc/tavrix/machine.reg";
    }
    // Each user's own: never in the shared registry folder, which others may write.
    std::optional<std::string> config = GetEnvVar("XDG_CONFIG_HOME");
    if (!config || config->empty()) {
        config = GetEnvVar("HOME").value_or("/") + "/.config";
    }
    return IncludeTrailingDelimiter(*config) + "tavrix/user.reg";
}

bool TRegistryKey::CanWrite(TRegRoot root) {
    const std::string file = HiveFileName(root);
    const std::string dir = ExtractFileDir(file);
    if (FileExists(file) && ::access(file.c_str(), W_OK) != 0) {
        return false;
    }
    return IsWritableDirectory(dir);
}

std::unique_ptr<TRegistryKey> TRegistryKey::Open(TRegRoot root, std::string_view path, bool write) {
    const THiveLocation location = Locate(root);
    if (write && !CanWrite(root)) {
        platform::Raise(TRegistryError("Access denied to registry file \"" + location.File + "\""));
    }
    const std::string full = Join(location.Prefix, path);
    const auto hive = LoadHive(location);
    if (!full.empty() && hive->FindKey(full) == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<TRegistryKey>(new TRegistryKey(HiveRoot(root), full, write));
}

std::unique_ptr<TRegistryKey> TRegistryKey::Create(TRegRoot root, std::string_view path) {
    const THiveLocation location = Locate(root);
    if (!CanWrite(root)) {
        platform::Raise(TRegistryError("Access denied to registry file \"" + location.File + "\""));
    }
    const std::string full = Join(location.Prefix, path);
    ModifyHive(location, [&](TRegHive& hive) {
        if (hive.FindKey(full) != nullptr || full.empty()) {
            return false;
        }
        hive.CreateKey(full);
        return true;
    });
    return std::unique_ptr<TRegistryKey>(new TRegistryKey(HiveRoot(root), full, true));
}

bool TRegistryKey::DeleteKey(TRegRoot root, std::string_view path) {
    const THiveLocation location = Locate(root);
    const std::string full = Join(location.Prefix, path);
    if (full.empty()) {
        platform::Raise(TRegistryError("Cannot delete the root of a registry hive"));
    }
    bool deleted = false;
    ModifyHive(location, [&](TRegHive& hive) { return deleted = hive.DeleteKey(full); });
    return deleted;
}

std::unique_ptr<TRegistryKey> TRegistryKey::OpenSubKey(std::string_view name, bool write) const {
    const TRegRoot hiveRoot = root;
    const std::string full = Join(path, name);
    if (write && !CanWrite(hiveRoot)) {
        platform::Raise(
            TRegistryError("Access denied to registry file \"" + HiveFileName(hiveRoot) + "\""));
    }
    const auto hive = LoadHive(Locate(hiveRoot));
    if (hive->FindKey(full) == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<TRegistryKey>(new TRegistryKey(hiveRoot, full, write));
}

std::unique_ptr<TRegistryKey> TRegistryKey::CreateSubKey(std::string_view name) const {
    return Create(root, Join(path, name));
}

std::optional<TRegValue> TRegistryKey::ReadValue(std::string_view name) const {
    const auto hive = LoadHive(Locate(root));
    const TRegKeyData* key = hive->FindKey(path);
    if (key == nullptr) {
        return std::nullopt;
    }
    const TRegValue* value = key->Find(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return *value;
}

bool TRegistryKey::ValueExists(std::string_view name) const {
    return ReadValue(name).has_value();
}

std::optional<std::string> TRegistryKey::ReadString(std::string_view name) const {
    std::optional<TRegValue> value = ReadValue(name);
    if (!value) {
        return std::nullopt;
    }
    if (value->Type != TRegValueType::String && value->Type != TRegValueType::ExpandString) {
        platform::Raise(TRegistryError("Invalid data type for '" + std::string(name) + "'"));
    }
    return std::move(value->Data);
}

std::optional<std::int64_t> TRegistryKey::ReadInteger(std::string_view name) const {
    const std::optional<TRegValue> value = ReadValue(name);
    if (!value) {
        return std::nullopt;
    }
    const std::size_t size = value->Type == TRegValueType::DWord   ? 4
                             : value->Type == TRegValueType::QWord ? 8
                                                                   : 0;
    if (size == 0 || value->Data.size() != size) {
        platform::Raise(TRegistryError("Invalid data type for '" + std::string(name) + "'"));
    }
    std::uint64_t number = 0;
    for (std::size_t b = size; b-- > 0;) {
        number = number * 256 + static_cast<unsigned char>(value->Data[b]);
    }
    if (size == 4) {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(number));
    }
    return static_cast<std::int64_t>(number);
}

std::optional<bool> TRegistryKey::ReadBool(std::string_view name) const {
    const std::optional<std::int64_t> number = ReadInteger(name);
    if (!number) {
        return std::nullopt;
    }
    return *number != 0;
}

std::vector<std::string> TRegistryKey::SubKeyNames() const {
    const auto hive = LoadHive(Locate(root));
    return hive->SubKeyNames(path);
}

std::vector<std::string> TRegistryKey::ValueNames() const {
    const auto hive = LoadHive(Locate(root));
    std::vector<std::string> names;
    if (const TRegKeyData* key = hive->FindKey(path)) {
        for (const TRegValue& value : key->Values) {
            names.push_back(value.Name);
        }
    }
    return names;
}

void TRegistryKey::WriteValue(TRegValue value) {
    if (!writable) {
        platform::Raise(TRegistryError("Registry key \"" + path + "\" is not open for writing"));
    }
    if (value.Name.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        platform::Raise(TRegistryError("Invalid registry value name"));
    }
    const THiveLocation location = Locate(root);
    ModifyHive(location, [&](TRegHive& hive) {
        hive.SetValue(path, std::move(value));
        return true;
    });
}

void TRegistryKey::WriteString(std::string_view name, std::string_view text) {
    WriteValue(TRegValue{std::string(name), TRegValueType::String, std::string(text)});
}

void TRegistryKey::WriteInteger(std::string_view name, std::uint32_t number) {
    std::string bytes;
    for (int b = 0; b < 4; ++b) {
        bytes.push_back(static_cast<char>((number >> (8 * b)) & 0xFF));
    }
    WriteValue(TRegValue{std::string(name), TRegValueType::DWord, bytes});
}

void TRegistryKey::WriteBool(std::string_view name, bool flag) {
    WriteInteger(name, flag ? 1 : 0);
}

bool TRegistryKey::DeleteValue(std::string_view name) {
    if (!writable) {
        platform::Raise(TRegistryError("Registry key \"" + path + "\" is not open for writing"));
    }
    bool deleted = false;
    ModifyHive(Locate(root),
               [&](TRegHive& hive) { return deleted = hive.DeleteValue(path, name); });
    return deleted;
}

} // namespace platform
