#include "core/StringListEx.h"

#include "core/Errors.h"
#include "core/TextHelpers.h"
#include "platform/AsciiCase.h"
#include "platform/Files.h"
#include "platform/Text.h"

#include <algorithm>

namespace core {

using platform::LowerAscii;

int CompareText(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(LowerAscii(a[i]));
        const auto cb = static_cast<unsigned char>(LowerAscii(b[i]));
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CompareText(a, b) == 0;
}

int TStringListEx::Compare(std::string_view a, std::string_view b) const {
    return options.CaseSensitive ? a.compare(b) : CompareText(a, b);
}

void TStringListEx::CheckIndex(int index, int limit) const {
    if (index < 0 || index >= limit) {
        core::Raise(ERangeError("List index out of bounds (" + std::to_string(index) + ")"));
    }
}

void TStringListEx::SetCapacity(int capacity) {
    if (capacity > 0) {
        texts.reserve(static_cast<std::size_t>(capacity));
        objects.reserve(static_cast<std::size_t>(capacity));
    }
}

bool TStringListEx::Find(std::string_view text, int& index) const {
    int low = 0;
    int high = Count() - 1;
    bool found = false;
    while (low <= high) {
        const int mid = low + (high - low) / 2;
        const int c = Compare(texts[static_cast<std::size_t>(mid)], text);
        if (c < 0) {
            low = mid + 1;
        } else {
            high = mid - 1;
            if (c == 0) {
                found = true;
                // Keep going left to the first equal item, unless equal items are welcome.
                if (options.Duplicates != TDuplicates::dupAccept) {
                    low = mid;
                }
            }
        }
    }
    index = low;
    return found;
}

int TStringListEx::Add(std::string text, void* object) {
    int index = Count();
    if (options.Sorted) {
        if (Find(text, index)) {
            if (options.Duplicates == TDuplicates::dupIgnore) {
                return index;
            }
            if (options.Duplicates == TDuplicates::dupError) {
                core::Raise(EGeneralError("String list does not allow duplicates"));
            }
        }
    }
    texts.insert(texts.begin() + index, std::move(text));
    objects.insert(objects.begin() + index, object);
    return index;
}

void TStringListEx::Insert(int index, std::string text, void* object) {
    if (options.Sorted) {
        core::Raise(EGeneralError("Operation not allowed on sorted string list"));
    }
    CheckIndex(index, Count() + 1);
    texts.insert(texts.begin() + index, std::move(text));
    objects.insert(objects.begin() + index, object);
}

void TStringListEx::Delete(int index) {
    CheckIndex(index, Count());
    texts.erase(texts.begin() + index);
    objects.erase(objects.begin() + index);
}

void TStringListEx::Exchange(int a, int b) {
    CheckIndex(a, Count());
    CheckIndex(b, Count());
    std::swap(texts[static_cast<std::size_t>(a)], texts[static_cast<std::size_t>(b)]);
    std::swap(objects[static_cast<std::size_t>(a)], objects[static_cast<std::size_t>(b)]);
}

const std::string& TStringListEx::Get(int index) const {
    CheckIndex(index, Count());
    return texts[static_cast<std::size_t>(index)];
}

void TStringListEx::Put(int index, std::string text) {
    CheckIndex(index, Count());
    if (options.Sorted) {
        void* object = objects[static_cast<std::size_t>(index)];
        Delete(index);
        Add(std::move(text), object);
        return;
    }
    texts[static_cast<std::size_t>(index)] = std::move(text);
}

void* TStringListEx::Object(int index) const {
    CheckIndex(index, Count());
    return objects[static_cast<std::size_t>(index)];
}

void TStringListEx::PutObject(int index, void* object) {
    CheckIndex(index, Count());
    objects[static_cast<std::size_t>(index)] = object;
}

int TStringListEx::IndexOf(std::string_view text) const {
    if (options.Sorted) {
        int index;
        return Find(text, index) ? index : -1;
    }
    for (int i = 0; i < Count(); ++i) {
        if (Compare(texts[static_cast<std::size_t>(i)], text) == 0) {
            return i;
        }
    }
    return -1;
}

int TStringListEx::Remove(std::string_view text) {
    const int index = IndexOf(text);
    if (index >= 0) {
        Delete(index);
    }
    return index;
}

int TStringListEx::RemoveName(std::string_view name) {
    const int index = IndexOfName(name);
    if (index >= 0) {
        Delete(index);
    }
    return index;
}

std::string TStringListEx::Text() const {
    std::size_t size = 0;
    for (const std::string& text : texts) {
        size += text.size() + 2;
    }
    std::string result;
    result.reserve(size);
    for (const std::string& text : texts) {
        result += text;
        result += "\r\n";
    }
    return result;
}

void TStringListEx::SetText(std::string_view text) {
    Clear();
    for (const std::string_view line : SplitLines(text)) {
        Add(std::string(line));
    }
}

std::string_view TStringListEx::NameOf(std::string_view item) {
    return item.substr(0, item.find('='));
}

std::string_view TStringListEx::ValueOf(std::string_view item) {
    const std::size_t eq = item.find('=');
    return eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1);
}

int TStringListEx::IndexOfName(std::string_view name) const {
    for (int i = 0; i < Count(); ++i) {
        const std::string& item = texts[static_cast<std::size_t>(i)];
        if (item.find('=') != std::string::npos && SameText(NameOf(item), name)) {
            return i;
        }
    }
    return -1;
}

std::string TStringListEx::Value(std::string_view name) const {
    const int index = IndexOfName(name);
    return index < 0 ? std::string() : std::string(ValueOf(texts[static_cast<std::size_t>(index)]));
}

void TStringListEx::SetValue(std::string_view name, std::string_view value) {
    const int index = IndexOfName(name);
    if (value.empty()) {
        if (index >= 0) {
            Delete(index);
        }
        return;
    }
    std::string item = std::string(name) + "=" + std::string(value);
    if (index >= 0) {
        Put(index, std::move(item));
    } else {
        Add(std::move(item));
    }
}

const std::string& TStringListEx::Last() const {
    return Get(Count() - 1);
}

void TStringListEx::DeleteFirst() {
    Delete(0);
}

void TStringListEx::ReplaceLast(std::string text) {
    Put(Count() - 1, std::move(text));
}

std::string TStringListEx::Join(char separator, bool quote, int first, int last) const {
    if (last < 0) {
        last = Count() - 1;
    }
    std::string result;
    for (int i = std::max(first, 0); i <= last && i < Count(); ++i) {
        if (i > std::max(first, 0)) {
            result += separator;
        }
        if (quote) {
            result += '"';
        }
        result += texts[static_cast<std::size_t>(i)];
        if (quote) {
            result += '"';
        }
    }
    return result;
}

void TStringListEx::AddPrefixSuffix(std::string_view prefix, std::string_view suffix) {
    for (std::string& text : texts) {
        text = std::string(prefix) + text + std::string(suffix);
    }
}

bool TStringListEx::Equals(const TStringListEx& other) const {
    return texts == other.texts && objects == other.objects;
}

void TStringListEx::SplitWhitespace(std::string_view text) {
    Clear();
    std::string current;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!current.empty()) {
                Add(std::move(current));
                current.clear();
            }
            ++i;
        } else if (c == '"') {
            current += c;
            ++i;
            while (i < text.size()) {
                const char q = text[i];
                if (options.QuoteAware && q == '\\' && i + 1 < text.size()) {
                    // \" stays inside the run; \\ is a pair and does not escape what follows.
                    current += q;
                    current += text[i + 1];
                    i += 2;
                    continue;
                }
                current += q;
                ++i;
                if (q == '"') {
                    break;
                }
            }
        } else {
            current += c;
            ++i;
        }
    }
    if (!current.empty()) {
        Add(std::move(current));
    }
}

std::string TStringListEx::ReadFileAsText(std::string_view fileName, std::size_t maxLength,
                                          bool convert) {
    std::string data;
    std::string error;
    const platform::TFileReadResult result =
        platform::ReadWholeFile(fileName, data, maxLength, &error);
    if (result == platform::TFileReadResult::OpenFailed) {
        try {
            core::Raise(EOSError(error, 0));
        } catch (...) {
            RethrowWrapped("Failed to read file.");
        }
    }
    try {
        if (result != platform::TFileReadResult::Ok) {
            core::Raise(EOSError(error, 0));
        }
        if (!convert) {
            return data;
        }
        if (data.size() >= 2 && static_cast<unsigned char>(data[0]) == 0xFF &&
            static_cast<unsigned char>(data[1]) == 0xFE) {
            std::u16string wide;
            for (std::size_t i = 2; i + 1 < data.size(); i += 2) {
                wide.push_back(
                    static_cast<char16_t>(static_cast<unsigned char>(data[i]) |
                                          (static_cast<unsigned char>(data[i + 1]) << 8)));
            }
            std::string narrow;
            if (!platform::Utf16ToUtf8(wide, narrow)) {
                core::Raise(
                    EGeneralError("No mapping for the Unicode character exists in the target "
                                  "multi-byte code page."));
            }
            return narrow;
        }
        if (data.size() >= 3 && data.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            // The 8-bit code page is UTF-8 itself: dropping the mark is the whole conversion.
            return data.substr(3);
        }
        return data;
    } catch (...) {
        RethrowWrapped("Failed to read file: " + std::string(fileName));
    }
}

} // namespace core
