#pragma once
// Text conversions of field values.
#include <cstdint>
#include <string>
#include <string_view>

namespace packets {

// Lenient UTF-16 <-> 8-bit text: malformed units or bytes become U+FFFD, never fail.
std::string Utf16ToText(std::u16string_view text);
std::u16string TextToUtf16(std::string_view text);
// The text with every malformed UTF-8 byte replaced by U+FFFD; a line break is never
// part of a malformed sequence, so the damage stays within its line.
std::string ValidUtf8(std::string_view text);

// General floating-point text with 4 significant digits ("45658.5" -> "4.566E4").
std::string FormatGeneral4(double value);
// Date and time of a day count since 1899-12-30: "2026-12-10 04:43:14" (date only at midnight).
std::string FormatDateTime(double value);
// The current local date and time as a day count since 1899-12-30.
double LocalDateTimeNow();

// Signed 32-bit decimal; raises core::EConvertError "'%s' is not a valid integer value".
std::int32_t ParseInt32(std::string_view text);
// Raises core::EConvertError "'%s' is not a valid floating point value".
double ParseFloat(std::string_view text);
// Nearest integer, ties to even; NaN and values beyond 64 bits raise EConvertError.
std::int64_t RoundHalfEven(double value);

} // namespace packets
