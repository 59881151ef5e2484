#include "series_state.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace {

constexpr double kD2 = 1.128;  // the mean range of two normal values, in sigmas

}  // namespace

SpcSettings kept_settings() {
    return {};
}

SeriesState::Taken SeriesState::take(double value, std::uint64_t landed) {
    Taken t;
    if (last) t.moving_range = std::fabs(value - *last);
    last = value;
    ++points;
    auto watch_point = [&](double v, std::uint64_t at, bool earlier) {
        for (Rule r : watch->add(v)) {
            t.alarms.push_back({r, at, watch->span(r)});
            ++alarms[static_cast<std::size_t>(r)];
        }
        if (earlier) {
            t.earlier_ewma.emplace_back(at, watch->ewma());
        } else {
            t.ewma = watch->ewma();
        }
    };
    if (charted) {
        if (watch) watch_point(value, landed, false);
        return t;
    }
    baseline.emplace_back(value, landed);
    const SpcSettings settings = kept_settings();
    if (baseline.size() < settings.baseline_runs) return t;
    // The baseline is whole: the chart is set from it, and the rules run
    // over its points as over every later one.
    charted = true;
    double sum = 0, ranges = 0;
    for (std::size_t i = 0; i < baseline.size(); ++i) {
        sum += baseline[i].first;
        if (i > 0) ranges += std::fabs(baseline[i].first - baseline[i - 1].first);
    }
    const double n = static_cast<double>(baseline.size());
    const double sigma = ranges / (n - 1) / kD2;
    if (std::isfinite(sigma) && sigma > 0 && std::isfinite(sum / n)) {
        watch.emplace(sum / n, sigma, settings);
        for (std::size_t i = 0; i < baseline.size(); ++i) {
            watch_point(baseline[i].first, baseline[i].second, i + 1 < baseline.size());
        }
    }
    baseline.clear();
    return t;
}

std::string SeriesState::saved() const {
    nlohmann::json base = nlohmann::json::array();
    for (const auto& [v, at] : baseline) base.push_back({v, at});
    nlohmann::json j = {
        {"baseline", base}, {"charted", charted}, {"points", points}, {"alarms", alarms}};
    if (watch) j["watch"] = watch->saved();
    if (last) j["last"] = *last;
    return j.dump();
}

SeriesState SeriesState::restored(const std::optional<std::string>& text) {
    SeriesState s;
    if (!text) return s;
    const nlohmann::json j = nlohmann::json::parse(*text, nullptr, false);
    if (!j.is_object()) return s;
    for (const nlohmann::json& p : j.value("baseline", nlohmann::json::array())) {
        s.baseline.emplace_back(p[0].get<double>(), p[1].get<std::uint64_t>());
    }
    s.charted = j.value("charted", false);
    s.points = j.value("points", std::uint64_t{0});
    if (j.contains("alarms") && j["alarms"].size() == kRuleCount) {
        for (std::size_t i = 0; i < kRuleCount; ++i) s.alarms[i] = j["alarms"][i];
    }
    if (j.contains("watch")) s.watch = RuleWatch::restored(j["watch"], kept_settings());
    if (j.contains("last")) s.last = j["last"].get<double>();
    return s;
}
