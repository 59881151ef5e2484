#include "sequence.h"

#include <re2/re2.h>
#include <toml++/toml.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "base/toml_check.h"
#include "json_pointer.h"

namespace {

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
                           "stop_on_fail", "expect_status", "lock", "lock_timeout_s", "measure"}) ||
        !check.text(t, "name", path, s.name, true) || !check.text(t, "lock", path, s.lock, false)) {
        return false;
    }
    if (t.contains("lock") && !plain_name(s.lock)) {
        return check.fail(t.get("lock")->source(), path + "lock",
                          "letters, digits, '-', '_' and '.' only");
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
    if (t.contains("lock_timeout_s")) {
        double seconds = 0;
        if (!check.seconds(t, "lock_timeout_s", path, seconds, false)) return false;
        if (!t.contains("lock")) {
            return check.fail(t.get("lock_timeout_s")->source(), path + "lock_timeout_s",
                              "goes with lock");
        }
        s.lock_timeout_s = seconds;
    }
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

}  // namespace

bool load_sequence(const std::string& path, Sequence& sequence, std::string& error) {
    Sequence s;
    s.path = path;
    toml::table root;
    if (!read_toml(path, root, s.sha256, error)) return false;
    Checker check(path);
    bool ok = check.known_keys(root, "", {"name", "version", "step"}) &&
              check.text(root, "name", "", s.name, true) &&
              check.text(root, "version", "", s.version, true);
    const toml::array* steps = ok ? check.tables(root, "step") : nullptr;
    ok = steps != nullptr;
    std::set<std::string> names;
    for (std::size_t i = 0; ok && i < steps->size(); ++i) {
        const toml::table& table = *(*steps)[i].as_table();
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
