#include "books.h"

#include <cstdio>

#include "sql_values.h"

using namespace sql_values;

std::string day_of(const std::string& started) {
    return started.substr(0, 10);
}

Stretch stretch_of(const std::vector<std::optional<std::string>>& r, std::size_t at) {
    Stretch t;
    t.runs = count(r[at]);
    t.marginal = count(r[at + 1]);
    t.failed = count(r[at + 2]);
    t.values.n = count(r[at + 3]);
    t.values.mean = number(r[at + 4]).value_or(0);
    t.values.root_m2 = number(r[at + 5]).value_or(0);
    t.values.min = number(r[at + 6]).value_or(0);
    t.values.max = number(r[at + 7]).value_or(0);
    t.mr_mean = number(r[at + 8]).value_or(0);
    t.mr_count = count(r[at + 9]);
    t.first = number(r[at + 10]).value_or(0);
    t.last = number(r[at + 11]).value_or(0);
    return t;
}

namespace {

// A row of `key` columns, then the stretch's in kStretchColumns' order.
std::vector<std::optional<std::string>> row_of(std::vector<std::optional<std::string>> key,
                                               const Stretch& t) {
    key.insert(key.end(),
               {std::to_string(t.runs), std::to_string(t.marginal), std::to_string(t.failed),
                std::to_string(t.values.n), text(t.values.mean), text(t.values.root_m2),
                text(t.values.min), text(t.values.max), text(t.mr_mean), std::to_string(t.mr_count),
                text(t.first), text(t.last)});
    return key;
}

// The upsert of a stretch's columns on `conflict`.
std::string stretch_upsert(const std::string& conflict) {
    std::string sql = " ON CONFLICT (" + conflict + ") DO UPDATE SET ";
    std::string columns = kStretchColumns;
    for (std::size_t from = 0; from < columns.size();) {
        std::size_t comma = columns.find(", ", from);
        if (comma == std::string::npos) comma = columns.size();
        const std::string c = columns.substr(from, comma - from);
        sql += (from ? ", " : "") + c + " = excluded." + c;
        from = comma + 2;
    }
    return sql;
}

}  // namespace

bool Books::series_of(const std::string& sequence, const LandedValue& v, Series*& out,
                      std::string& error) {
    if (sequences_read_.insert(sequence).second) {
        std::vector<Row> rows;
        if (!history_.run("SELECT s.id, s.step, s.name, s.units, s.low, s.high, s.marginal_low, "
                          "s.marginal_high, s.state, " +
                              std::string(kStretchColumns) +
                              " FROM series s LEFT JOIN series_totals t ON t.series_id = s.id "
                              "WHERE s.sequence = $1",
                          {sequence}, &rows, error)) {
            return false;
        }
        for (const Row& r : rows) {
            Series s;
            s.id = r[0].value_or("");
            s.sequence = sequence;
            s.step = r[1].value_or("");
            s.name = r[2].value_or("");
            s.units = r[3].value_or("");
            s.limits = {number(r[4]), number(r[5]), number(r[6]), number(r[7])};
            s.state = SeriesState::restored(r[8]);
            if (r[9]) s.total = stretch_of(r, 9);
            series_[{sequence, s.step, s.name}] = std::move(s);
        }
    }
    const auto key = std::make_tuple(sequence, v.step, v.name);
    auto found = series_.find(key);
    if (found == series_.end()) {
        std::vector<Row> rows;
        if (!history_.run("INSERT INTO series (sequence, step, name) VALUES ($1, $2, $3) "
                          "RETURNING id",
                          {sequence, v.step, v.name}, &rows, error)) {
            return false;
        }
        Series s;
        s.id = rows.at(0).at(0).value_or("");
        s.sequence = sequence;
        s.step = v.step;
        s.name = v.name;
        found = series_.emplace(key, std::move(s)).first;
    }
    out = &found->second;
    return true;
}

bool Books::day_of_series(const Series& s, const std::string& day, Day*& out, std::string& error) {
    if (days_read_.insert({s.sequence, day}).second) {
        std::vector<Row> rows;
        if (!history_.run("SELECT d.series_id, " + std::string(kStretchColumns) +
                              " FROM series_days d JOIN series s ON s.id = d.series_id "
                              "WHERE s.sequence = $1 AND d.day = $2",
                          {s.sequence, day}, &rows, error)) {
            return false;
        }
        for (const Row& r : rows) days_[{r[0].value_or(""), day}] = {stretch_of(r, 1), false};
    }
    out = &days_[{s.id, day}];
    return true;
}

bool Books::land(const Landing& landing, std::vector<RunAlarm>* raised, std::string& error) {
    const std::string day = day_of(landing.started);
    const std::string landed = std::to_string(landing.landed);
    for (const LandedValue& v : landing.values) {
        Series* s = nullptr;
        Day* d = nullptr;
        if (!series_of(landing.sequence, v, s, error) || !day_of_series(*s, day, d, error)) {
            return false;
        }
        // The latest run's units and limits stand for the series.
        s->units = v.units;
        s->limits = v.limits;
        s->dirty = true;
        d->stretch.add(v.value, v.verdict);
        d->dirty = true;
        s->total.add(v.value, v.verdict);
        if (!v.value) continue;
        const SeriesState::Taken t = s->state.take(*v.value, landing.landed);
        points_.push_back(
            {s->id, landed, landing.started, text(v.value), text(t.moving_range), text(t.ewma)});
        for (const auto& [at, ewma] : t.earlier_ewma) {
            earlier_ewma_.push_back({s->id, std::to_string(at), text(ewma)});
        }
        for (const RaisedAlarm& a : t.alarms) {
            alarms_.push_back(
                {s->id, std::to_string(a.landed), rule_name(a.rule), std::to_string(a.span)});
            if (raised && a.landed == landing.landed) {
                raised->push_back({v.step, v.name, rule_name(a.rule)});
            }
        }
    }
    return true;
}

bool Books::flush(std::string& error) {
    std::vector<Row> series, totals, days;
    for (auto& [key, s] : series_) {
        if (!s.dirty) continue;
        series.push_back({s.id, s.sequence, s.step, s.name, s.units, text(s.limits.low),
                          text(s.limits.high), text(s.limits.marginal_low),
                          text(s.limits.marginal_high), s.state.saved()});
        totals.push_back(row_of({s.id}, s.total));
        s.dirty = false;
    }
    for (auto& [key, d] : days_) {
        if (!d.dirty) continue;
        days.push_back(row_of({key.first, key.second}, d.stretch));
        d.dirty = false;
    }
    const bool ok =
        history_.insert_rows(
            "INSERT INTO series_points (series_id, landed, started, value, moving_range, ewma)", 6,
            points_, "", error) &&
        history_.insert_rows("INSERT INTO series_alarms (series_id, landed, rule, span)", 4,
                             alarms_, "", error) &&
        history_.insert_rows(
            "INSERT INTO series (id, sequence, step, name, units, low, high, marginal_low, "
            "marginal_high, state)",
            10, series,
            " ON CONFLICT (id) DO UPDATE SET units = excluded.units, low = excluded.low, "
            "high = excluded.high, marginal_low = excluded.marginal_low, "
            "marginal_high = excluded.marginal_high, state = excluded.state",
            error) &&
        history_.insert_rows(
            "INSERT INTO series_totals (series_id, " + std::string(kStretchColumns) + ")", 13,
            totals, stretch_upsert("series_id"), error) &&
        history_.insert_rows(
            "INSERT INTO series_days (series_id, day, " + std::string(kStretchColumns) + ")", 14,
            days, stretch_upsert("series_id, day"), error);
    if (!ok) return false;
    for (const Row& r : earlier_ewma_) {
        if (!history_.run("UPDATE series_points SET ewma = $3 WHERE series_id = $1 AND landed = $2",
                          r, nullptr, error)) {
            return false;
        }
    }
    points_.clear();
    alarms_.clear();
    earlier_ewma_.clear();
    return true;
}
