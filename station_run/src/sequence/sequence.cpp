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

// An RE2 that parses.
bool valid_pattern(Checker& check, const toml::table& t, const char* key, const std::string& path,
                   const std::string& text) {
    RE2::Options options;
    options.set_log_errors(false);
    const RE2 pattern(text, options);
    return pattern.ok() ||
           check.fail(t.get(key)->source(), path + key, "does not parse: " + pattern.error());
}

// An operator's step: its question, and what its answer must be.
bool read_prompt(Checker& check, const toml::table& t, const std::string& path, Prompt& p) {
    for (const char* key : {"run", "grace_s", "measure", "expect_status"}) {
        if (t.contains(key)) {
            return check.fail(t.get(key)->source(), path + key,
                              "an operator's step (prompt) runs no program");
        }
    }
    std::string answer, expect;
    if (!check.text(t, "prompt", path, p.text, true) ||
        !check.text(t, "answer", path, answer, false) ||
        !check.text(t, "expect", path, expect, false) ||
        !check.text(t, "units", path, p.units, false) ||
        !check.text(t, "pattern", path, p.pattern, false)) {
        return false;
    }
    if (p.text.empty()) return check.fail(t.get("prompt")->source(), path + "prompt", "is empty");
    if (!t.contains("answer")) {
        p.kind = AnswerKind::confirm;
    } else if (answer == "yes-no") {
        p.kind = AnswerKind::yes_no;
    } else if (answer == "number") {
        p.kind = AnswerKind::number;
    } else if (answer == "text") {
        p.kind = AnswerKind::text;
    } else {
        return check.fail(t.get("answer")->source(), path + "answer",
                          "takes \"yes-no\", \"number\" or \"text\" (none: a confirmation)");
    }
    // Each key belongs to one kind of answer: one given to another is a slip.
    auto only_with = [&](std::initializer_list<const char*> keys, AnswerKind kind,
                         const char* kind_name) {
        for (const char* key : keys) {
            if (t.contains(key) && p.kind != kind) {
                return check.fail(t.get(key)->source(), path + key,
                                  std::string("goes with answer = \"") + kind_name + "\"");
            }
        }
        return true;
    };
    if (!only_with({"expect"}, AnswerKind::yes_no, "yes-no") ||
        !only_with({"units", "low", "high", "marginal_low", "marginal_high"}, AnswerKind::number,
                   "number") ||
        !only_with({"pattern"}, AnswerKind::text, "text")) {
        return false;
    }
    if (p.kind == AnswerKind::yes_no) {
        if (expect != "yes" && expect != "no") {
            return check.fail(t.contains("expect") ? t.get("expect")->source() : t.source(),
                              path + "expect", "takes \"yes\" or \"no\"");
        }
        p.expect_yes = expect == "yes";
    }
    if (p.kind == AnswerKind::text) {
        if (!t.contains("pattern")) return check.fail(t.source(), path + "pattern", "missing");
        if (!valid_pattern(check, t, "pattern", path, p.pattern)) return false;
    }
    return p.kind != AnswerKind::number || read_limits(check, t, path, p.limits);
}

// What every step has, whether it runs a program or asks the operator.
bool read_step_rest(Checker& check, const toml::table& t, const std::string& path, Step& s) {
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

bool read_step(Checker& check, const toml::table& t, const std::string& path, Step& s) {
    if (!check.known_keys(
            t, path,
            {"name",     "run",          "timeout_s",     "grace_s",       "retries",
             "requires", "stop_on_fail", "expect_status", "lock",          "lock_timeout_s",
             "measure",  "prompt",       "answer",        "expect",        "units",
             "low",      "high",         "marginal_low",  "marginal_high", "pattern"}) ||
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
    if (t.contains("prompt")) {
        s.prompt.emplace();
        if (!read_prompt(check, t, path, *s.prompt)) return false;
    } else {
        for (const char* key : {"answer", "expect", "units", "low", "high", "marginal_low",
                                "marginal_high", "pattern"}) {
            if (t.contains(key)) {
                return check.fail(t.get(key)->source(), path + key,
                                  "goes with prompt: a program's step measures with measure");
            }
        }
    }
    const toml::node* run = t.get("run");
    if (run == nullptr && s.prompt) return read_step_rest(check, t, path, s);
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
    return read_step_rest(check, t, path, s);
}

}  // namespace

const char* answer_kind_name(AnswerKind kind) {
    switch (kind) {
        case AnswerKind::yes_no:
            return "yes-no";
        case AnswerKind::number:
            return "number";
        case AnswerKind::text:
            return "text";
        case AnswerKind::confirm:
            break;
    }
    return "confirm";
}

bool load_sequence(const std::string& path, Sequence& sequence, std::string& error) {
    Sequence s;
    s.path = path;
    toml::table root;
    if (!read_toml(path, root, s.sha256, error)) return false;
    Checker check(path);
    bool ok = check.known_keys(root, "", {"name", "version", "serial_pattern", "step"}) &&
              check.text(root, "name", "", s.name, true) &&
              check.text(root, "version", "", s.version, true) &&
              check.text(root, "serial_pattern", "", s.serial_pattern, false) &&
              (!root.contains("serial_pattern") ||
               valid_pattern(check, root, "serial_pattern", "", s.serial_pattern));
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
