#pragma once
// The registry: a file-backed store of keys and values in the Windows ".reg" text
// format, one file per hive:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Tavrix\Morvek\Builder]
//   @="default value"
//   "Folder"="/opt/morvek/lib/morvek"
//   "HideWindow"=dword:00000001
//   "Size"=hex(b):00,10,00,00,00,00,00,00
//   "Data"=hex:01,02,03 (long lists continue after a trailing backslash)
//
// Text is UTF-8 (a UTF-8 or UTF-16LE byte-order mark is accepted); "\\" and "\""
// escape inside quoted strings; lines starting with ";" are comments; a value line
// may continue after a trailing "\". Key paths compare ignoring ASCII case and keep
// the case they were written with. A malformed hive is an error naming the file and
// line; a missing hive is empty.
//
// Hives: HKEY_LOCAL_MACHINE (and HKEY_CLASSES_ROOT as its SOFTWARE\Classes) in
// $TAVRIX_REGISTRY_DIR/machine.reg (default /etc/tavrix/machine.reg);
// HKEY_CURRENT_USER in each user's own $XDG_CONFIG_HOME/tavrix/user.reg (default
// ~/.config; TAVRIX_REGISTRY_DIR moves only the machine hive). Every write re-reads the hive under
// an exclusive lock of "<hive>.lock", applies the change and replaces the file atomically, so
// concurrent writers lose no update and readers never see a torn file.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class TRegistryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Value types with their Windows numbers.
enum class TRegValueType : std::uint32_t {
    None = 0,
    String = 1,
    ExpandString = 2,
    Binary = 3,
    DWord = 4,
    MultiString = 7,
    QWord = 11,
};

struct TRegValue {
    std::string Name; // empty for the key's default value
    TRegValueType Type = TRegValueType::String;
    std::string Data; // String: the text; numbers: little-endian bytes; others: raw bytes

    friend bool operator==(const TRegValue&, const TRegValue&) = default;
};

struct TRegKeyData {
    std::string Path; // below the hive's root, as first written; empty for the root
    std::vector<TRegValue> Values;

    const TRegValue* Find(std::string_view name) const;
    friend bool operator==(const TRegKeyData&, const TRegKeyData&) = default;
};

// One hive in memory. Parsing and writing work on text, without the disk.
class TRegHive {
public:
    // `rootName` is the hive's root as written in section headers
    // ("HKEY_LOCAL_MACHINE"); `fileName` names the source in error messages.
    static TRegHive Parse(std::string_view text, std::string_view rootName,
                          std::string_view fileName);
    std::string Serialize(std::string_view rootName) const;

    const TRegKeyData* FindKey(std::string_view path) const;
    // The key, with every missing parent.
    TRegKeyData& CreateKey(std::string_view path);
    // Removes the key and everything below it; false when it did not exist.
    bool DeleteKey(std::string_view path);
    // Names of the direct subkeys, in the order of their first appearance.
    std::vector<std::string> SubKeyNames(std::string_view path) const;

    void SetValue(std::string_view path, TRegValue value);
    bool DeleteValue(std::string_view path, std::string_view name);

    bool operator==(const TRegHive& other) const { return keys == other.keys; }

private:
    static std::string Fold(std::string_view path);
    std::vector<TRegKeyData> keys;            // in file order
    std::map<std::string, std::size_t> index; // folded path -> position in `keys`
};

enum class TRegRoot { ClassesRoot, CurrentUser, LocalMachine };

class TRegistryKey {
public:
    // Null when the key does not exist. With `write`, raises TRegistryError when the
    // hive cannot be written.
    static std::unique_ptr<TRegistryKey> Open(TRegRoot root, std::string_view path,
                                              bool write = false);
    // Opens the key for writing, creating it and its parents when missing.
    static std::unique_ptr<TRegistryKey> Create(TRegRoot root, std::string_view path);
    // Removes the key and its subkeys; false when it did not exist.
    static bool DeleteKey(TRegRoot root, std::string_view path);
    // True when the hive holding that root may be written by this process.
    static bool CanWrite(TRegRoot root);
    static std::string HiveFileName(TRegRoot root);

    std::unique_ptr<TRegistryKey> OpenSubKey(std::string_view name, bool write = false) const;
    std::unique_ptr<TRegistryKey> CreateSubKey(std::string_view name) const;

    // Reads see the hive as it is on disk now. Empty `name` is the default value.
    bool ValueExists(std::string_view name) const;
    std::optional<TRegValue> ReadValue(std::string_view name) const;
    // Null when missing; TRegistryError when the value has another type.
    std::optional<std::string> ReadString(std::string_view name) const;
    std::optional<std::int64_t> ReadInteger(std::string_view name) const;
    std::optional<bool> ReadBool(std::string_view name) const;
    std::vector<std::string> SubKeyNames() const;
    std::vector<std::string> ValueNames() const;

    // Writes raise TRegistryError unless the key was opened for writing.
    void WriteValue(TRegValue value);
    void WriteString(std::string_view name, std::string_view text);
    void WriteInteger(std::string_view name, std::uint32_t number);
    void WriteBool(std::string_view name, bool flag);
    bool DeleteValue(std::string_view name);

    const std::string& Path() const { return path; }

private:
    TRegistryKey(TRegRoot root, std::string path, bool writable)
        : root(root), path(std::move(path)), writable(writable) {}
    TRegRoot root;    // CurrentUser or LocalMachine
    std::string path; // below the hive's root
    bool writable;
};

} // namespace platform
