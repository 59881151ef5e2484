#include "control_gate.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <stdexcept>
#include <vector>

#include "hex.h"

namespace {

std::string random_hex(std::size_t bytes) {
    std::vector<unsigned char> raw(bytes);
    if (RAND_bytes(raw.data(), static_cast<int>(bytes)) != 1) {
        throw std::runtime_error("no random bytes for a secret");
    }
    return hex_of(raw.data(), raw.size());
}

// Compared in a time that does not tell how much of it was right.
bool same(const std::string& a, const std::string& b) {
    return !a.empty() && a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

ControlGate::ControlGate() : secret_(random_hex(32)) {}

std::string ControlGate::open(const std::string& secret) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (used_ || !same(secret, secret_)) return "";
    used_ = true;
    session_ = random_hex(32);
    token_ = random_hex(32);
    return session_;
}

std::string ControlGate::token_for(const std::string& cookie_header) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return same(cookie_value(cookie_header, kSessionCookie), session_) ? token_ : "";
}

bool ControlGate::allows(const std::string& cookie_header, const std::string& token) const {
    const std::string own = token_for(cookie_header);
    return same(token, own);
}

std::string cookie_value(const std::string& header, const std::string& name) {
    std::size_t at = 0;
    while (at < header.size()) {
        const std::size_t end = std::min(header.find(';', at), header.size());
        std::string pair = header.substr(at, end - at);
        const std::size_t first = pair.find_first_not_of(' ');
        pair = first == std::string::npos ? "" : pair.substr(first);
        const std::size_t eq = pair.find('=');
        if (eq != std::string::npos && pair.compare(0, eq, name) == 0 && eq == name.size()) {
            return pair.substr(eq + 1);
        }
        at = end + 1;
    }
    return "";
}
