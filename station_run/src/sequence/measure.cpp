#include "measure.h"

#include <re2/re2.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

#include "decimal.h"

namespace {

// The tokens of a valid JSON pointer, unescaped.
std::vector<std::string> pointer_tokens(const std::string& pointer) {
    std::vector<std::string> tokens;
    for (std::size_t at = 0; at < pointer.size();) {
        const std::size_t next = std::min(pointer.find('/', at + 1), pointer.size());
        std::string token;
        for (std::size_t i = at + 1; i < next; ++i) {
            if (pointer[i] == '~') {
                token += pointer[++i] == '0' ? '~' : '/';
            } else {
                token += pointer[i];
            }
        }
        tokens.push_back(std::move(token));
        at = next;
    }
    return tokens;
}

// Follows the parser's events, and keeps the value found where the pointer
// points (the last one, where a key is given twice).
class PointerSax : public nlohmann::json_sax<nlohmann::json> {
public:
    explicit PointerSax(std::vector<std::string> tokens) : tokens_(std::move(tokens)) {}

    PointerValue found;

    bool null() override { return scalar(PointerValue::null, 0); }
    bool boolean(bool) override { return scalar(PointerValue::not_number, 0); }
    bool number_integer(number_integer_t v) override {
        return scalar(PointerValue::number, static_cast<double>(v));
    }
    bool number_unsigned(number_unsigned_t v) override {
        return scalar(PointerValue::number, static_cast<double>(v));
    }
    bool number_float(number_float_t v, const string_t&) override {
        return scalar(PointerValue::number, v);
    }
    bool string(string_t&) override { return scalar(PointerValue::not_number, 0); }
    bool binary(binary_t&) override { return scalar(PointerValue::not_number, 0); }
    bool start_object(std::size_t) override { return open(false); }
    bool key(string_t& k) override {
        frames_.back().key = k;
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(true); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    struct Frame {
        bool array;
        std::size_t index = 0;  // of the element being read
        std::string key;
    };

    // The value that begins now lies where the pointer points.
    bool here() const {
        if (frames_.size() != tokens_.size()) return false;
        for (std::size_t i = 0; i < frames_.size(); ++i) {
            const Frame& f = frames_[i];
            if (!f.array) {
                if (f.key != tokens_[i]) return false;
                continue;
            }
            const std::string& t = tokens_[i];
            std::size_t index = 0;
            const auto [end, error] = std::from_chars(t.data(), t.data() + t.size(), index);
            // Digits only, no leading zero: anything else names no element.
            if (t.empty() || error != std::errc() || end != t.data() + t.size() ||
                (t.size() > 1 && t[0] == '0') || index != f.index) {
                return false;
            }
        }
        return true;
    }
    void element_done() {
        if (!frames_.empty() && frames_.back().array) ++frames_.back().index;
    }
    bool scalar(PointerValue::Kind kind, double value) {
        if (here()) found = {kind, value};
        element_done();
        return true;
    }
    bool open(bool array) {
        if (here()) found = {PointerValue::not_number, 0};
        frames_.push_back({array, 0, {}});
        return true;
    }
    bool close() {
        frames_.pop_back();
        element_done();
        return true;
    }

    std::vector<std::string> tokens_;
    std::vector<Frame> frames_;
};

Measurement from_pattern(const Measure& m, std::string_view output,
                         std::chrono::steady_clock::time_point deadline) {
    RE2::Options options;
    options.set_log_errors(false);
    const RE2 pattern(m.stdout_pattern, options);
    if (!pattern.ok() || pattern.NumberOfCapturingGroups() < 1) {
        return judge(m.name, m.units, {}, m.limits, "the pattern does not parse");
    }
    // The last match, found going forward; the search is linear in the text,
    // and the deadline is looked at between matches.
    re2::StringPiece whole[2];
    std::optional<std::string> group;
    std::size_t at = 0, count = 0;
    while (at <= output.size() && pattern.Match(re2::StringPiece(output.data(), output.size()), at,
                                                output.size(), RE2::UNANCHORED, whole, 2)) {
        group = std::string(whole[1].data() ? whole[1].data() : "", whole[1].size());
        const std::size_t end =
            static_cast<std::size_t>(whole[0].data() - output.data()) + whole[0].size();
        at = whole[0].empty() ? end + 1 : end;
        if (++count % 1024 == 0 && std::chrono::steady_clock::now() > deadline) {
            return judge(m.name, m.units, {}, m.limits, "measuring ran past the step's deadline");
        }
    }
    if (!group) return judge(m.name, m.units, {}, m.limits, "no match in the output");
    const std::optional<double> v = decimal_number(*group);
    std::string note;
    if (!v) {
        note = '"';
        note += group->substr(0, 64);
        note += "\" is no number";
    }
    return judge(m.name, m.units, v, m.limits, note);
}

Measurement from_pointer(const Measure& m, std::string_view output) {
    const PointerValue found = json_pointer_value(output, m.json_pointer);
    switch (found.kind) {
        case PointerValue::no_json:
            return judge(m.name, m.units, {}, m.limits, "the output is no JSON");
        case PointerValue::absent:
            return judge(m.name, m.units, {}, m.limits, "no value at " + m.json_pointer);
        case PointerValue::null:
            return judge(m.name, m.units, {}, m.limits,
                         "the value at " + m.json_pointer + " is null");
        case PointerValue::not_number:
            return judge(m.name, m.units, {}, m.limits,
                         "the value at " + m.json_pointer + " is no number");
        case PointerValue::number:
            break;
    }
    if (!std::isfinite(found.value)) {
        return judge(m.name, m.units, {}, m.limits,
                     "the value at " + m.json_pointer + " is no finite number");
    }
    return judge(m.name, m.units, found.value, m.limits);
}

}  // namespace

Measurement judge(const std::string& name, const std::string& units, std::optional<double> value,
                  const Limits& limits, const std::string& note) {
    Measurement m;
    m.name = name;
    m.units = units;
    m.value = value;
    m.limits = limits;
    m.note = note;
    if (!value) {
        m.verdict = Verdict::error;
        return m;
    }
    const double v = *value;
    if (limits.low || limits.high) {
        double margin = INFINITY;
        if (limits.low) margin = std::min(margin, v - *limits.low);
        if (limits.high) margin = std::min(margin, *limits.high - v);
        m.margin = margin == 0 ? 0.0 : margin;
        if (limits.low && limits.high && *limits.high > *limits.low) {
            m.margin_percent = 100.0 * margin / (*limits.high - *limits.low);
        }
    }
    const bool outside = (limits.low && v < *limits.low) || (limits.high && v > *limits.high);
    const bool marginal = (limits.marginal_low && v < *limits.marginal_low) ||
                          (limits.marginal_high && v > *limits.marginal_high);
    m.verdict = outside ? Verdict::fail : marginal ? Verdict::marginal : Verdict::pass;
    return m;
}

PointerValue json_pointer_value(std::string_view json, const std::string& pointer) {
    if (!valid_json_pointer(pointer)) return {PointerValue::absent, 0};
    PointerSax sax(pointer_tokens(pointer));
    try {
        if (!nlohmann::json::sax_parse(json.begin(), json.end(), &sax)) return {};
    } catch (const std::exception&) {
        return {};  // the parser's own limits, such as memory
    }
    if (sax.found.kind == PointerValue::no_json) sax.found.kind = PointerValue::absent;
    return sax.found;
}

bool valid_json_pointer(const std::string& pointer) {
    if (!pointer.empty() && pointer[0] != '/') return false;
    for (std::size_t i = 0; i < pointer.size(); ++i) {
        if (pointer[i] == '~' &&
            (i + 1 == pointer.size() || (pointer[i + 1] != '0' && pointer[i + 1] != '1'))) {
            return false;
        }
    }
    return true;
}

std::vector<Measurement> measure_step(const Step& step, std::optional<int> exit_status,
                                      const StepOutput& output,
                                      std::chrono::steady_clock::time_point deadline) {
    std::vector<Measurement> out;
    const Limits expected{step.expect_status, step.expect_status, {}, {}};
    out.push_back(judge("exit_status", "",
                        exit_status ? std::optional<double>(*exit_status) : std::optional<double>(),
                        expected, exit_status ? "" : "ended by a signal"));
    for (const Measure& m : step.measures) {
        if (output.cut) {
            // What was dropped may hold the last match, or end the JSON.
            out.push_back(judge(m.name, m.units, {}, m.limits,
                                "the standard output passed its limit and was cut"));
        } else if (std::chrono::steady_clock::now() > deadline) {
            out.push_back(
                judge(m.name, m.units, {}, m.limits, "measuring ran past the step's deadline"));
        } else {
            out.push_back(m.stdout_pattern.empty() ? from_pointer(m, output.text)
                                                   : from_pattern(m, output.text, deadline));
        }
    }
    return out;
}

std::vector<Measurement> not_measured(const Step& step, const std::string& why) {
    std::vector<Measurement> out;
    const Limits expected{step.expect_status, step.expect_status, {}, {}};
    out.push_back(judge("exit_status", "", {}, expected, why));
    for (const Measure& m : step.measures) out.push_back(judge(m.name, m.units, {}, m.limits, why));
    for (Measurement& m : out) m.verdict = Verdict::skipped;
    return out;
}
