#include "packets/TextUtil.h"

#include "core/Errors.h"
#include "platform/Clock.h"
#include "platform/Text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace packets {

std::string Utf16ToText(std::u16string_view text) {
    std::string out;
    if (platform::Utf16ToUtf8(text, out))
        return out;
    out.clear();
    auto put = [&out](std::uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t u = text[i];
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            put(0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u < 0xE000) {
            put(0xFFFD);
        } else {
            put(u);
        }
    }
    return out;
}

std::u16string TextToUtf16(std::string_view text) {
    std::u16string out;
    if (platform::Utf8ToUtf16(text, out))
        return out;
    out.clear();
    // Valid sequences decode; every other byte becomes U+FFFD.
    std::size_t i = 0;
    while (i < text.size()) {
        auto b = static_cast<unsigned char>(text[i]);
        int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        std::string_view part = text.substr(i, static_cast<std::size_t>(len));
        std::u16string one;
        if (len > 0 && part.size() == static_cast<std::size_t>(len) &&
            platform::Utf8ToUtf16(part, one)) {
            out += one;
            i += static_cast<std::size_t>(len);
        } else {
            out += u'\uFFFD';
            ++i;
        }
    }
    return out;
}

std::string ValidUtf8(std::string_view text) {
    if (platform::IsValidUtf8(text)) {
        return std::string(text);
    }
    return Utf16ToText(TextToUtf16(text));
}

std::string FormatGeneral4(double value) {
    if (std::isnan(value))
        return "NAN";
    if (std::isinf(value))
        return value < 0 ? "-INF" : "INF";
    if (value == 0)
        return "0";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3e", value); // d.dddeX: four significant digits
    std::string s(buf);
    auto e = s.find('e');
    std::string mantissa = s.substr(0, e);
    int exponent = std::atoi(s.c_str() + e + 1);
    bool negative = mantissa[0] == '-';
    std::string digits;
    for (char c : mantissa)
        if (c >= '0' && c <= '9')
            digits += c;
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    std::string text = negative ? "-" : "";
    if (exponent >= 4 || exponent < -5) {
        text += digits.substr(0, 1);
        if (digits.size() > 1)
            text += "." + digits.substr(1);
        text += "E" + std::to_string(exponent);
    } else if (exponent >= 0) {
        auto intDigits = static_cast<std::size_t>(exponent + 1);
        while (digits.size() < intDigits)
            digits += '0';
        text += digits.substr(0, intDigits);
        if (digits.size() > intDigits)
            text += "." + digits.substr(intDigits);
    } else {
        text += "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    }
    return text;
}

std::string FormatDateTime(double value) {
    if (!std::isfinite(value) || std::fabs(value) > 2958466.0) // beyond year 9999
        return FormatGeneral4(value);
    double dayPart = std::trunc(value);
    double timePart = std::fabs(value - dayPart);
    auto days = static_cast<std::int64_t>(dayPart);
    auto ms = static_cast<std::int64_t>(std::llround(timePart * 86400000.0));
    if (ms >= 86400000)
        ms = 86399999;
    // Civil date from days since 1970-01-01 (1899-12-30 is day -25569).
    std::int64_t z = days - 25569 + 719468;
    std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    std::int64_t doe = z - era * 146097;
    std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    std::int64_t y = yoe + era * 400;
    std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    std::int64_t mp = (5 * doy + 2) / 153;
    std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
    std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2)
        ++y;
    char buf[160];
    std::int64_t secs = ms / 1000;
    if (secs == 0)
        std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld", static_cast<long long>(y),
                      static_cast<long long>(m), static_cast<long long>(d));
    else
        std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld",
                      static_cast<long long>(y), static_cast<long long>(m),
                      static_cast<long long>(d), static_cast<long long>(secs / 3600),
                      static_cast<long long>(secs / 60 % 60), static_cast<long long>(secs % 60));
    return buf;
}

std::int32_t ParseInt32(std::string_view text) {
    std::int32_t value = 0;
    std::string_view digits = text;
    if (!digits.empty() && digits.front() == '+')
        digits.remove_prefix(1);
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() ||
        (digits.size() > 1 && digits[0] == '-' && digits[1] == '+'))
        core::Raise(
            core::EConvertError("'" + std::string(text) + "' is not a valid integer value"));
    return value;
}

double ParseFloat(std::string_view text) {
    std::string copy(text);
    char* end = nullptr;
    double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || end != copy.c_str() + copy.size() || copy.front() == ' ')
        core::Raise(core::EConvertError("'" + copy + "' is not a valid floating point value"));
    return value;
}

std::int64_t RoundHalfEven(double value) {
    if (!(value > -9.2233720368547758e18 && value < 9.2233720368547758e18))
        core::Raise(core::EConvertError("Invalid floating point operation"));
    double r = std::round(value); // ties away from zero
    if (std::fabs(value - std::trunc(value)) == 0.5 && std::fmod(r, 2.0) != 0)
        r -= value > 0 ? 1 : -1;
    return static_cast<std::int64_t>(r);
}

double LocalDateTimeNow() {
    const platform::TLocalTime t = platform::LocalTimeNow();
    // Days from 1899-12-30 to the civil date (days-from-civil, shifted by 25569).
    const int y = t.Year - (t.Month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int mp = (t.Month + 9) % 12;
    const int doy = (153 * mp + 2) / 5 + t.Day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const double days = static_cast<double>(era) * 146097 + doe - 719468 + 25569;
    const double ms = ((t.Hour * 60.0 + t.Minute) * 60.0 + t.Second) * 1000.0 + t.Millisecond;
    return days + ms / 86400000.0;
}

} // namespace packets
