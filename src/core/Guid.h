#pragma once
// GUIDs: 16 bytes in Windows memory order (a little-endian 32-bit part, two
// little-endian 16-bit parts, then 8 bytes as they are), so the bytes can be
// copied to and from files and shared memory unchanged. The text form is the
// registry form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", written upper-case.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace core {

struct TGUID {
    std::array<std::uint8_t, 16> Bytes{};

    static constexpr TGUID FromParts(std::uint32_t d1, std::uint16_t d2, std::uint16_t d3,
                                     std::array<std::uint8_t, 8> d4) {
        TGUID g;
        for (int i = 0; i < 4; ++i)
            g.Bytes[i] = static_cast<std::uint8_t>(d1 >> (8 * i));
        for (int i = 0; i < 2; ++i) {
            g.Bytes[4 + i] = static_cast<std::uint8_t>(d2 >> (8 * i));
            g.Bytes[6 + i] = static_cast<std::uint8_t>(d3 >> (8 * i));
        }
        for (int i = 0; i < 8; ++i)
            g.Bytes[8 + i] = d4[i];
        return g;
    }

    // Parses the braced form; hexadecimal digits of either case. False for anything else.
    static constexpr bool TryParse(std::string_view text, TGUID& out) {
        if (text.size() != 38 || text.front() != '{' || text.back() != '}')
            return false;
        // Offsets of the hexadecimal pairs inside the text, in the order they are written.
        constexpr int pairs[16] = {1, 3, 5, 7, 10, 12, 15, 17, 20, 22, 25, 27, 29, 31, 33, 35};
        // Text order to memory order: the first three groups are little-endian numbers.
        constexpr int memoryIndex[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
        if (text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-')
            return false;
        TGUID g;
        for (int i = 0; i < 16; ++i) {
            int hi = HexValue(text[pairs[i]]);
            int lo = HexValue(text[pairs[i] + 1]);
            if (hi < 0 || lo < 0)
                return false;
            g.Bytes[memoryIndex[i]] = static_cast<std::uint8_t>(hi * 16 + lo);
        }
        out = g;
        return true;
    }

    // For constant tables: a malformed literal does not compile.
    static consteval TGUID Literal(std::string_view text) {
        TGUID g;
        if (!TryParse(text, g))
            throw "malformed GUID literal";
        return g;
    }

    std::uint32_t Data1() const {
        return Bytes[0] | (Bytes[1] << 8) | (Bytes[2] << 16) | (std::uint32_t{Bytes[3]} << 24);
    }
    bool IsNull() const { return *this == TGUID{}; }
    std::string ToString() const;

    friend constexpr bool operator==(const TGUID&, const TGUID&) = default;
    friend constexpr auto operator<=>(const TGUID&, const TGUID&) = default;

private:
    static constexpr int HexValue(char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }
};

inline constexpr TGUID NullGuid{};

// True for the braced registry form of a GUID.
constexpr bool IsBracedGuid(std::string_view text) {
    TGUID guid;
    return TGUID::TryParse(text, guid);
}

// A new random GUID (version 4, RFC 4122 variant) from the system's generator.
// Raises EOSError when the generator fails.
TGUID NewGuid();

// Hash for unordered containers.
struct TGUIDHash {
    std::size_t operator()(const TGUID& g) const noexcept;
};

} // namespace core
