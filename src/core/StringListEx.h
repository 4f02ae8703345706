#pragma once
// The program's string list: option lists, text lines, name=value collections and
// the whitespace splitter. Items are 8-bit strings with an optional object reference.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace core {

enum class TDuplicates { dupIgnore, dupAccept, dupError };

struct TStringListOptions {
    bool CaseSensitive = false;
    bool Sorted = false;
    TDuplicates Duplicates = TDuplicates::dupIgnore;
    bool QuoteAware = false; // whitespace split: \" does not end a quoted run
};

// ASCII case rules shared by lists and option names.
int CompareText(std::string_view a, std::string_view b);
bool SameText(std::string_view a, std::string_view b);

class TStringListEx {
public:
    TStringListEx() = default;
    explicit TStringListEx(TStringListOptions options) : options(options) {}

    const TStringListOptions& Options() const { return options; }

    int Count() const { return static_cast<int>(texts.size()); }
    bool Empty() const { return texts.empty(); }
    void Clear() {
        texts.clear();
        objects.clear();
    }
    void SetCapacity(int capacity);

    // Sorted lists insert at the sorted position and apply the duplicates rule.
    int Add(std::string text, void* object = nullptr);
    void Insert(int index, std::string text, void* object = nullptr);
    void Delete(int index);
    void Exchange(int a, int b);

    const std::string& Get(int index) const;
    const std::string& operator[](int index) const { return Get(index); }
    void Put(int index, std::string text);
    void* Object(int index) const;
    void PutObject(int index, void* object);

    int IndexOf(std::string_view text) const;
    int Remove(std::string_view text);
    int RemoveName(std::string_view name);

    // Every item followed by CR LF / split at CR LF, LF or CR.
    std::string Text() const;
    void SetText(std::string_view text);

    // name=value access; names compare ignoring case.
    static std::string_view NameOf(std::string_view item);
    static std::string_view ValueOf(std::string_view item);
    int IndexOfName(std::string_view name) const;
    std::string Value(std::string_view name) const;
    void SetValue(std::string_view name, std::string_view value);

    const std::string& Last() const;
    void DeleteFirst();
    void ReplaceLast(std::string text);

    // Items [first, last] joined; last = -1 means to the end.
    std::string Join(char separator, bool quote = false, int first = 0, int last = -1) const;
    void AddPrefixSuffix(std::string_view prefix, std::string_view suffix);

    bool Equals(const TStringListEx& other) const;

    // Replaces the list with the arguments of the text: blank, tab, CR and LF end an
    // argument; a double quote runs to the next one (or the end) and is kept.
    void SplitWhitespace(std::string_view text);

    // Reads at most `maxLength` bytes of a file. With `convert`, a UTF-16LE text
    // (FF FE) is converted to 8-bit and a UTF-8 mark (EF BB BF) dropped.
    static std::string ReadFileAsText(std::string_view fileName, std::size_t maxLength,
                                      bool convert);

    const std::vector<std::string>& Strings() const { return texts; }

private:
    int Compare(std::string_view a, std::string_view b) const;
    // Position where `text` is or would be inserted; true when found.
    bool Find(std::string_view text, int& index) const;
    void CheckIndex(int index, int limit) const;

    TStringListOptions options;
    std::vector<std::string> texts; // parallel to `objects`
    std::vector<void*> objects;
};

} // namespace core
