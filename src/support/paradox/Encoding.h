#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The byte encodings of Paradox fields and headers. Record fields are big-endian with the sign
// bit flipped so that raw bytes compare in numeric order; an all-zero field is empty.
namespace wh::paradox::encoding {

inline std::uint16_t GetU16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t GetU32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8)
        | (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void PutU16(std::uint8_t* p, std::uint32_t value)
{
    p[0] = static_cast<std::uint8_t>(value);
    p[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void PutU32(std::uint8_t* p, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

bool IsZero(const std::uint8_t* p, int width);

// Integers of 2 or 4 bytes (S, I, +, D, T); empty for an all-zero field.
std::optional<std::int64_t> DecodeInteger(const std::uint8_t* p, int width);
// Fails (returns false) for values outside the field's range, including the one that would
// read as empty.
bool EncodeInteger(std::uint8_t* p, int width, std::int64_t value);

// Doubles (N, $, @).
std::optional<double> DecodeDouble(const std::uint8_t* p);
void EncodeDouble(std::uint8_t* p, double value);

// BCD (#): 17 bytes; decimals as given by the field. Non-decimal nibbles, which the original
// engine leaves in the low digits, count with their nibble value.
std::optional<double> DecodeBcd(const std::uint8_t* p);
bool EncodeBcd(std::uint8_t* p, int decimals, double value);

} // namespace wh::paradox::encoding
