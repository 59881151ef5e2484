#include "history.h"

#include <cstdio>

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

// Each version's statements, from the one before it; {key} is the store's
// type for a column of keys it makes.
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
};

// The filter's conditions on the runs table r; parameters $1 to $3.
const char* kFilter =
    "r.verdict <> 'RUNNING' AND (CAST($1 AS TEXT) = '' OR r.started >= $1) AND "
    "(CAST($2 AS TEXT) = '' OR r.sequence_name = $2) AND (CAST($3 AS TEXT) = '' OR r.serial = $3)";

}  // namespace

std::unique_ptr<History> History::open(const std::string& target, bool must_exist,
                                       std::string& error) {
    const bool server =
        target.rfind("postgresql://", 0) == 0 || target.rfind("postgres://", 0) == 0;
    std::unique_ptr<History> history = server ? open_postgres_history(target, error)
                                              : open_sqlite_history(target, must_exist, error);
    if (history && !history->prepare(error)) history.reset();
    return history;
}

bool History::statements(const std::vector<std::string>& sql, std::string& error) {
    for (std::string s : sql) {
        for (std::size_t at = s.find("{key}"); at != std::string::npos; at = s.find("{key}")) {
            s.replace(at, 5, key_column());
        }
        if (!execute(s, {}, nullptr, error)) return false;
    }
    return true;
}

bool History::prepare(std::string& error) {
    if (!begin(error)) return false;
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
    std::string ignored;
    if (!ok) {
        execute("ROLLBACK", {}, nullptr, ignored);
        return false;
    }
    return execute("COMMIT", {}, nullptr, error);
}

bool History::run_id(const RunRecord& run, std::string& id, std::string& error) {
    std::vector<Row> rows;
    if (!execute("SELECT id FROM runs WHERE folder = $1 AND started = $2",
                 {run.output, run.started}, &rows, error)) {
        return false;
    }
    if (rows.empty()) {
        if (!execute("INSERT INTO runs (folder, started, serial, station, operator, device, "
                     "sequence_name, sequence_version, sequence_sha256, suite_version, verdict) "
                     "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, 'RUNNING') RETURNING id",
                     {run.output, run.started, run.serial, run.station, nonempty(run.operator_name),
                      run.device, run.sequence_name, run.sequence_version, run.sequence_sha256,
                      run.suite_version},
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
    if (!run_id(run, id, error)) {
        std::string ignored;
        execute("ROLLBACK", {}, nullptr, ignored);
        return false;
    }
    return execute("COMMIT", {}, nullptr, error);
}

bool History::end_run(const RunRecord& run, std::string& error) {
    if (!begin(error)) return false;
    std::string id;
    bool ok = run_id(run, id, error) &&
              execute(
                  "UPDATE runs SET ended = $2, verdict = $3, exit_status = $4, operator = $5 "
                  "WHERE id = $1",
                  {id, nonempty(run.ended), verdict_name(run.verdict.value_or(Verdict::aborted)),
                   std::to_string(run.exit_status), nonempty(run.operator_name)},
                  nullptr, error) &&
              // A resumed run is written anew, whole.
              execute(
                  "DELETE FROM measurements WHERE attempt_id IN "
                  "(SELECT id FROM attempts WHERE run_id = $1)",
                  {id}, nullptr, error) &&
              execute("DELETE FROM attempts WHERE run_id = $1", {id}, nullptr, error);
    for (const StepRecord& s : run.steps) {
        for (std::size_t k = 0; ok && k < s.attempts.size(); ++k) {
            const Attempt& a = s.attempts[k];
            std::vector<Row> rows;
            ok = execute(
                "INSERT INTO attempts (run_id, step, attempt, verdict, started, ended, "
                "duration_s, exit_status, term_signal, decisive) "
                "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10) RETURNING id",
                {id, s.name, std::to_string(a.number), verdict_name(a.verdict), nonempty(a.started),
                 nonempty(a.ended), text(a.duration_s), text(a.exit_status), text(a.signal),
                 k + 1 == s.attempts.size() ? "1" : "0"},
                &rows, error);
            for (std::size_t i = 0; ok && i < a.measurements.size(); ++i) {
                const Measurement& m = a.measurements[i];
                ok = execute(
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
    std::string ignored;
    if (!ok) {
        execute("ROLLBACK", {}, nullptr, ignored);
        return false;
    }
    return execute("COMMIT", {}, nullptr, error);
}

bool History::totals(const SummaryFilter& f, std::vector<MeasurementTotals>& out,
                     std::string& error) {
    std::vector<Row> rows;
    // One pass over the rows, the group's smallest value and latest run at hand.
    const std::string sql =
        std::string(
            "WITH x AS (SELECT r.sequence_name AS seq, a.step AS step, m.name AS name, "
            "m.units AS units, m.value AS value, m.low AS low, m.high AS high, "
            "m.verdict AS verdict, r.started AS started, "
            "MIN(m.value) OVER w AS origin, MAX(r.started) OVER w AS latest "
            "FROM measurements m JOIN attempts a ON m.attempt_id = a.id "
            "JOIN runs r ON a.run_id = r.id WHERE a.decisive = 1 AND ") +
        kFilter +
        " WINDOW w AS (PARTITION BY r.sequence_name, a.step, m.name)) "
        "SELECT seq, step, name, MAX(CASE WHEN started = latest THEN units END), COUNT(*), "
        "COUNT(value), SUM(value - origin), SUM((value - origin) * (value - origin)), origin, "
        "MIN(value), MAX(value), MAX(CASE WHEN started = latest THEN low END), "
        "MAX(CASE WHEN started = latest THEN high END), "
        "SUM(CASE WHEN verdict = 'MARGINAL' THEN 1 ELSE 0 END), "
        "SUM(CASE WHEN verdict = 'FAIL' OR verdict = 'ERROR' THEN 1 ELSE 0 END) "
        "FROM x GROUP BY seq, step, name, origin ORDER BY seq, step, name";
    if (!execute(sql, {f.since, f.sequence, f.serial}, &rows, error)) return false;
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
        out.push_back(std::move(t));
    }
    return true;
}

bool History::last_runs(const SummaryFilter& f, int limit, std::vector<HistoryRun>& out,
                        std::string& error) {
    std::vector<Row> rows;
    if (!execute(std::string("SELECT r.serial, r.station, r.sequence_name, r.started, r.verdict, "
                             "r.folder FROM runs r WHERE ") +
                     kFilter + " ORDER BY r.started DESC, r.id DESC LIMIT " + std::to_string(limit),
                 {f.since, f.sequence, f.serial}, &rows, error)) {
        return false;
    }
    out.clear();
    for (const Row& r : rows) {
        out.push_back({r[0].value_or(""), r[1].value_or(""), r[2].value_or(""), r[3].value_or(""),
                       r[4].value_or(""), r[5].value_or("")});
    }
    return true;
}
