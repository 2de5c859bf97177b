#include "support/paradox/Encoding.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace wh::paradox::encoding {

bool IsZero(const std::uint8_t* p, int width)
{
    for (int i = 0; i < width; ++i) {
        if (p[i] != 0) {
            return false;
        }
    }
    return true;
}

std::optional<std::int64_t> DecodeInteger(const std::uint8_t* p, int width)
{
    if (IsZero(p, width)) {
        return std::nullopt;
    }
    std::uint64_t bits = 0;
    for (int i = 0; i < width; ++i) {
        bits = (bits << 8) | p[i];
    }
    const int totalBits = 8 * width;
    bits ^= std::uint64_t { 1 } << (totalBits - 1);
    // Sign-extend the two's-complement value of `width` bytes.
    const std::uint64_t signBit = std::uint64_t { 1 } << (totalBits - 1);
    std::int64_t value = static_cast<std::int64_t>(bits);
    if (bits & signBit) {
        value = static_cast<std::int64_t>(bits | ~((signBit << 1) - 1));
    }
    return value;
}

bool EncodeInteger(std::uint8_t* p, int width, std::int64_t value)
{
    const std::int64_t limit = (std::int64_t { 1 } << (8 * width - 1)) - 1;
    if (value > limit || value < -limit) {
        return false;
    }
    auto bits = static_cast<std::uint64_t>(value);
    for (int i = width - 1; i >= 0; --i) {
        p[i] = static_cast<std::uint8_t>(bits);
        bits >>= 8;
    }
    p[0] ^= 0x80;
    return true;
}

std::optional<double> DecodeDouble(const std::uint8_t* p)
{
    std::uint8_t b[8];
    std::memcpy(b, p, 8);
    if (b[0] & 0x80) {
        b[0] &= 0x7F;
    } else if (IsZero(b, 8)) {
        return std::nullopt;
    } else {
        for (auto& x : b) {
            x = static_cast<std::uint8_t>(~x);
        }
    }
    std::uint64_t bits = 0;
    for (auto x : b) {
        bits = (bits << 8) | x;
    }
    double value;
    std::memcpy(&value, &bits, 8);
    return value;
}

void EncodeDouble(std::uint8_t* p, double value)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, 8);
    for (int i = 7; i >= 0; --i) {
        p[i] = static_cast<std::uint8_t>(bits);
        bits >>= 8;
    }
    if (p[0] & 0x80) {
        for (int i = 0; i < 8; ++i) {
            p[i] = static_cast<std::uint8_t>(~p[i]);
        }
    } else {
        p[0] |= 0x80;
    }
}

std::optional<double> DecodeBcd(const std::uint8_t* p)
{
    if (p[0] == 0) {
        return std::nullopt;
    }
    const bool negative = (p[0] & 0x80) == 0;
    const int decimals = p[0] & 0x3F;
    double value = 0.0;
    for (int i = 1; i < 17; ++i) {
        const std::uint8_t b = negative ? static_cast<std::uint8_t>(~p[i]) : p[i];
        value = value * 10.0 + (b >> 4);
        value = value * 10.0 + (b & 0x0F);
    }
    value /= std::pow(10.0, decimals);
    return negative ? -value : value;
}

bool EncodeBcd(std::uint8_t* p, int decimals, double value)
{
    if (!std::isfinite(value) || decimals < 0 || decimals > 32) {
        return false;
    }
    char text[400];
    const int length = std::snprintf(text, sizeof text, "%.*f", decimals, std::fabs(value));
    if (length <= 0 || length >= static_cast<int>(sizeof text)) {
        return false;
    }
    std::string digits;
    for (int i = 0; i < length; ++i) {
        if (text[i] >= '0' && text[i] <= '9') {
            digits.push_back(text[i]);
        }
    }
    // Leading zeros do not count against the 32 digits.
    while (digits.size() > 32 && digits.front() == '0') {
        digits.erase(digits.begin());
    }
    if (digits.size() > 32) {
        return false;
    }
    digits.insert(digits.begin(), 32 - digits.size(), '0');
    const bool negative = value < 0 && digits.find_first_not_of('0') != std::string::npos;
    p[0] = static_cast<std::uint8_t>((negative ? 0x40 : 0xC0) | decimals);
    for (int i = 0; i < 16; ++i) {
        auto b = static_cast<std::uint8_t>(((digits[2 * i] - '0') << 4) | (digits[2 * i + 1] - '0'));
        p[1 + i] = negative ? static_cast<std::uint8_t>(~b) : b;
    }
    return true;
}

} // namespace wh::paradox::encoding
