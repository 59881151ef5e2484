#include "decimal.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <system_error>

std::optional<double> decimal_number(std::string_view text) {
    // Sign, digits with at most one point, and a decimal exponent: nothing else.
    std::size_t i = 0;
    auto digit = [&](std::size_t at) {
        return at < text.size() && text[at] >= '0' && text[at] <= '9';
    };
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const std::size_t first = i;
    std::size_t digits = 0;
    bool nonzero = false;
    for (bool point = false; digit(i) || (!point && i < text.size() && text[i] == '.'); ++i) {
        if (text[i] == '.') {
            point = true;
        } else {
            ++digits;
            nonzero = nonzero || text[i] != '0';
        }
    }
    if (digits == 0) return {};
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        if (!digit(i)) return {};
        while (digit(i)) ++i;
    }
    if (i != text.size()) return {};
    double v = 0;
    const auto [end, error] = std::from_chars(text.data() + first, text.data() + text.size(), v);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(v)) return {};
    if (v == 0 && nonzero) return {};  // an underflow
    return first > 0 && text[0] == '-' ? -v : v;
}

std::string decimal_text(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.10g", v);
    return text;
}

std::string fixed(double value, int decimals, bool sign) {
    char text[64];
    std::snprintf(text, sizeof text, sign ? "%+.*f" : "%.*f", decimals, value);
    if (text[0] == '-' && std::strspn(text + 1, "0.") == std::strlen(text + 1)) {
        if (sign) {
            text[0] = '+';
        } else {
            std::memmove(text, text + 1, std::strlen(text));
        }
    }
    return text;
}
