// What a summary reads of a history: the books, and the runs themselves only
// where the books do not split as asked (within a day, or by board).
#include <algorithm>
#include <ctime>
#include <map>

#include "books.h"
#include "history.h"
#include "sql_values.h"

using namespace sql_values;

namespace {

// The day after `day` (YYYY-MM-DD), at its start in the record's form.
std::string start_of_day_after(const std::string& day) {
    std::tm t{};
    t.tm_year = std::stoi(day.substr(0, 4)) - 1900;
    t.tm_mon = std::stoi(day.substr(5, 2)) - 1;
    t.tm_mday = std::stoi(day.substr(8, 2)) + 1;
    const std::time_t next = timegm(&t);
    std::tm out{};
    gmtime_r(&next, &out);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT00:00:00.000Z", &out);
    return text;
}

}  // namespace

bool History::totals(const SummaryFilter& f, std::vector<MeasurementTotals>& out,
                     std::string& error) {
    std::vector<Row> rows;
    if (!run("SELECT id, sequence, step, name, units, low, high, marginal_low, marginal_high, "
             "state FROM series WHERE (CAST($1 AS TEXT) IS NULL OR sequence = $1) "
             "ORDER BY sequence, step, name",
             {nonempty(f.sequence)}, &rows, error)) {
        return false;
    }
    std::map<std::string, MeasurementTotals> by_id;
    std::vector<std::string> order;
    for (const Row& r : rows) {
        MeasurementTotals t;
        t.series_id = r[0].value_or("");
        t.sequence = r[1].value_or("");
        t.step = r[2].value_or("");
        t.name = r[3].value_or("");
        t.units = r[4].value_or("");
        t.low = number(r[5]);
        t.high = number(r[6]);
        t.marginal_low = number(r[7]);
        t.marginal_high = number(r[8]);
        t.state = r[9].value_or("");
        order.push_back(t.series_id);
        by_id.emplace(t.series_id, std::move(t));
    }
    // The runs themselves, a value at a time in landing order: one board's,
    // or those of the day a --since falls in; the books by day for the rest.
    auto scan = [&](const std::string& until) {
        std::vector<Value> params;
        std::string where = filter_conditions(f, params);
        if (!until.empty()) {
            params.push_back(until);
            where += " AND r.started < CAST($" + std::to_string(params.size()) + " AS {time})";
        }
        std::vector<Row> values;
        // The runs picked first, so that the planner starts from them.
        if (!run("SELECT s.id, m.value, m.verdict FROM attempts a "
                 "JOIN runs r ON a.run_id = r.id JOIN measurements m ON m.attempt_id = a.id "
                 "JOIN series s ON s.sequence = r.sequence_name AND s.step = a.step AND "
                 "s.name = m.name WHERE a.decisive AND a.run_id IN (SELECT r.id FROM runs r "
                 "WHERE r.landed IS NOT NULL" +
                     where + ") ORDER BY r.landed, m.id",
                 params, &values, error)) {
            return false;
        }
        for (const Row& v : values) {
            const auto found = by_id.find(v[0].value_or(""));
            if (found == by_id.end()) continue;
            Verdict verdict = Verdict::error;
            verdict_from_name(v[2].value_or(""), verdict);
            found->second.stretch.add(number(v[1]), verdict);
        }
        return true;
    };
    if (!f.serial.empty()) {
        if (!scan("")) return false;
    } else {
        const std::string first_day = f.since.empty() ? "" : day_of(f.since);
        if (!first_day.empty() && !scan(start_of_day_after(first_day))) return false;
        // The whole history in one row a series; a window by its days.
        std::vector<Row> days;
        if (!run("SELECT d.series_id, " + std::string(kStretchColumns) + " FROM " +
                     (first_day.empty() ? "series_totals" : "series_days") +
                     " d JOIN series s ON s.id = d.series_id "
                     "WHERE (CAST($1 AS TEXT) IS NULL OR s.sequence = $1)" +
                     (first_day.empty() ? " ORDER BY d.series_id"
                                        : " AND d.day > $2 ORDER BY d.series_id, d.day"),
                 first_day.empty() ? std::vector<Value>{nonempty(f.sequence)}
                                   : std::vector<Value>{nonempty(f.sequence), first_day},
                 &days, error)) {
            return false;
        }
        for (const Row& d : days) {
            const auto found = by_id.find(d[0].value_or(""));
            if (found != by_id.end()) found->second.stretch.append(stretch_of(d, 1));
        }
    }
    out.clear();
    for (const std::string& id : order) {
        MeasurementTotals& t = by_id[id];
        if (t.stretch.runs > 0) out.push_back(std::move(t));
    }
    return true;
}

bool History::points(const SummaryFilter& f, const std::string& series_id, const std::string& since,
                     std::size_t latest, std::vector<SeriesPoint>& out, std::string& error) {
    std::vector<Row> rows;
    const std::string columns = "SELECT p.value, r.serial, " + time_text("p.started") +
                                ", p.moving_range, p.ewma, p.landed FROM series_points p "
                                "JOIN runs r ON r.landed = p.landed WHERE p.series_id = $1 AND "
                                "(CAST($2 AS TEXT) IS NULL OR r.serial = $2) ";
    const bool ok = since.empty()
                        ? run(columns + "ORDER BY p.landed DESC LIMIT " + std::to_string(latest),
                              {series_id, nonempty(f.serial)}, &rows, error)
                        : run(columns + "AND p.started >= CAST($3 AS {time}) ORDER BY p.landed",
                              {series_id, nonempty(f.serial), since}, &rows, error);
    if (!ok) return false;
    out.clear();
    out.reserve(rows.size());
    for (const Row& r : rows) {
        out.push_back({number(r[0]).value_or(0), r[1].value_or(""), r[2].value_or(""), number(r[3]),
                       number(r[4]), count(r[5])});
    }
    if (since.empty()) std::reverse(out.begin(), out.end());
    return true;
}

bool History::alarms(const std::string& series_id, std::size_t limit,
                     std::optional<std::uint64_t> from, bool control_only,
                     std::vector<SeriesAlarm>& out, std::string& error) {
    std::vector<Row> rows;
    if (!run("SELECT a.rule, r.serial, " + time_text("r.started") +
                 ", a.landed, a.span FROM series_alarms a JOIN runs r ON r.landed = a.landed "
                 "WHERE a.series_id = $1 AND a.landed >= CAST($2 AS BIGINT)" +
                 (control_only ? " AND a.rule IN ('we1', 'we2', 'we3', 'we4')" : "") +
                 " ORDER BY a.landed DESC, a.rule LIMIT " + std::to_string(limit),
             {series_id, std::to_string(from.value_or(0))}, &rows, error)) {
        return false;
    }
    out.clear();
    for (const Row& r : rows) {
        out.push_back({r[0].value_or(""), r[1].value_or(""), r[2].value_or(""), count(r[3]),
                       static_cast<std::size_t>(count(r[4]))});
    }
    return true;
}

bool History::last_runs(const SummaryFilter& f, int limit, const std::string& verdict,
                        std::vector<HistoryRun>& out, std::string& error) {
    std::vector<Row> rows;
    std::vector<Value> params;
    std::string where = filter_conditions(f, params);
    if (!verdict.empty()) {
        params.push_back(verdict);
        where += " AND r.verdict = $" + std::to_string(params.size());
    }
    if (!run("SELECT r.serial, r.station, r.sequence_name, " + time_text("r.started") +
                 ", r.verdict, r.folder FROM runs r WHERE TRUE" + where +
                 " ORDER BY r.started DESC, r.id DESC LIMIT " + std::to_string(limit),
             params, &rows, error)) {
        return false;
    }
    out.clear();
    for (const Row& r : rows) {
        out.push_back({r[0].value_or(""), r[1].value_or(""), r[2].value_or(""), r[3].value_or(""),
                       r[4].value_or(""), r[5].value_or("")});
    }
    return true;
}
