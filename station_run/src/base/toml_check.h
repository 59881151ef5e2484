// Reading a TOML file the station is given: each fault reported with the
// file, line and key, the first one only.
#pragma once

#include <toml++/toml.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>

// Reports the first fault found, with the file, line and key.
class Checker {
public:
    explicit Checker(std::string file) : file_(std::move(file)) {}

    bool fail(const toml::source_region& where, const std::string& key, const std::string& what) {
        if (error_.empty()) {
            error_ = file_ + ":" + std::to_string(where.begin.line) + ": " + key + ": " + what;
        }
        return false;
    }
    const std::string& error() const { return error_; }

    // Every key of `table` is one of `allowed`.
    bool known_keys(const toml::table& table, const std::string& path,
                    std::initializer_list<const char*> allowed) {
        for (auto&& [key, node] : table) {
            const auto found = std::find_if(allowed.begin(), allowed.end(),
                                            [&](const char* a) { return key.str() == a; });
            if (found == allowed.end()) {
                return fail(key.source(), path + std::string(key.str()), "unknown key");
            }
        }
        return true;
    }

    bool text(const toml::table& t, const char* key, const std::string& path, std::string& out,
              bool required) {
        const toml::node* node = t.get(key);
        if (node == nullptr) return !required || fail(t.source(), path + key, "missing");
        if (!node->is_string()) return fail(node->source(), path + key, "must be a string");
        out = *node->value<std::string>();
        return true;
    }

    bool number(const toml::table& t, const char* key, const std::string& path,
                std::optional<double>& out) {
        const toml::node* node = t.get(key);
        if (node == nullptr) return true;
        if (!node->is_number()) return fail(node->source(), path + key, "must be a number");
        const double v = *node->value<double>();
        if (!std::isfinite(v)) return fail(node->source(), path + key, "must be finite");
        out = v;
        return true;
    }

    bool whole(const toml::table& t, const char* key, const std::string& path, int& out, int lo,
               int hi) {
        const toml::node* node = t.get(key);
        if (node == nullptr) return true;
        if (!node->is_integer()) return fail(node->source(), path + key, "must be a whole number");
        const std::int64_t v = *node->value<std::int64_t>();
        if (v < lo || v > hi) {
            return fail(node->source(), path + key,
                        "must be from " + std::to_string(lo) + " to " + std::to_string(hi));
        }
        out = static_cast<int>(v);
        return true;
    }

    bool seconds(const toml::table& t, const char* key, const std::string& path, double& out,
                 bool zero_allowed) {
        std::optional<double> v;
        if (!number(t, key, path, v)) return false;
        if (!v) return true;
        if (*v < 0 || (*v == 0 && !zero_allowed) || *v > 7 * 86400.0) {
            return fail(
                t.get(key)->source(), path + key,
                zero_allowed ? "must be from 0 to a week" : "must be above 0, a week at most");
        }
        out = *v;
        return true;
    }

    // The array of tables under `key` of the root, one table at least;
    // nullptr when it is missing, empty or no array of tables.
    const toml::array* tables(const toml::table& root, const char* key) {
        const toml::node* node = root.get(key);
        if (node == nullptr || !node->is_array_of_tables() || node->as_array()->empty()) {
            fail(node ? node->source() : root.source(), key,
                 std::string("needs one [[") + key + "]] table or more");
            return nullptr;
        }
        return node->as_array();
    }

    bool flag(const toml::table& t, const char* key, const std::string& path, bool& out) {
        const toml::node* node = t.get(key);
        if (node == nullptr) return true;
        if (!node->is_boolean()) return fail(node->source(), path + key, "must be true or false");
        out = *node->value<bool>();
        return true;
    }

private:
    std::string file_;
    std::string error_;
};

// A name that becomes a file name: letters, digits, '-', '_' and '.'.
bool plain_name(const std::string& name);

// Reads `path` once and parses it; `sha256` is of the bytes parsed, which
// a pipe gives only once. False with the reason, a syntax fault with its line.
bool read_toml(const std::string& path, toml::table& root, std::string& sha256, std::string& error);
