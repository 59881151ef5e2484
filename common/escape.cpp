#include "escape.h"

#include <cstdint>
#include <cstdio>

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The code point that starts at `at`, and its length; a length of 0 for a
// byte that starts no valid character (each such byte is replaced alone).
struct Decoded {
    char32_t code = 0;
    std::size_t length = 0;
};

Decoded decode(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char c = byte(at);
    if (c < 0x80) return {c, 1};
    std::size_t length;
    char32_t code;
    char32_t least;
    if (c >= 0xc2 && c <= 0xdf) {
        length = 2, code = c & 0x1f, least = 0x80;
    } else if (c >= 0xe0 && c <= 0xef) {
        length = 3, code = c & 0x0f, least = 0x800;
    } else if (c >= 0xf0 && c <= 0xf4) {
        length = 4, code = c & 0x07, least = 0x10000;
    } else {
        return {};
    }
    if (at + length > text.size()) return {};
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(at + k) & 0xc0) != 0x80) return {};
        code = (code << 6) | (byte(at + k) & 0x3f);
    }
    if (code < least || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return {};
    return {code, length};
}

bool markup_allows(char32_t c) {
    if (c == '\t' || c == '\n' || c == '\r') return true;
    if (c < 0x20 || (c >= 0x7f && c <= 0x9f)) return false;
    if (c >= 0xfdd0 && c <= 0xfdef) return false;
    return (c & 0xfffe) != 0xfffe;  // U+FFFE, U+FFFF and their kin in every plane
}

// Each valid character of `text` handed to `emit` (the output, its code
// point, its bytes); each byte that starts none becomes U+FFFD.
template <typename Emit>
std::string rewritten(std::string_view text, std::size_t room, Emit emit) {
    std::string out;
    out.reserve(room);
    for (std::size_t i = 0; i < text.size();) {
        const Decoded d = decode(text, i);
        if (d.length == 0) {
            out += kReplacement;
            ++i;
            continue;
        }
        emit(out, d.code, text.substr(i, d.length));
        i += d.length;
    }
    return out;
}

}  // namespace

std::string utf8_repaired(std::string_view text) {
    return rewritten(text, text.size(),
                     [](std::string& out, char32_t, std::string_view chars) { out += chars; });
}

std::string markup_escaped(std::string_view text) {
    return rewritten(text, text.size() + text.size() / 8,
                     [](std::string& out, char32_t c, std::string_view chars) {
                         switch (c) {
                             case '&':
                                 out += "&amp;";
                                 break;
                             case '<':
                                 out += "&lt;";
                                 break;
                             case '>':
                                 out += "&gt;";
                                 break;
                             case '"':
                                 out += "&quot;";
                                 break;
                             case '\'':
                                 out += "&#39;";
                                 break;
                             default:
                                 if (markup_allows(c)) {
                                     out += chars;
                                 } else {
                                     out += kReplacement;
                                 }
                         }
                     });
}

std::string terminal_safe(std::string_view text) {
    return rewritten(text, text.size(), [](std::string& out, char32_t c, std::string_view chars) {
        char escaped[16];
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7f) {
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned>(c));
            out += escaped;
        } else if (c >= 0x80 && c <= 0x9f) {
            std::snprintf(escaped, sizeof escaped, "\\u{%02x}", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += chars;
        }
    });
}
