// The history of every run of a station, or of a fleet of them: one interface
// with two stores behind it, a SQLite file (a station's own) and a PostgreSQL
// server (shared by many stations). The schema, its upgrades and the queries
// are the same for both; a store only runs statements.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "record.h"

// Version 1: runs, attempts, measurements. Version 2: the suite's version of
// a run, which attempt decided its step, and indexes for the summary.
constexpr int kHistoryVersion = 2;

struct SummaryFilter {
    std::string since;     // runs started at or after this time (ISO 8601, a prefix will do)
    std::string sequence;  // of this sequence
    std::string serial;    // of this board
};

// A measurement's totals over the deciding attempts of the runs: sums taken
// from `origin`, the smallest value, so that the spread stays exact when the
// values are large and close together.
struct MeasurementTotals {
    std::string sequence, step, name, units;  // units and limits: the latest run's
    std::size_t runs = 0, count = 0;          // runs, and the values among them
    double sum = 0, squares = 0;              // of value - origin
    std::optional<double> origin, min, max, low, high;
    std::size_t marginal = 0, failed = 0;  // FAIL and ERROR fail
};

struct HistoryRun {
    std::string serial, station, sequence, started, verdict, folder;
};

class History {
public:
    virtual ~History() = default;

    // "postgresql://..." (or "postgres://...") names a server; anything else a
    // SQLite file, made when missing unless `must_exist`. The schema is made,
    // or an older one upgraded in place.
    static std::unique_ptr<History> open(const std::string& target, bool must_exist,
                                         std::string& error);

    // The run's row, marked RUNNING, so that a killed station leaves it seen
    // unfinished; a resumed run finds its row again.
    bool begin_run(const RunRecord& run, std::string& error);
    // The whole run in one transaction: its row, its attempts and measurements.
    bool end_run(const RunRecord& run, std::string& error);

    // The totals of each measurement of the runs that ended, by sequence,
    // step and name; the store adds them up.
    bool totals(const SummaryFilter& filter, std::vector<MeasurementTotals>& out,
                std::string& error);
    // The last `limit` runs, the latest first.
    bool last_runs(const SummaryFilter& filter, int limit, std::vector<HistoryRun>& out,
                   std::string& error);

protected:
    using Value = std::optional<std::string>;
    using Row = std::vector<Value>;

    // One statement with parameters $1, $2, ...; its rows as text, when asked.
    virtual bool execute(const std::string& sql, const std::vector<Value>& params,
                         std::vector<Row>* rows, std::string& error) = 0;
    // Starts a transaction that writes.
    virtual bool begin(std::string& error) = 0;
    // The type of a column of keys that the store makes.
    virtual std::string key_column() const = 0;
    virtual bool read_version(int& version, std::string& error) = 0;
    virtual bool write_version(int version, std::string& error) = 0;

    // Makes or upgrades the schema, in one transaction.
    bool prepare(std::string& error);

private:
    bool run_id(const RunRecord& run, std::string& id, std::string& error);
    bool statements(const std::vector<std::string>& sql, std::string& error);
};

// The two stores.
std::unique_ptr<History> open_sqlite_history(const std::string& path, bool must_exist,
                                             std::string& error);
std::unique_ptr<History> open_postgres_history(const std::string& url, std::string& error);
