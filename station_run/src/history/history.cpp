#include "history.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "escape.h"

namespace {

std::string text(double v) {
    char out[40];
    std::snprintf(out, sizeof out, "%.17g", v);
    return out;
}

std::optional<std::string> text(const std::optional<double>& v) {
    if (!v) return {};
    return text(*v);
}

std::optional<std::string> text(const std::optional<int>& v) {
    if (!v) return {};
    return std::to_string(*v);
}

std::optional<std::string> nonempty(const std::string& s) {
    if (s.empty()) return {};
    return s;
}

std::optional<double> number(const std::optional<std::string>& v) {
    if (!v) return {};
    return std::stod(*v);
}

// Each version's statements, from the one before it; {key}, {time} and
// {flag} are the store's types. A statement for one store only begins with
// "sqlite:" or "postgres:".
const std::vector<std::vector<std::string>> kUpgrades = {
    {
        "CREATE TABLE runs (id {key}, folder TEXT NOT NULL, started TEXT NOT NULL, "
        "serial TEXT NOT NULL, station TEXT NOT NULL, operator TEXT, device TEXT NOT NULL, "
        "sequence_name TEXT NOT NULL, sequence_version TEXT NOT NULL, "
        "sequence_sha256 TEXT NOT NULL, ended TEXT, verdict TEXT NOT NULL, exit_status INTEGER, "
        "UNIQUE (folder, started))",
        "CREATE TABLE attempts (id {key}, run_id BIGINT NOT NULL REFERENCES runs (id), "
        "step TEXT NOT NULL, attempt INTEGER NOT NULL, verdict TEXT NOT NULL, started TEXT, "
        "ended TEXT, duration_s DOUBLE PRECISION, exit_status INTEGER, term_signal INTEGER)",
        "CREATE TABLE measurements (id {key}, attempt_id BIGINT NOT NULL REFERENCES attempts (id), "
        "name TEXT NOT NULL, value DOUBLE PRECISION, units TEXT NOT NULL, low DOUBLE PRECISION, "
        "high DOUBLE PRECISION, marginal_low DOUBLE PRECISION, marginal_high DOUBLE PRECISION, "
        "margin DOUBLE PRECISION, margin_percent DOUBLE PRECISION, verdict TEXT NOT NULL)",
    },
    {
        "ALTER TABLE runs ADD COLUMN suite_version TEXT",
        "ALTER TABLE attempts ADD COLUMN decisive INTEGER NOT NULL DEFAULT 0",
        // In a version 1 history a step's last attempt decided it.
        "UPDATE attempts SET decisive = CASE WHEN attempt = (SELECT MAX(a.attempt) FROM "
        "attempts a WHERE a.run_id = attempts.run_id AND a.step = attempts.step) THEN 1 ELSE 0 "
        "END",
        "CREATE INDEX attempts_by_run ON attempts (run_id)",
        "CREATE INDEX measurements_by_attempt ON measurements (attempt_id)",
        "CREATE INDEX runs_by_started ON runs (started)",
    },
    {
        "postgres:ALTER TABLE runs ALTER COLUMN started TYPE {time} USING started::{time}, "
        "ALTER COLUMN ended TYPE {time} USING ended::{time}",
        "postgres:ALTER TABLE attempts ALTER COLUMN started TYPE {time} USING started::{time}, "
        "ALTER COLUMN ended TYPE {time} USING ended::{time}, ALTER COLUMN decisive DROP DEFAULT, "
        "ALTER COLUMN decisive TYPE {flag} USING decisive <> 0, "
        "ALTER COLUMN decisive SET DEFAULT false",
        "postgres:ALTER TABLE runs ADD CONSTRAINT runs_verdict_known CHECK (verdict IN "
        "('RUNNING', 'PASS', 'MARGINAL', 'FAIL', 'ERROR', 'TIMEOUT', 'ABORTED'))",
        "postgres:ALTER TABLE attempts ADD CONSTRAINT attempts_verdict_known CHECK (verdict IN "
        "('PASS', 'MARGINAL', 'FAIL', 'ERROR', 'TIMEOUT', 'ABORTED'))",
        "postgres:ALTER TABLE measurements ADD CONSTRAINT measurements_verdict_known CHECK "
        "(verdict IN ('PASS', 'MARGINAL', 'FAIL', 'ERROR', 'SKIPPED'))",
        "CREATE INDEX measurements_by_name ON measurements (name, attempt_id)",
        "CREATE INDEX attempts_by_step ON attempts (step, run_id)",
        // One row a measurement of a finished run, as its step's deciding
        // attempt took it: what a chart of a figure across boards needs.
        "CREATE VIEW measurement_history AS SELECT r.id AS run_id, r.started AS run_started, "
        "r.serial AS serial, r.station AS station, r.sequence_name AS sequence, "
        "r.sequence_version AS sequence_version, r.verdict AS run_verdict, a.step AS step, "
        "a.attempt AS attempt, m.name AS measurement, m.value AS value, m.units AS units, "
        "m.low AS low, m.high AS high, m.marginal_low AS marginal_low, "
        "m.marginal_high AS marginal_high, m.margin AS margin, m.verdict AS verdict "
        "FROM measurements m JOIN attempts a ON m.attempt_id = a.id "
        "JOIN runs r ON a.run_id = r.id "
        "WHERE a.decisive AND r.verdict NOT IN ('RUNNING', 'ABORTED')",
    },
};

// The filter's conditions on the runs table r; parameters $1 to $3, null
// when not given.
const char* kFilter =
    "(CAST($1 AS {time}) IS NULL OR r.started >= CAST($1 AS {time})) AND "
    "(CAST($2 AS TEXT) IS NULL OR r.sequence_name = $2) AND "
    "(CAST($3 AS TEXT) IS NULL OR r.serial = $3)";

// A run that counts in the figures: ended, and not cut short by an operator.
const char* kFinished = "r.verdict NOT IN ('RUNNING', 'ABORTED')";

std::vector<std::optional<std::string>> filter_params(const SummaryFilter& f) {
    return {nonempty(f.since), nonempty(f.sequence), nonempty(f.serial)};
}

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

bool History::statements(const std::vector<std::string>& sql, std::string& error) {
    for (std::string s : sql) {
        const std::size_t colon = s.find(':');
        if (colon != std::string::npos && colon < 9 && s.find(' ') > colon) {
            if (s.compare(0, colon, dialect()) != 0) continue;
            s.erase(0, colon + 1);
        }
        if (!execute(in_store_types(s), {}, nullptr, error)) return false;
    }
    return true;
}

bool History::prepare(std::string& error, HistoryFault& fault) {
    fault = HistoryFault::configuration;
    if (!begin(error)) {
        if (last_failure_passes()) fault = HistoryFault::unavailable;
        return false;
    }
    int version = 0;
    bool ok = read_version(version, error);
    if (ok && version > kHistoryVersion) {
        error = "the history's schema is version " + std::to_string(version) +
                ", newer than this station_run's " + std::to_string(kHistoryVersion);
        ok = false;
    }
    for (int v = version; ok && v < kHistoryVersion; ++v) {
        ok = statements(kUpgrades[static_cast<std::size_t>(v)], error);
    }
    if (ok && version < kHistoryVersion) ok = write_version(kHistoryVersion, error);
    if (!ok && last_failure_passes()) fault = HistoryFault::unavailable;
    if (!commit_or_roll_back(ok, error)) {
        if (ok && last_failure_passes()) fault = HistoryFault::unavailable;
        return false;
    }
    fault = HistoryFault::none;
    return true;
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

bool History::end_run(const RunRecord& run, std::string& error) {
    if (!begin(error)) return false;
    std::string id;
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
            for (std::size_t i = 0; ok && i < a.measurements.size(); ++i) {
                const Measurement& m = a.measurements[i];
                ok = this->run(
                    "INSERT INTO measurements (attempt_id, name, value, units, low, high, "
                    "marginal_low, marginal_high, margin, margin_percent, verdict) "
                    "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11)",
                    {rows.at(0).at(0), m.name, text(m.value), m.units, text(m.limits.low),
                     text(m.limits.high), text(m.limits.marginal_low), text(m.limits.marginal_high),
                     text(m.margin), text(m.margin_percent), verdict_name(m.verdict)},
                    nullptr, error);
            }
        }
    }
    return commit_or_roll_back(ok, error);
}

bool History::totals(const SummaryFilter& f, std::vector<MeasurementTotals>& out,
                     std::string& error) {
    std::vector<Row> rows;
    // One sorted pass over each measurement's values in the order of their
    // runs (values first, so a missing one leaves no gap in the moving
    // ranges); sums are taken from the first value for their precision. The
    // limits shown are those of the latest run, found again by its start.
    const std::string sql =
        std::string(
            "WITH t AS (SELECT seq, step, name, COUNT(*) AS runs, COUNT(value) AS n, "
            "SUM(value - origin) AS s1, SUM((value - origin) * (value - origin)) AS s2, origin, "
            "MIN(value) AS lo, MAX(value) AS hi, "
            "SUM(CASE WHEN verdict = 'MARGINAL' THEN 1 ELSE 0 END) AS marginal, "
            "SUM(CASE WHEN verdict = 'FAIL' OR verdict = 'ERROR' THEN 1 ELSE 0 END) AS failed, "
            "MAX(started) AS latest, SUM(moving_range) AS mr, COUNT(moving_range) AS mrn "
            "FROM (SELECT r.sequence_name AS seq, a.step AS step, m.name AS name, "
            "m.value AS value, m.verdict AS verdict, r.started AS started, "
            "FIRST_VALUE(m.value) OVER w AS origin, "
            "ABS(m.value - LAG(m.value) OVER w) AS moving_range "
            "FROM measurements m JOIN attempts a ON m.attempt_id = a.id "
            "JOIN runs r ON a.run_id = r.id WHERE a.decisive AND ") +
        kFinished + " AND " + kFilter +
        " WINDOW w AS (PARTITION BY r.sequence_name, a.step, m.name "
        "ORDER BY (m.value IS NULL), r.started, r.id ROWS UNBOUNDED PRECEDING)) x "
        "GROUP BY seq, step, name, origin) "
        "SELECT t.seq, t.step, t.name, MAX(m.units), t.runs, t.n, t.s1, t.s2, t.origin, t.lo, "
        "t.hi, MAX(m.low), MAX(m.high), t.marginal, t.failed, t.mr, t.mrn, "
        "MAX(m.marginal_low), MAX(m.marginal_high) "
        "FROM t JOIN runs r ON r.sequence_name = t.seq AND r.started = t.latest "
        "JOIN attempts a ON a.run_id = r.id AND a.step = t.step "
        "JOIN measurements m ON m.attempt_id = a.id AND m.name = t.name "
        "WHERE a.decisive AND " +
        kFinished + " AND " + kFilter +
        " GROUP BY t.seq, t.step, t.name, t.origin, t.runs, t.n, t.s1, t.s2, t.lo, t.hi, "
        "t.marginal, t.failed, t.mr, t.mrn ORDER BY t.seq, t.step, t.name";
    if (!run(sql, filter_params(f), &rows, error)) return false;
    out.clear();
    for (const Row& r : rows) {
        MeasurementTotals t;
        t.sequence = r[0].value_or("");
        t.step = r[1].value_or("");
        t.name = r[2].value_or("");
        t.units = r[3].value_or("");
        t.runs = std::stoul(r[4].value_or("0"));
        t.count = std::stoul(r[5].value_or("0"));
        t.sum = number(r[6]).value_or(0);
        t.squares = number(r[7]).value_or(0);
        t.origin = number(r[8]);
        t.min = number(r[9]);
        t.max = number(r[10]);
        t.low = number(r[11]);
        t.high = number(r[12]);
        t.marginal = std::stoul(r[13].value_or("0"));
        t.failed = std::stoul(r[14].value_or("0"));
        t.moving_range_sum = number(r[15]).value_or(0);
        t.moving_ranges = std::stoul(r[16].value_or("0"));
        t.marginal_low = number(r[17]);
        t.marginal_high = number(r[18]);
        out.push_back(std::move(t));
    }
    return true;
}

bool History::series(const SummaryFilter& f, const std::string& sequence, const std::string& step,
                     const std::string& name, const std::string& since,
                     std::vector<SeriesPoint>& out, std::string& error) {
    std::vector<Row> rows;
    std::vector<Value> params = filter_params(f);
    params.insert(params.end(), {name, step, sequence, nonempty(since)});
    // One measurement at a time, found through its name, keeps a long
    // history's series from being held twice over.
    if (!run("SELECT m.value, r.serial, " + time_text("r.started") +
                 " FROM measurements m JOIN attempts a ON m.attempt_id = a.id "
                 "JOIN runs r ON a.run_id = r.id WHERE m.name = $4 AND a.step = $5 AND "
                 "r.sequence_name = $6 AND (CAST($7 AS {time}) IS NULL OR "
                 "r.started >= CAST($7 AS {time})) AND a.decisive AND m.value IS NOT NULL AND " +
                 kFinished + " AND " + kFilter + " ORDER BY r.started, r.id",
             params, &rows, error)) {
        return false;
    }
    out.clear();
    out.reserve(rows.size());
    for (const Row& r : rows) {
        out.push_back({number(r[0]).value_or(0), r[1].value_or(""), r[2].value_or("")});
    }
    return true;
}

bool History::last_runs(const SummaryFilter& f, int limit, const std::string& verdict,
                        std::vector<HistoryRun>& out, std::string& error) {
    std::vector<Row> rows;
    std::vector<Value> params = filter_params(f);
    params.push_back(nonempty(verdict));
    if (!run("SELECT r.serial, r.station, r.sequence_name, " + time_text("r.started") +
                 ", r.verdict, r.folder FROM runs r WHERE " + kFilter +
                 " AND (CAST($4 AS TEXT) IS NULL OR r.verdict = $4) ORDER BY r.started DESC, r.id "
                 "DESC LIMIT " +
                 std::to_string(limit),
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
