#include "cursor.h"

#include <openssl/evp.h>

#include "hex.h"

namespace {

constexpr std::size_t kKeyDigits = 16;
constexpr std::size_t kMostRuns = 64;  // twice the runs followed, for room
constexpr std::size_t kMostText = kMostRuns * (kKeyDigits + 1 + 20 + 1);

bool key_like(const std::string& text) {
    return text.size() == kKeyDigits &&
           text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

std::string record_key(const std::string& folder, const std::string& first_line) {
    const std::string both = folder + '\n' + first_line;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(both.data(), both.size(), digest, &length, EVP_sha256(), nullptr);
    return hex_of(digest, kKeyDigits / 2);
}

std::string cursor_text(const Cursor& cursor) {
    std::string out;
    for (const auto& [key, lines] : cursor) {
        if (lines == 0) continue;
        if (!out.empty()) out += ';';
        out += key + ':' + std::to_string(lines);
    }
    return out;
}

Cursor cursor_from(const std::string& text) {
    Cursor cursor;
    if (text.size() > kMostText) return cursor;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(';', at);
        if (end == std::string::npos) end = text.size();
        const std::string part = text.substr(at, end - at);
        const std::size_t colon = part.find(':');
        const std::string key = part.substr(0, colon), lines = part.substr(colon + 1);
        if (colon != std::string::npos && key_like(key) && !lines.empty() && lines.size() <= 18 &&
            lines.find_first_not_of("0123456789") == std::string::npos) {
            cursor[key] = std::stoull(lines);
        }
        at = end + 1;
    }
    return cursor;
}
