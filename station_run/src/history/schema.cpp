// The history's schema, version by version, and its upgrade in place.
#include "history.h"

namespace {

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
    {
        // The order runs landed in; an older history's finished runs landed
        // as they started.
        "ALTER TABLE runs ADD COLUMN landed BIGINT",
        "UPDATE runs SET landed = o.k FROM (SELECT id, ROW_NUMBER() OVER (ORDER BY started, id) "
        "AS k FROM runs WHERE verdict NOT IN ('RUNNING', 'ABORTED')) o WHERE runs.id = o.id",
        "CREATE UNIQUE INDEX runs_by_landed ON runs (landed)",
        "CREATE INDEX runs_by_serial ON runs (serial, started)",
        // The latest runs of one verdict (the aborted ones) without a scan.
        "CREATE INDEX runs_by_verdict ON runs (verdict, started, id)",
        // The books, which rebuild_books() fills from the runs.
        "CREATE TABLE series (id {key}, sequence TEXT NOT NULL, step TEXT NOT NULL, "
        "name TEXT NOT NULL, units TEXT, low DOUBLE PRECISION, high DOUBLE PRECISION, "
        "marginal_low DOUBLE PRECISION, marginal_high DOUBLE PRECISION, state TEXT, "
        "UNIQUE (sequence, step, name))",
        "CREATE TABLE series_points (series_id BIGINT NOT NULL REFERENCES series (id), "
        "landed BIGINT NOT NULL, started {time} NOT NULL, value DOUBLE PRECISION NOT NULL, "
        "moving_range DOUBLE PRECISION, ewma DOUBLE PRECISION, PRIMARY KEY (series_id, landed))",
        "CREATE INDEX series_points_by_started ON series_points (series_id, started)",
        "CREATE TABLE series_days (series_id BIGINT NOT NULL REFERENCES series (id), "
        "day TEXT NOT NULL, runs BIGINT NOT NULL, marginal BIGINT NOT NULL, "
        "failed BIGINT NOT NULL, n BIGINT NOT NULL, mean DOUBLE PRECISION, "
        "root_m2 DOUBLE PRECISION, min DOUBLE PRECISION, max DOUBLE PRECISION, "
        "mr_mean DOUBLE PRECISION, mr_count BIGINT NOT NULL, first_value DOUBLE PRECISION, "
        "last_value DOUBLE PRECISION, PRIMARY KEY (series_id, day))",
        // The whole history of each series, so that a summary of it reads
        // one row, however many days it spans.
        "CREATE TABLE series_totals (series_id BIGINT PRIMARY KEY REFERENCES series (id), "
        "runs BIGINT NOT NULL, marginal BIGINT NOT NULL, failed BIGINT NOT NULL, "
        "n BIGINT NOT NULL, mean DOUBLE PRECISION, root_m2 DOUBLE PRECISION, "
        "min DOUBLE PRECISION, max DOUBLE PRECISION, mr_mean DOUBLE PRECISION, "
        "mr_count BIGINT NOT NULL, first_value DOUBLE PRECISION, last_value DOUBLE PRECISION)",
        "CREATE TABLE series_alarms (series_id BIGINT NOT NULL REFERENCES series (id), "
        "landed BIGINT NOT NULL, rule TEXT NOT NULL, span INTEGER NOT NULL, "
        "PRIMARY KEY (series_id, landed, rule))",
    },
};

}  // namespace

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
    // Books begun now are kept from the runs already there, once.
    if (ok && version > 0 && version < 4) ok = rebuild(error);
    if (ok && version < kHistoryVersion) ok = write_version(kHistoryVersion, error);
    if (!ok && last_failure_passes()) fault = HistoryFault::unavailable;
    if (!commit_or_roll_back(ok, error)) {
        if (ok && last_failure_passes()) fault = HistoryFault::unavailable;
        return false;
    }
    fault = HistoryFault::none;
    return true;
}
