#include "core/Guid.h"

#include "core/Errors.h"
#include "platform/Random.h"

#include <cstring>

namespace core {

std::string TGUID::ToString() const {
    static constexpr char digits[] = "0123456789ABCDEF";
    constexpr int textOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    std::string text;
    text.reserve(38);
    text += '{';
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        std::uint8_t b = Bytes[textOrder[i]];
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    text += '}';
    return text;
}

std::size_t TGUIDHash::operator()(const TGUID& g) const noexcept {
    std::uint64_t a, b;
    std::memcpy(&a, g.Bytes.data(), 8);
    std::memcpy(&b, g.Bytes.data() + 8, 8);
    return static_cast<std::size_t>(a * 0x9E3779B97F4A7C15ull ^ b);
}

TGUID NewGuid() {
    TGUID g;
    int code = 0;
    std::string text;
    if (!platform::RandomBytes(g.Bytes.data(), g.Bytes.size(), &code, &text))
        core::Raise(EOSError("Cannot create a GUID: " + text, code));
    // The version sits in the high nibble of the third group (byte 7 in memory
    // order), the variant in the top bits of byte 8.
    g.Bytes[7] = static_cast<std::uint8_t>((g.Bytes[7] & 0x0F) | 0x40);
    g.Bytes[8] = static_cast<std::uint8_t>((g.Bytes[8] & 0x3F) | 0x80);
    return g;
}

} // namespace core
