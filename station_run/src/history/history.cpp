#include "history.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "books.h"
#include "escape.h"
#include "sql_values.h"

using namespace sql_values;

namespace {

bool is_server(const std::string& target) {
    return target.rfind("postgresql://", 0) == 0 || target.rfind("postgres://", 0) == 0;
}

// A server's URL without its password (in the user part or a password=
// parameter); any other target as it is.
std::string without_password(const std::string& target) {
    if (!is_server(target)) return target;
    const std::size_t authority = target.find("://") + 3;
    const std::size_t query = std::min(target.find('?', authority), target.size());
    const std::size_t path = std::min(target.find('/', authority), query);
    std::string url = target.substr(0, path);
    const std::size_t at = url.rfind('@');
    const std::size_t colon = url.find(':', authority);
    if (at != std::string::npos && colon < at) url.erase(colon, at - colon);
    url += target.substr(path, query - path);
    std::string kept;
    for (std::size_t p = query + 1; p < target.size();) {
        const std::size_t end = std::min(target.find('&', p), target.size());
        const std::string item = target.substr(p, end - p);
        if (item.rfind("password=", 0) != 0) kept += (kept.empty() ? "" : "&") + item;
        p = end + 1;
    }
    return kept.empty() ? url : url + "?" + kept;
}

}  // namespace

std::unique_ptr<History> History::open(const std::string& target, bool must_exist,
                                       const HistoryLimits& limits, std::string& error,
                                       HistoryFault& fault) {
    fault = HistoryFault::configuration;
    std::unique_ptr<History> history;
    if (is_server(target)) {
        history = open_postgres_history(target, limits, error);
        if (!history) fault = HistoryFault::unavailable;
    } else {
        history = open_sqlite_history(target, must_exist, limits, error, fault);
    }
    if (history && !history->prepare(error, fault)) history.reset();
    if (history) fault = HistoryFault::none;
    return history;
}

std::string History::shown_target(const std::string& target) {
    if (is_server(target)) return without_password(target);
    char* resolved = realpath(target.c_str(), nullptr);
    std::string shown = resolved ? resolved : target;
    std::free(resolved);
    return shown;
}

std::string History::in_store_types(std::string sql) const {
    for (const char* placeholder : {"{key}", "{time}", "{flag}"}) {
        for (std::size_t at = sql.find(placeholder); at != std::string::npos;
             at = sql.find(placeholder)) {
            sql.replace(at, std::strlen(placeholder), type_of(placeholder));
        }
    }
    return sql;
}

bool History::run(const std::string& sql, const std::vector<Value>& params, std::vector<Row>* rows,
                  std::string& error) {
    std::vector<Value> valid;
    for (const Value& v : params) valid.push_back(v ? Value(utf8_repaired(*v)) : Value());
    return execute(in_store_types(sql), valid, rows, error);
}

bool History::commit_or_roll_back(bool ok, std::string& error) {
    if (ok) return execute("COMMIT", {}, nullptr, error);
    std::string ignored;
    execute("ROLLBACK", {}, nullptr, ignored);
    return false;
}

bool History::run_id(const RunRecord& run, std::string& id, std::string& error) {
    std::vector<Row> rows;
    if (!this->run("SELECT id FROM runs WHERE folder = $1 AND started = $2",
                   {run.output, run.started}, &rows, error)) {
        return false;
    }
    if (rows.empty()) {
        // A run whose folder moved since it started is the same run: found by
        // its start, board, station and sequence, its folder brought up to date.
        if (!this->run("SELECT id FROM runs WHERE started = $1 AND serial = $2 AND station = $3 "
                       "AND sequence_sha256 = $4",
                       {run.started, run.serial, run.station, run.sequence_sha256}, &rows, error) ||
            (rows.size() == 1 && !this->run("UPDATE runs SET folder = $2 WHERE id = $1",
                                            {rows[0].at(0), run.output}, nullptr, error))) {
            return false;
        }
        if (rows.size() > 1) rows.clear();
    }
    if (rows.empty()) {
        if (!this->run("INSERT INTO runs (folder, started, serial, station, operator, device, "
                       "sequence_name, sequence_version, sequence_sha256, suite_version, verdict) "
                       "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, 'RUNNING') RETURNING id",
                       {run.output, run.started, run.serial, run.station,
                        nonempty(run.operator_name), run.device, run.sequence_name,
                        run.sequence_version, run.sequence_sha256, run.suite_version},
                       &rows, error)) {
            return false;
        }
    }
    id = rows.at(0).at(0).value_or("");
    return true;
}

bool History::begin_run(const RunRecord& run, std::string& error) {
    std::string id;
    if (!begin(error)) return false;
    return commit_or_roll_back(run_id(run, id, error), error);
}

bool History::write_run(const RunRecord& run, std::string& id, std::string& error) {
    bool ok = run_id(run, id, error) &&
              this->run(
                  "UPDATE runs SET ended = $2, verdict = $3, exit_status = $4, operator = $5 "
                  "WHERE id = $1",
                  {id, nonempty(run.ended), verdict_name(verdict_of(run)),
                   std::to_string(run.exit_status), nonempty(run.operator_name)},
                  nullptr, error) &&
              // A resumed run is written anew, whole.
              this->run(
                  "DELETE FROM measurements WHERE attempt_id IN "
                  "(SELECT id FROM attempts WHERE run_id = $1)",
                  {id}, nullptr, error) &&
              this->run("DELETE FROM attempts WHERE run_id = $1", {id}, nullptr, error);
    for (const StepRecord& s : run.steps) {
        for (std::size_t k = 0; ok && k < s.attempts.size(); ++k) {
            const Attempt& a = s.attempts[k];
            std::vector<Row> rows;
            ok = this->run(
                "INSERT INTO attempts (run_id, step, attempt, verdict, started, ended, "
                "duration_s, exit_status, term_signal, decisive) "
                "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10) RETURNING id",
                {id, s.name, std::to_string(a.number), verdict_name(a.verdict), nonempty(a.started),
                 nonempty(a.ended), text(a.duration_s), text(a.exit_status), text(a.signal),
                 k + 1 == s.attempts.size() ? "1" : "0"},
                &rows, error);
            if (!ok || a.measurements.empty()) continue;
            // An attempt's measurements in one statement.
            std::string sql =
                "INSERT INTO measurements (attempt_id, name, value, units, low, high, "
                "marginal_low, marginal_high, margin, margin_percent, verdict) VALUES ";
            std::vector<Value> params;
            for (const Measurement& m : a.measurements) {
                const std::vector<Value> row = {rows.at(0).at(0),
                                                m.name,
                                                text(m.value),
                                                m.units,
                                                text(m.limits.low),
                                                text(m.limits.high),
                                                text(m.limits.marginal_low),
                                                text(m.limits.marginal_high),
                                                text(m.margin),
                                                text(m.margin_percent),
                                                verdict_name(m.verdict)};
                sql += params.empty() ? "(" : ", (";
                for (std::size_t c = 0; c < row.size(); ++c) {
                    params.push_back(row[c]);
                    sql += (c ? ", $" : "$") + std::to_string(params.size());
                }
                sql += ")";
            }
            ok = this->run(sql, params, nullptr, error);
        }
    }
    return ok;
}

namespace {

// The landing of a finished run: its deciding attempts' measurements.
Landing landing_of(const RunRecord& run, const std::string& id, std::uint64_t landed) {
    Landing l{id, run.started, run.sequence_name, landed, {}};
    for (const StepRecord& s : run.steps) {
        if (s.attempts.empty()) continue;
        for (const Measurement& m : s.attempts.back().measurements) {
            l.values.push_back({s.name, m.name, m.units, m.value, m.verdict, m.limits});
        }
    }
    return l;
}

}  // namespace

bool History::land(const RunRecord& run, const std::string& id, Books& books,
                   std::vector<RunAlarm>* raised, std::string& error) {
    if (!finished(run)) return true;  // running or aborted: no figure counts it
    std::vector<Row> rows;
    if (!this->run("SELECT landed FROM runs WHERE id = $1", {id}, &rows, error)) return false;
    if (rows.at(0).at(0)) {
        // A run that landed before and is written again changes its series
        // behind later runs: they are kept anew from the runs.
        books_stale_ = true;
        return true;
    }
    if (!this->run("SELECT COALESCE(MAX(landed), 0) + 1 FROM runs", {}, &rows, error)) {
        return false;
    }
    const std::uint64_t landed = std::stoull(rows.back().at(0).value_or("1"));
    return this->run("UPDATE runs SET landed = $2 WHERE id = $1", {id, std::to_string(landed)},
                     nullptr, error) &&
           books.land(landing_of(run, id, landed), raised, error);
}

bool History::landed_values(const std::string& where, const std::vector<Value>& params,
                            std::vector<Row>& out, std::string& error) {
    return run(
        "SELECT a.step, m.name, m.value, m.verdict, m.units, m.low, m.high, "
        "m.marginal_low, m.marginal_high FROM runs r JOIN attempts a ON a.run_id = r.id "
        "AND a.decisive JOIN measurements m ON m.attempt_id = a.id WHERE r.landed IS NOT "
        "NULL AND " +
            where + " ORDER BY a.step, m.name, m.id",
        params, &out, error);
}

bool History::end_run(const RunRecord& run, std::string& error, std::vector<RunAlarm>* raised) {
    if (!begin(error)) return false;
    std::string id;
    Books books(*this);
    books_stale_ = false;
    // A run said again as it was (a resume after its landing) changes no
    // book: only a run that changed makes them anew, which reads every run.
    std::vector<Row> before, after;
    bool ok = landed_values("r.folder = $1 AND r.started = $2", {run.output, run.started}, before,
                            error) &&
              write_run(run, id, error) && land(run, id, books, raised, error) &&
              books.flush(error);
    if (ok && books_stale_) {
        ok = landed_values("r.id = $1", {id}, after, error);
        if (ok && after == before) books_stale_ = false;
    }
    ok = ok && (!books_stale_ || rebuild(error));
    return commit_or_roll_back(ok, error);
}

bool History::insert_rows(const std::string& head, std::size_t columns,
                          const std::vector<Row>& rows, const std::string& tail,
                          std::string& error) {
    const std::size_t per_statement = std::max<std::size_t>(1, most_parameters() / columns);
    for (std::size_t from = 0; from < rows.size(); from += per_statement) {
        const std::size_t to = std::min(rows.size(), from + per_statement);
        std::string sql = head + " VALUES ";
        std::vector<Value> params;
        for (std::size_t i = from; i < to; ++i) {
            sql += i == from ? "(" : ", (";
            for (std::size_t c = 0; c < columns; ++c) {
                params.push_back(rows[i][c]);
                sql += (c ? ", $" : "$") + std::to_string(params.size());
            }
            sql += ")";
        }
        if (!run(sql + tail, params, nullptr, error)) return false;
    }
    return true;
}

bool History::end_runs(const std::vector<RunRecord>& runs, std::string& error) {
    if (!begin(error)) return false;
    // Numbered on from the rows there, and written many rows a statement.
    std::vector<Row> top;
    bool ok =
        run("SELECT COALESCE((SELECT MAX(id) FROM runs), 0), "
            "COALESCE((SELECT MAX(id) FROM attempts), 0), "
            "COALESCE((SELECT MAX(id) FROM measurements), 0), "
            "COALESCE((SELECT MAX(landed) FROM runs), 0)",
            {}, &top, error);
    if (!ok) return commit_or_roll_back(false, error);
    std::uint64_t run_id = count(top[0][0]), attempt_id = count(top[0][1]),
                  measurement_id = count(top[0][2]), landed = count(top[0][3]);
    std::vector<Row> run_rows, attempt_rows, measurement_rows;
    Books books(*this);
    for (const RunRecord& r : runs) {
        const std::string id = std::to_string(++run_id);
        const bool lands = finished(r);
        if (lands) ++landed;
        run_rows.push_back({id, r.output, r.started, r.serial, r.station, nonempty(r.operator_name),
                            r.device, r.sequence_name, r.sequence_version, r.sequence_sha256,
                            r.suite_version, nonempty(r.ended), verdict_name(verdict_of(r)),
                            std::to_string(r.exit_status),
                            lands ? Value(std::to_string(landed)) : Value()});
        for (const StepRecord& s : r.steps) {
            for (std::size_t k = 0; k < s.attempts.size(); ++k) {
                const Attempt& a = s.attempts[k];
                const std::string attempt = std::to_string(++attempt_id);
                attempt_rows.push_back({attempt, id, s.name, std::to_string(a.number),
                                        verdict_name(a.verdict), nonempty(a.started),
                                        nonempty(a.ended), text(a.duration_s), text(a.exit_status),
                                        text(a.signal), k + 1 == s.attempts.size() ? "1" : "0"});
                for (const Measurement& m : a.measurements) {
                    measurement_rows.push_back({std::to_string(++measurement_id), attempt, m.name,
                                                text(m.value), m.units, text(m.limits.low),
                                                text(m.limits.high), text(m.limits.marginal_low),
                                                text(m.limits.marginal_high), text(m.margin),
                                                text(m.margin_percent), verdict_name(m.verdict)});
                }
            }
        }
        if (lands && !books.land(landing_of(r, id, landed), nullptr, error)) {
            return commit_or_roll_back(false, error);
        }
    }
    ok = insert_rows(
             "INSERT INTO runs (id, folder, started, serial, station, operator, device, "
             "sequence_name, sequence_version, sequence_sha256, suite_version, ended, "
             "verdict, exit_status, landed)",
             15, run_rows, "", error) &&
         insert_rows(
             "INSERT INTO attempts (id, run_id, step, attempt, verdict, started, ended, "
             "duration_s, exit_status, term_signal, decisive)",
             11, attempt_rows, "", error) &&
         insert_rows(
             "INSERT INTO measurements (id, attempt_id, name, value, units, low, high, "
             "marginal_low, marginal_high, margin, margin_percent, verdict)",
             12, measurement_rows, "", error) &&
         books.flush(error) &&
         // A server's numbering goes on after the ids given.
         statements({"postgres:SELECT setval(pg_get_serial_sequence('runs', 'id'), "
                     "(SELECT MAX(id) FROM runs))",
                     "postgres:SELECT setval(pg_get_serial_sequence('attempts', 'id'), "
                     "(SELECT MAX(id) FROM attempts))",
                     "postgres:SELECT setval(pg_get_serial_sequence('measurements', 'id'), "
                     "(SELECT MAX(id) FROM measurements))"},
                    error);
    return commit_or_roll_back(ok, error);
}

bool History::rebuild_books(std::string& error) {
    if (!begin(error)) return false;
    return commit_or_roll_back(rebuild(error), error);
}

bool History::rebuild(std::string& error) {
    for (const char* table :
         {"series_alarms", "series_points", "series_days", "series_totals", "series"}) {
        if (!run(std::string("DELETE FROM ") + table, {}, nullptr, error)) return false;
    }
    books_stale_ = false;
    // The runs in landing order, a stretch at a time, so that memory stays
    // bounded however many there are.
    constexpr std::uint64_t kRunsAtATime = 2000;
    Books books(*this);
    std::vector<Row> top;
    if (!run("SELECT COALESCE(MAX(landed), 0) FROM runs", {}, &top, error)) return false;
    const std::uint64_t last = std::stoull(top.at(0).at(0).value_or("0"));
    for (std::uint64_t from = 0; from < last; from += kRunsAtATime) {
        std::vector<Row> rows;
        if (!run("SELECT r.id, r.landed, " + time_text("r.started") +
                     ", r.sequence_name, a.step, m.name, m.value, m.verdict, m.units, m.low, "
                     "m.high, m.marginal_low, m.marginal_high FROM runs r "
                     "JOIN attempts a ON a.run_id = r.id "
                     "JOIN measurements m ON m.attempt_id = a.id "
                     "WHERE a.decisive AND r.landed > $1 AND r.landed <= $2 "
                     "ORDER BY r.landed, a.id, m.id",
                 {std::to_string(from), std::to_string(from + kRunsAtATime)}, &rows, error)) {
            return false;
        }
        Landing l;
        for (std::size_t i = 0; i <= rows.size(); ++i) {
            if (i == rows.size() || rows[i][0].value_or("") != l.run_id) {
                if (!l.run_id.empty() && !books.land(l, nullptr, error)) return false;
                if (i == rows.size()) break;
                l = {rows[i][0].value_or(""),
                     rows[i][2].value_or(""),
                     rows[i][3].value_or(""),
                     std::stoull(rows[i][1].value_or("0")),
                     {}};
            }
            const Row& r = rows[i];
            LandedValue v{
                r[4].value_or(""), r[5].value_or(""),
                r[8].value_or(""), number(r[6]),
                Verdict::error,    {number(r[9]), number(r[10]), number(r[11]), number(r[12])}};
            verdict_from_name(r[7].value_or(""), v.verdict);
            l.values.push_back(std::move(v));
        }
        if (!books.flush(error)) return false;
    }
    return true;
}
