#include "toml_check.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>

#include "files.h"
#include "hex.h"

bool plain_name(const std::string& name) {
    return !name.empty() && name.size() <= 64 && name != "." && name != ".." &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ||
                      c == '.';
           });
}

namespace {

std::string sha256_of(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        return "";
    return hex_of(digest, length);
}

}  // namespace

bool read_toml(const std::string& path, toml::table& root, std::string& sha256,
               std::string& error) {
    std::string text;
    if (!read_whole_file(path, text)) {
        error = path + ": cannot be read";
        return false;
    }
    sha256 = sha256_of(text);
    try {
        root = toml::parse(text, path);
    } catch (const toml::parse_error& e) {
        error = path + ":" + std::to_string(e.source().begin.line) +
                ": syntax: " + std::string(e.description());
        return false;
    }
    return true;
}
