#include "spc.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

namespace {

constexpr double kD2 = 1.128;  // the mean range of two normal values, in sigmas
constexpr double kD4 = 3.267;  // a moving range's upper limit, in mean ranges

constexpr Rule kRules[] = {Rule::we1,     Rule::we2,     Rule::we3,     Rule::we4,
                           Rule::nelson1, Rule::nelson2, Rule::nelson3, Rule::nelson4,
                           Rule::nelson5, Rule::nelson6, Rule::nelson7, Rule::nelson8,
                           Rule::ewma};

}  // namespace

const char* rule_name(Rule r) {
    static const char* const kNames[] = {"we1",     "we2",     "we3",     "we4",     "nelson1",
                                         "nelson2", "nelson3", "nelson4", "nelson5", "nelson6",
                                         "nelson7", "nelson8", "ewma"};
    return kNames[static_cast<int>(r)];
}

bool rule_from_name(const std::string& name, Rule& r) {
    for (Rule candidate : kRules) {
        if (name == rule_name(candidate)) {
            r = candidate;
            return true;
        }
    }
    return false;
}

bool decides_control(Rule r) {
    return r == Rule::we1 || r == Rule::we2 || r == Rule::we3 || r == Rule::we4;
}

nlohmann::json RuleWatch::saved() const {
    nlohmann::json held = nlohmann::json::array();
    for (bool h : held_) held.push_back(h ? 1 : 0);
    return nlohmann::json{{"centre", centre_}, {"sigma", sigma_}, {"z", z_},
                          {"ewma", ewma_},     {"count", count_}, {"held", held}};
}

std::optional<RuleWatch> RuleWatch::restored(const nlohmann::json& j, const SpcSettings& settings) {
    if (!j.is_object() || !j.contains("held") || j["held"].size() != std::size(kRules)) return {};
    RuleWatch w(j.value("centre", 0.0), j.value("sigma", 1.0), settings);
    w.z_ = j.value("z", std::vector<double>{});
    w.ewma_ = j.value("ewma", w.centre_);
    w.count_ = j.value("count", std::size_t{0});
    for (std::size_t i = 0; i < w.held_.size(); ++i) w.held_[i] = j["held"][i] == 1;
    return w;
}

RuleWatch::RuleWatch(double centre, double sigma, const SpcSettings& settings)
    : centre_(centre),
      sigma_(sigma),
      settings_(settings),
      ewma_(centre),
      held_(std::size(kRules), false) {}

std::size_t RuleWatch::span(Rule rule) const {
    switch (rule) {
        case Rule::we1:
        case Rule::nelson1:
        case Rule::ewma:
            return 1;
        case Rule::we2:
        case Rule::nelson5:
            return 3;
        case Rule::we3:
        case Rule::nelson6:
            return 5;
        case Rule::we4:
        case Rule::nelson8:
            return 8;
        case Rule::nelson2:
            return 9;
        case Rule::nelson3:
            return 6;
        case Rule::nelson4:
            return 14;
        case Rule::nelson7:
            return 15;
    }
    return 1;
}

bool RuleWatch::holds(Rule rule) const {
    const std::size_t n = span(rule);
    if (z_.size() < n) return false;
    const auto last = z_.end() - static_cast<long>(n);
    auto count = [&](auto&& test) { return std::count_if(last, z_.end(), test); };
    auto same_side_beyond = [&](double limit) {
        return std::max(count([&](double z) { return z > limit; }),
                        count([&](double z) { return z < -limit; }));
    };
    switch (rule) {
        case Rule::we1:
        case Rule::nelson1:
            return std::fabs(z_.back()) > 3;
        case Rule::we2:
        case Rule::nelson5:
            return same_side_beyond(2) >= 2;
        case Rule::we3:
        case Rule::nelson6:
            return same_side_beyond(1) >= 4;
        case Rule::we4:
        case Rule::nelson2:
            return same_side_beyond(0) == static_cast<long>(n);
        case Rule::nelson3: {
            bool up = true, down = true;
            for (auto it = last + 1; it != z_.end(); ++it) {
                up = up && *it > *(it - 1);
                down = down && *it < *(it - 1);
            }
            return up || down;
        }
        case Rule::nelson4: {
            for (auto it = last + 2; it != z_.end(); ++it) {
                const double before = *(it - 1) - *(it - 2), now = *it - *(it - 1);
                if (!(before * now < 0)) return false;
            }
            return true;
        }
        case Rule::nelson7:
            return count([](double z) { return std::fabs(z) < 1; }) == static_cast<long>(n);
        case Rule::nelson8:
            return count([](double z) { return std::fabs(z) > 1; }) == static_cast<long>(n) &&
                   count([](double z) { return z > 0; }) > 0 &&
                   count([](double z) { return z < 0; }) > 0;
        case Rule::ewma: {
            const double l = settings_.ewma_lambda;
            const double spread =
                l / (2 - l) * (1 - std::pow(1 - l, 2.0 * static_cast<double>(count_)));
            return std::fabs(ewma_ - centre_) > settings_.ewma_l * sigma_ * std::sqrt(spread);
        }
    }
    return false;
}

std::vector<Rule> RuleWatch::add(double value) {
    // Kept finite, so that the state is kept as text whatever the values.
    z_.push_back(std::clamp((value - centre_) / sigma_, -1e300, 1e300));
    if (z_.size() > 15) z_.erase(z_.begin());
    ++count_;
    ewma_ = settings_.ewma_lambda * value + (1 - settings_.ewma_lambda) * ewma_;
    std::vector<Rule> fired;
    for (std::size_t i = 0; i < std::size(kRules); ++i) {
        const bool now = holds(kRules[i]);
        if (now && !held_[i]) fired.push_back(kRules[i]);
        held_[i] = now;
    }
    return fired;
}

std::optional<Chart> control_chart(const std::vector<Point>& series, const SpcSettings& settings) {
    Chart c;
    c.baseline = std::min(settings.baseline_runs, series.size());
    if (c.baseline < 2) return {};
    double sum = 0, ranges = 0;
    for (std::size_t i = 0; i < c.baseline; ++i) {
        sum += series[i].value;
        if (i > 0) ranges += std::fabs(series[i].value - series[i - 1].value);
    }
    c.centre = sum / static_cast<double>(c.baseline);
    c.mr_bar = ranges / static_cast<double>(c.baseline - 1);
    c.sigma = c.mr_bar / kD2;
    if (!(c.sigma > 0)) return {};
    c.ucl = c.centre + 3 * c.sigma;
    c.lcl = c.centre - 3 * c.sigma;
    c.mr_ucl = kD4 * c.mr_bar;
    RuleWatch watch(c.centre, c.sigma, settings);
    for (std::size_t i = 0; i < series.size(); ++i) {
        for (Rule r : watch.add(series[i].value)) {
            Alarm a{r, {}};
            const std::size_t n = std::min(watch.span(r), i + 1);
            for (std::size_t k = i + 1 - n; k <= i; ++k) a.points.push_back(k);
            c.alarms.push_back(std::move(a));
        }
    }
    return c;
}
