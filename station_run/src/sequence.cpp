#include "sequence.h"

#include <openssl/evp.h>
#include <re2/re2.h>
#include <toml++/toml.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "files.h"
#include "hex.h"
#include "measure.h"

namespace {

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

// Step names become file names in the run folder.
bool plain_name(const std::string& name) {
    return !name.empty() && name.size() <= 64 && name != "." && name != ".." &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ||
                      c == '.';
           });
}

bool read_limits(Checker& check, const toml::table& t, const std::string& path, Limits& l) {
    if (!check.number(t, "low", path, l.low) || !check.number(t, "high", path, l.high) ||
        !check.number(t, "marginal_low", path, l.marginal_low) ||
        !check.number(t, "marginal_high", path, l.marginal_high)) {
        return false;
    }
    auto where = [&t](const char* key) { return t.get(key)->source(); };
    if (l.low && l.high && *l.low > *l.high) {
        return check.fail(where("low"), path + "low", "is above high");
    }
    for (const auto& [key, value] :
         {std::pair{"marginal_low", l.marginal_low}, std::pair{"marginal_high", l.marginal_high}}) {
        if (!value) continue;
        if ((l.low && *value < *l.low) || (l.high && *value > *l.high)) {
            return check.fail(where(key), path + key, "lies outside the limits");
        }
    }
    if (l.marginal_low && l.marginal_high && *l.marginal_low > *l.marginal_high) {
        return check.fail(where("marginal_low"), path + "marginal_low", "is above marginal_high");
    }
    return true;
}

bool read_measure(Checker& check, const toml::table& t, const std::string& path, Measure& m) {
    if (!check.known_keys(
            t, path,
            {"name", "stdout", "json", "units", "low", "high", "marginal_low", "marginal_high"}) ||
        !check.text(t, "name", path, m.name, true) ||
        !check.text(t, "stdout", path, m.stdout_pattern, false) ||
        !check.text(t, "json", path, m.json_pointer, false) ||
        !check.text(t, "units", path, m.units, false)) {
        return false;
    }
    if (!plain_name(m.name)) {
        return check.fail(t.get("name")->source(), path + "name",
                          "letters, digits, '-', '_' and '.' only");
    }
    if (m.name == "exit_status") {
        return check.fail(t.get("name")->source(), path + "name", "is every step's own");
    }
    const bool by_pattern = t.contains("stdout"), by_pointer = t.contains("json");
    if (by_pattern == by_pointer) {
        return check.fail(t.source(), path + "stdout", "give either stdout or json");
    }
    if (by_pattern) {
        RE2::Options options;
        options.set_log_errors(false);
        const RE2 pattern(m.stdout_pattern, options);
        if (!pattern.ok()) {
            return check.fail(t.get("stdout")->source(), path + "stdout",
                              "does not parse: " + pattern.error());
        }
        if (pattern.NumberOfCapturingGroups() < 1) {
            return check.fail(t.get("stdout")->source(), path + "stdout",
                              "needs a group that holds the number");
        }
    } else if (!valid_json_pointer(m.json_pointer)) {
        return check.fail(t.get("json")->source(), path + "json",
                          "is no JSON pointer: it must be empty or begin with '/', and '~' "
                          "must be followed by 0 or 1");
    }
    return read_limits(check, t, path, m.limits);
}

bool read_step(Checker& check, const toml::table& t, const std::string& path, Step& s) {
    if (!check.known_keys(t, path,
                          {"name", "run", "timeout_s", "grace_s", "retries", "requires",
                           "stop_on_fail", "expect_status", "measure"}) ||
        !check.text(t, "name", path, s.name, true)) {
        return false;
    }
    if (!plain_name(s.name)) {
        return check.fail(t.get("name")->source(), path + "name",
                          "letters, digits, '-', '_' and '.' only");
    }
    const toml::node* run = t.get("run");
    if (run == nullptr) return check.fail(t.source(), path + "run", "missing");
    const toml::array* args = run->as_array();
    if (args == nullptr || args->empty()) {
        return check.fail(run->source(), path + "run",
                          "must be a list of the program and its arguments");
    }
    for (const toml::node& arg : *args) {
        if (!arg.is_string())
            return check.fail(arg.source(), path + "run", "must hold strings only");
        s.run.push_back(*arg.value<std::string>());
    }
    if (s.run[0].empty()) return check.fail(run->source(), path + "run", "names no program");
    if (!check.seconds(t, "timeout_s", path, s.timeout_s, false) ||
        !check.seconds(t, "grace_s", path, s.grace_s, true) ||
        !check.whole(t, "retries", path, s.retries, 0, 100) ||
        !check.flag(t, "stop_on_fail", path, s.stop_on_fail) ||
        !check.whole(t, "expect_status", path, s.expect_status, 0, 255)) {
        return false;
    }
    if (const toml::node* requires_node = t.get("requires")) {
        const toml::array* list = requires_node->as_array();
        if (list == nullptr) {
            return check.fail(requires_node->source(), path + "requires", "must be a list");
        }
        for (const toml::node& item : *list) {
            if (item.value<std::string>() != std::optional<std::string>("image")) {
                return check.fail(item.source(), path + "requires", "knows only \"image\"");
            }
            s.requires_image = true;
        }
    }
    if (const toml::node* measures = t.get("measure")) {
        const toml::array* list = measures->as_array();
        if (list == nullptr) {
            return check.fail(measures->source(), path + "measure",
                              "must be [[step.measure]] tables");
        }
        std::set<std::string> names;
        for (std::size_t i = 0; i < list->size(); ++i) {
            const toml::table* table = (*list)[i].as_table();
            const std::string at = path + "measure[" + std::to_string(i + 1) + "].";
            if (table == nullptr) return check.fail((*list)[i].source(), at, "must be a table");
            Measure m;
            if (!read_measure(check, *table, at, m)) return false;
            if (!names.insert(m.name).second) {
                return check.fail(table->get("name")->source(), at + "name", "twice in the step");
            }
            s.measures.push_back(std::move(m));
        }
    }
    return true;
}

// The SHA-256 of the bytes in hex.
std::string sha256_of(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        return "";
    return hex_of(digest, length);
}

}  // namespace

bool load_sequence(const std::string& path, Sequence& sequence, std::string& error) {
    std::string text;
    if (!read_whole_file(path, text)) {
        error = path + ": cannot be read";
        return false;
    }
    toml::table root;
    try {
        root = toml::parse(text, path);
    } catch (const toml::parse_error& e) {
        error = path + ":" + std::to_string(e.source().begin.line) +
                ": syntax: " + std::string(e.description());
        return false;
    }
    Checker check(path);
    Sequence s;
    s.path = path;
    s.sha256 = sha256_of(text);  // of the bytes parsed, which a pipe gives once
    bool ok = check.known_keys(root, "", {"name", "version", "step"}) &&
              check.text(root, "name", "", s.name, true) &&
              check.text(root, "version", "", s.version, true);
    const toml::node* steps = root.get("step");
    if (ok && (steps == nullptr || !steps->is_array_of_tables() || steps->as_array()->empty())) {
        ok = check.fail(steps ? steps->source() : root.source(), "step",
                        "needs one [[step]] table or more");
    }
    std::set<std::string> names;
    for (std::size_t i = 0; ok && i < steps->as_array()->size(); ++i) {
        const toml::table& table = *(*steps->as_array())[i].as_table();
        Step step;
        ok = read_step(check, table, "step[" + std::to_string(i + 1) + "].", step);
        if (ok && !names.insert(step.name).second) {
            ok = check.fail(table.get("name")->source(), "step[" + std::to_string(i + 1) + "].name",
                            "\"" + step.name + "\" names an earlier step too");
        }
        if (ok) s.steps.push_back(std::move(step));
    }
    if (!ok) {
        error = check.error();
        return false;
    }
    sequence = std::move(s);
    return true;
}
