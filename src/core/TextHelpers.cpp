#include "core/TextHelpers.h"

#include "platform/AsciiCase.h"

#include <algorithm>
#include <charconv>

namespace core {

bool TryParseInt32(std::string_view text, int& value) {
    if (text.starts_with('+')) {
        text.remove_prefix(1);
        if (text.starts_with('-') || text.starts_with('+')) {
            return false;
        }
    }
    if (text.empty()) {
        return false;
    }
    int result = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), result);
    if (error != std::errc() || end != text.data() + text.size()) {
        return false;
    }
    value = result;
    return true;
}

std::string_view TrimText(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') {
        text.remove_prefix(1);
    }
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') {
        text.remove_suffix(1);
    }
    return text;
}

std::string LowerCaseAscii(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), platform::LowerAscii);
    return result;
}

std::string UpperCaseAscii(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), platform::UpperAscii);
    return result;
}

std::string ReplaceText(std::string_view text, std::string_view from, std::string_view to) {
    if (from.empty()) {
        return std::string(text);
    }
    std::string result;
    result.reserve(text.size());
    for (std::size_t pos = 0;;) {
        const std::size_t hit = text.find(from, pos);
        result.append(
            text.substr(pos, hit == std::string_view::npos ? std::string_view::npos : hit - pos));
        if (hit == std::string_view::npos) {
            return result;
        }
        result.append(to);
        pos = hit + from.size();
    }
}

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n') {
            ++start;
        }
    }
    return lines;
}

std::string_view UnquoteText(std::string_view text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        return text.substr(1, text.size() - 2);
    }
    return text;
}

} // namespace core
