// Bytes as lower-case hexadecimal, as digests are written in records and
// metadata.
#pragma once

#include <cstddef>
#include <string>

inline std::string hex_of(const unsigned char* bytes, std::size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * count);
    for (std::size_t i = 0; i < count; ++i) {
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 0x0f];
    }
    return hex;
}
