#include "proxy/OptionList.h"

namespace build {

int FindBareOption(const core::TStringListEx& options, std::string_view name) {
    for (int i = 0; i < options.Count(); ++i) {
        if (core::SameText(options[i], name)) {
            return i;
        }
    }
    return -1;
}

int FindValueOption(const core::TStringListEx& options, std::string_view name) {
    for (int i = 0; i < options.Count(); ++i) {
        const std::string& entry = options[i];
        const std::size_t eq = entry.find('=');
        if (eq != std::string::npos &&
            core::SameText(std::string_view(entry).substr(0, eq), name)) {
            return i;
        }
    }
    return -1;
}

bool ConsumeBareOption(core::TStringListEx& options, std::string_view name) {
    const int index = FindBareOption(options, name);
    if (index < 0) {
        return false;
    }
    options.Delete(index);
    return true;
}

std::optional<std::string> ConsumeValueOption(core::TStringListEx& options, std::string_view name) {
    const int index = FindValueOption(options, name);
    if (index < 0) {
        return std::nullopt;
    }
    std::string value(core::TStringListEx::ValueOf(options[index]));
    options.Delete(index);
    return value;
}

std::string JoinLeftoverOptions(const core::TStringListEx& options) {
    std::string result;
    for (int i = 0; i < options.Count(); ++i) {
        const std::string& entry = options[i];
        if (i > 0) {
            result += ',';
        }
        if (entry.empty()) {
            // A bare "/" (or "-") leaves an entry without a name: show it as typed.
            result += '/';
            continue;
        }
        bool quote = false;
        for (const char c : entry) {
            if (static_cast<unsigned char>(c) <= ' ' || c == '"' || c == ',' || c == 0x7F) {
                quote = true;
                break;
            }
        }
        if (!quote) {
            result += entry;
            continue;
        }
        result += '"';
        for (const char c : entry) {
            result += c;
            if (c == '"') {
                result += '"';
            }
        }
        result += '"';
    }
    return result;
}

} // namespace build
